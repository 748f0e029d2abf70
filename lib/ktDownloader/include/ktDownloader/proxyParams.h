#pragma once
// The proxies of HTTP requests. Credentials are plain "user:password" text here: never log
// them.

#include <string>
#include <vector>

// One proxy for one request.
struct ktProxyParams {
    std::string proxy;       // host:port; empty: no proxy
    std::string credentials; // "user:password"; empty: none
};

// The proxies of one request, tried in order, all with the same credentials.
struct ProxySettings {
    std::vector<std::string> proxies;
    std::string credentials;
};

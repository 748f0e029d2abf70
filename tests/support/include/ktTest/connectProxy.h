#pragma once
// A local CONNECT proxy on 127.0.0.1 for tests, a port that refuses connections, and a
// guard that clears the proxy variables libcurl would otherwise obey.

#include "ktTest/httpsOrigin.h"
#include "ktTest/tempTree.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ktTest {

struct ProxyRequestRecord {
    std::string method;
    std::string target; // "127.0.0.1:<port>" for CONNECT
    HeaderList headers;
    // Decoded "user:password" of a Basic Proxy-Authorization header; nullopt without one.
    std::optional<std::string> credentials;
    std::string header(const std::string& name) const { return findHeader(headers, name); }
};

class ConnectProxy {
public:
    // requiredCredentials: the "user:password" each CONNECT must carry as Basic; without
    // it the proxy answers 407 with a Basic challenge and keeps the connection.
    explicit ConnectProxy(std::optional<std::string> requiredCredentials = std::nullopt);
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    std::uint16_t port() const;
    // "127.0.0.1:<port>", as a proxy setting.
    std::string address() const;

    // Answer every authorised CONNECT with this status line (Content-Length 0) instead of
    // opening the tunnel, e.g. "HTTP/1.1 502 Bad Gateway"; nullopt: tunnel again.
    void setConnectReply(const std::optional<std::string>& statusLine);

    // Every request received, in order (CONNECT and others; others get 405).
    std::vector<ProxyRequestRecord> requests() const;
    std::size_t connectCount() const;
    // Tunnels opened to a target (200 sent).
    std::size_t tunnelCount() const;

private:
    std::unique_ptr<detail::ProxyState> m_impl;
};

// A 127.0.0.1 port held bound but not listening: connections to it are refused.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    std::uint16_t port() const { return m_port; }
    std::string address() const;

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// Unsets http_proxy, https_proxy, all_proxy, no_proxy and their upper-case forms for its
// life.
class ClearProxyEnv {
public:
    ClearProxyEnv();

private:
    std::vector<std::unique_ptr<ScopedEnv>> m_vars;
};

} // namespace ktTest

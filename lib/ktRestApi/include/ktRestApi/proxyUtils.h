#pragma once
// The stored proxy credentials and the reachability probe of user-configured proxies.

#include "ktDownloader/proxyParams.h"

#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace boost {
class thread_group;
}

// The "product" of the external-proxy records that are user-configured proxies: the only
// records probed and used.
constexpr std::int32_t kUserProxyProduct = 2;

// One externally configured proxy of the client configuration.
struct ExternalProxyRecord {
    std::int32_t product = 0; // only kUserProxyProduct is probed and used
    std::string host;
    std::uint16_t port = 0; // 0: none (the bare host is used)
    std::string description;
};

// Decrypts stored credentials: base64 text of AES-256-CBC data whose key is the machine's
// product id and whose IV is fixed. plain: the "user:password" text, empty on failure.
// False for an empty stored text (the product id is then not read) and on every failure.
bool decryptProxyCredentials(const std::string& stored, std::string& plain);

// Which user-configured proxies answer. One per process is enough; all calls may come from
// any thread.
class CProxyHealthCheck {
public:
    CProxyHealthCheck() = default;
    virtual ~CProxyHealthCheck() = default;
    CProxyHealthCheck(const CProxyHealthCheck&) = delete;
    CProxyHealthCheck& operator=(const CProxyHealthCheck&) = delete;

    // The process-wide instance, made on first use (thread-safe), destroyed at exit.
    static CProxyHealthCheck& instance();

    // Replaces the records to probe; logs their number.
    void setUserProxies(const std::vector<ExternalProxyRecord>& records);

    // check false: only reports the proxies found reachable so far. check true: empties
    // that list, then probes every kUserProxyProduct record at once, one thread each, a
    // connect-only request to url through it, and waits for all. Returns a copy of the
    // reachable proxies (host:port, in the order their probes finished).
    std::vector<std::string> checkUserProxies(const std::string& url, bool check);
    // One probe: appends params.proxy to the reachable list when a connection was made.
    void checkProxy(const std::string& url, const ktProxyParams& params);
    void flushReachableProxies();

protected:
    // Starts one thread in group that runs checkProxy(url, params) on its own copies.
    // Throws what starting a thread throws. Replaced by tests.
    virtual void startProbe(boost::thread_group& group, const std::string& url,
                            const ktProxyParams& params);

private:
    boost::mutex m_mutex; // guards the two lists
    std::vector<std::string> m_reachableProxies;
    std::vector<ExternalProxyRecord> m_userProxies;
};

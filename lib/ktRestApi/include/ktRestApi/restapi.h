#pragma once
// The base of the REST clients: a GET into a caller's buffer and a JSON POST, each tried
// through the configured proxies in turn with the stored proxy credentials. Requests run
// on the caller's thread; the proxy values may be replaced from another thread between
// requests.

#include "ktDownloader/proxyParams.h"

#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <string>
#include <vector>

class CRestApi {
public:
    // host: kept for the caller; no request reads it.
    explicit CRestApi(const std::string& host);
    virtual ~CRestApi();
    CRestApi(const CRestApi&) = delete;
    CRestApi& operator=(const CRestApi&) = delete;

    // GET url with one header line (may be empty) into buffer. size: the capacity on entry,
    // the bytes received on success. label names the call in the log.
    bool download(const std::string& url, char* buffer, std::uint32_t& size,
                  const std::string& label, const std::string& header);
    // POSTs body as JSON with the extra header lines; reply: the reply text on success
    // (at most 8192 bytes; a longer reply fails). A reply whose "status" is an error fails.
    bool post(const std::string& url, const std::string& body, std::string& reply,
              const std::string& label, const std::vector<std::string>& headers);

    // The plain "user:password" of the stored credentials; empty when none is stored or it
    // does not decrypt. A secret: never log it.
    std::string getProxySettings();

    // False for text that is not JSON and for a "status" of exactly "error"; a missing
    // "status" counts as success.
    static bool checkResponseStatus(const std::string& reply);

    // Set by the configuration; each takes the lock that the requests read them under.
    void setProxies(const std::vector<std::string>& proxies);
    // The stored (base64, encrypted) form; decrypted at each request.
    void setEncryptedProxyCredentials(const std::string& stored);

protected:
    // The proxies of one request, with the credentials decrypted.
    ProxySettings requestProxySettings();

    std::string m_host;
    std::string m_scheme;
    std::string m_encryptedProxyCredentials;
    ProxySettings m_proxySettings; // its credentials are unused: see requestProxySettings
    boost::mutex m_mutex;          // guards the two members above
};

#pragma once
// The add-on management service: the steering domain list by API version and the client
// status. Key mode puts the keys in the query; bearer mode sends them in an unsigned token
// ("Authorization: Bearer ") and uses the newer paths. The keys and the token are secrets:
// nothing here logs them or the URLs that carry them.

#include "ktRestApi/restapi.h"

#include <atomic>
#include <string>

class ktConfigSec;

class CAddonManApi : public CRestApi {
public:
    // secFile: the configuration's protected-or-plain writer of downloaded files; not owned,
    // must outlive this object.
    CAddonManApi(const std::string& host, ktConfigSec* secFile);

    // Downloads the domain list of apiVersion (4 to 7) and writes it to outputPath through
    // secFile. Query values are sent as given, without percent-encoding.
    virtual bool downloadDomainList(const std::string& userKey, const std::string& os,
                                    const std::string& orgKey, const std::string& outputPath,
                                    int apiVersion);
    // Posts body to the client-status path; reply: the service's answer.
    bool postClientStatus(const std::string& userKey, const std::string& orgKey,
                          const std::string& body, std::string& reply);
    // GETs url (at most 10 MiB) and writes it to outputPath through secFile unless its
    // "status" is "error" or it is not JSON.
    bool downloadConfig(const std::string& url, const std::string& label,
                        const std::string& outputPath, std::string header);

    // Host (and optional ":port") of the add-on service.
    void setAddonHost(const std::string& host);
    std::string addonHost();
    // True: bearer mode.
    void setApiSecurityNoEnc(bool on) { m_apiSecurityNoEnc = on; }
    bool apiSecurityNoEnc() const { return m_apiSecurityNoEnc; }

private:
    std::string m_addonHost; // guarded by m_mutex
    ktConfigSec* m_secFile;
    std::atomic<bool> m_apiSecurityNoEnc;
};

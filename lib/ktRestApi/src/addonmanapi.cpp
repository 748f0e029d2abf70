#include "ktRestApi/addonmanapi.h"

#include "ktCrypto/ktConfigSec.h"
#include "ktLog/ktLog.h"
#include "ktUtils/urlUtil.h"

#include <memory>
#include <new>

static const char* const kLogModule = "addonmanapi";

namespace {

constexpr std::uint32_t kConfigBufferSize = 10485760; // 10 MiB

// The path of a domain-list version; null for a version the service does not have.
const char* domainListPath(int apiVersion, bool bearer)
{
    switch (apiVersion) {
    case 4:
        return "v4/config/org/domains";
    case 5:
        return "steering/domains";
    case 6:
        return "v1/steering/domains";
    case 7:
        return bearer ? "v6/steering/domains" : "v1/steering/domains";
    default:
        return nullptr;
    }
}

} // namespace

CAddonManApi::CAddonManApi(const std::string& host, ktConfigSec* secFile)
    : CRestApi(host), m_secFile(secFile), m_apiSecurityNoEnc(false)
{
}

void CAddonManApi::setAddonHost(const std::string& host)
{
    boost::mutex::scoped_lock lock(m_mutex);
    m_addonHost = host;
}

std::string CAddonManApi::addonHost()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_addonHost;
}

bool CAddonManApi::downloadConfig(const std::string& url, const std::string& label,
                                  const std::string& outputPath, std::string header)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kConfigBufferSize]());
    if (!buffer) {
        KTLOG(KT_LOG_ERROR, "Failed to allocate %u bytes for %s", kConfigBufferSize, label.c_str());
        return false;
    }
    std::uint32_t size = kConfigBufferSize;
    if (!download(url, buffer.get(), size, label, header)) {
        return false;
    }
    const std::string text(buffer.get(), size);
    if (!checkResponseStatus(text)) {
        KTLOG(KT_LOG_ERROR, "downloaded config is invalid");
        return false;
    }
    if (m_secFile == nullptr || !m_secFile->writeFile(outputPath, text)) {
        KTLOG(KT_LOG_ERROR, "Failed to write config to %s", outputPath.c_str());
        return false;
    }
    return true;
}

bool CAddonManApi::downloadDomainList(const std::string& userKey, const std::string& os,
                                      const std::string& orgKey, const std::string& outputPath,
                                      int apiVersion)
{
    const bool bearer = m_apiSecurityNoEnc;
    const char* path = domainListPath(apiVersion, bearer);
    if (path == nullptr) {
        KTLOG(KT_LOG_ERROR, "Addon api version is invalid");
        return false;
    }
    const std::string base = m_scheme + "://" + addonHost() + "/" + path;
    std::string url;
    std::string header;
    if (bearer) {
        header = setAuthHeader(userKey, orgKey);
        url = base + "?os=" + os;
    } else {
        url = base + "?orgkey=" + orgKey + "&userkey=" + userKey + "&os=" + os;
    }
    if (!downloadConfig(url, "domain list", outputPath, header)) {
        KTLOG(KT_LOG_ERROR, "Failed to download domain list");
        return false;
    }
    return true;
}

bool CAddonManApi::postClientStatus(const std::string& userKey, const std::string& orgKey,
                                    const std::string& body, std::string& reply)
{
    const std::string host = addonHost();
    if (userKey.empty()) {
        KTLOG(KT_LOG_ERROR, "Post Client Status addon userkey is empty");
        return false;
    }
    if (orgKey.empty()) {
        KTLOG(KT_LOG_ERROR, "Post Client Status addon orgkey is empty");
        return false;
    }
    if (host.empty()) {
        KTLOG(KT_LOG_ERROR, "Post Client Status addon host is empty");
        return false;
    }
    std::string url;
    std::vector<std::string> headers;
    if (m_apiSecurityNoEnc) {
        url = m_scheme + "://" + host + "/" + "v5/update/clientstatus";
        headers.push_back(setAuthHeader(userKey, orgKey));
    } else {
        url = m_scheme + "://" + host + "/" + "v2/update/clientstatus" + "?orgkey=" + orgKey +
              "&hashkey=" + userKey;
    }
    return post(url, body, reply, "client status", headers);
}

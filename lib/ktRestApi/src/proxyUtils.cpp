#include "ktRestApi/proxyUtils.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktCrypto/ktEncryption.h"
#include "ktDownloader/ktHTTPClient.h"
#include "ktLog/ktLog.h"
#include "ktUtils/urlUtil.h"
#include "ktUtils/osUtils.h"

#include <boost/thread/thread.hpp>

#include <algorithm>
#include <climits>
#include <exception>

static const char* const kLogModule = "proxyUtils";
static const char* const kProbeModule = "ProxyHealthCheck";

namespace {

// Stored values depend on this vector and on the product id being the key.
const char* const kCredentialsIv = "vevodeziradire52";

} // namespace

bool decryptProxyCredentials(const std::string& stored, std::string& plain)
{
    plain.clear();
    if (stored.empty()) {
        return false;
    }
    std::string productId;
    if (!getProductId(productId)) {
        KTLOG(KT_LOG_ERROR, "failed to retrive system product id");
        return false;
    }
    const unsigned int length =
        static_cast<unsigned int>(std::min<std::size_t>(stored.size(), UINT_MAX));
    const std::string cipherText = base64Decode(stored.data(), length);
    std::string key = productId;
    std::string iv = kCredentialsIv;
    if (!ktDecrypt(key, iv, cipherText, plain)) {
        KTLOG(KT_LOG_ERROR, "failed to encrypt proxy credentials");
        plain.clear();
        return false;
    }
    return true;
}

CProxyHealthCheck& CProxyHealthCheck::instance()
{
    static CProxyHealthCheck shared;
    return shared;
}

void CProxyHealthCheck::setUserProxies(const std::vector<ExternalProxyRecord>& records)
{
    boost::mutex::scoped_lock lock(m_mutex);
    m_userProxies = records;
    KTLOG(KT_LOG_INFO, "Configured External Proxy List count %d",
          static_cast<int>(m_userProxies.size()));
}

void CProxyHealthCheck::startProbe(boost::thread_group& group, const std::string& url,
                                   const ktProxyParams& params)
{
    group.create_thread([this, url, params] {
        // Nothing may leave a thread's function.
        try {
            checkProxy(url, params);
        } catch (const std::exception& e) {
            KTLOG_M(kProbeModule, KT_LOG_ERROR, "probe of %s failed: %s",
                    proxyForLog(params.proxy).c_str(), e.what());
        }
    });
}

std::vector<std::string> CProxyHealthCheck::checkUserProxies(const std::string& url, bool check)
{
    if (!check) {
        boost::mutex::scoped_lock lock(m_mutex);
        KTLOG(KT_LOG_INFO, "User configured reachable proxy count %d",
              static_cast<int>(m_reachableProxies.size()));
        return m_reachableProxies;
    }
    boost::thread_group probes;
    flushReachableProxies();
    // libcurl's global set-up must be complete before clients run on several threads.
    if (httpGlobalInit() == 0) {
        boost::mutex::scoped_lock lock(m_mutex);
        for (const ExternalProxyRecord& record : m_userProxies) {
            if (record.product != kUserProxyProduct) {
                continue;
            }
            ktProxyParams params;
            params.proxy =
                record.port == 0 ? record.host : record.host + ":" + std::to_string(record.port);
            try {
                startProbe(probes, url, params);
            } catch (const std::exception& e) {
                KTLOG(KT_LOG_ERROR, "Failed to start the reachability check of proxy %s: %s",
                      proxyForLog(params.proxy).c_str(), e.what());
            }
        }
    }
    probes.join_all();
    boost::mutex::scoped_lock lock(m_mutex);
    KTLOG(KT_LOG_DEBUG, "User configured reachable proxy count %d (after reachability check)",
          static_cast<int>(m_reachableProxies.size()));
    return m_reachableProxies;
}

void CProxyHealthCheck::checkProxy(const std::string& url, const ktProxyParams& params)
{
    if (KTHTTPClient::checkConnect(url, params) == 0) {
        boost::mutex::scoped_lock lock(m_mutex);
        KTLOG_M(kProbeModule, KT_LOG_INFO, "User configured Proxy %s is reachable",
                proxyForLog(params.proxy).c_str());
        m_reachableProxies.push_back(params.proxy);
        return;
    }
    KTLOG_M(kProbeModule, KT_LOG_INFO, "User configured Proxy %s is not reachable",
            proxyForLog(params.proxy).c_str());
}

void CProxyHealthCheck::flushReachableProxies()
{
    boost::mutex::scoped_lock lock(m_mutex);
    if (!m_reachableProxies.empty()) {
        KTLOG(KT_LOG_INFO, "Flushes reachable proxies %d",
              static_cast<int>(m_reachableProxies.size()));
        m_reachableProxies.clear();
    }
}

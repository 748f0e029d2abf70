#include "ktRestApi/restapi.h"

#include "ktDownloader/ktHTTPClient.h"
#include "ktLog/ktLog.h"
#include "ktRestApi/proxyUtils.h"
#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/ptree.hpp>

#include <limits>

static const char* const kLogModule = "restapi";

namespace {

constexpr std::uint32_t kPostReplySize = 8192;

} // namespace

CRestApi::CRestApi(const std::string& host) : m_host(host), m_scheme("https") {}

CRestApi::~CRestApi() = default;

void CRestApi::setProxies(const std::vector<std::string>& proxies)
{
    boost::mutex::scoped_lock lock(m_mutex);
    m_proxySettings.proxies = proxies;
}

void CRestApi::setEncryptedProxyCredentials(const std::string& stored)
{
    boost::mutex::scoped_lock lock(m_mutex);
    m_encryptedProxyCredentials = stored;
}

std::string CRestApi::getProxySettings()
{
    boost::mutex::scoped_lock lock(m_mutex);
    if (m_encryptedProxyCredentials.empty()) {
        return std::string();
    }
    std::string plain;
    decryptProxyCredentials(m_encryptedProxyCredentials, plain);
    return plain;
}

ProxySettings CRestApi::requestProxySettings()
{
    ProxySettings settings;
    {
        boost::mutex::scoped_lock lock(m_mutex);
        settings.proxies = m_proxySettings.proxies;
    }
    settings.credentials = getProxySettings();
    return settings;
}

bool CRestApi::download(const std::string& url, char* buffer, std::uint32_t& size,
                        const std::string& label, const std::string& header)
{
    KTLOG(KT_LOG_INFO, "Downloading %s", label.c_str());
    TransferBuffer out;
    out.data = buffer;
    out.size = size;
    const int rc = KTHTTPClient::httpGetViaProxies(url, out, requestProxySettings(), header, "");
    if (rc != 0) {
        KTLOG(KT_LOG_ERROR, "Failed to download %s, Error: %d", label.c_str(), rc);
        return false;
    }
    size = out.length;
    KTLOG(KT_LOG_INFO, "%s downloaded successfully", label.c_str());
    return true;
}

bool CRestApi::post(const std::string& url, const std::string& body, std::string& reply,
                    const std::string& label, const std::vector<std::string>& headers)
{
    std::vector<char> replyBytes(kPostReplySize, '\0');
    KTLOG(KT_LOG_INFO, "Uploading %s", label.c_str());
    if (body.size() > std::numeric_limits<std::uint32_t>::max()) {
        KTLOG(KT_LOG_ERROR, "Failed to post %s , Error: %d", label.c_str(), -2);
        return false;
    }
    // The client takes a writable pointer but only reads the body.
    std::string bodyBytes = body;
    TransferBuffer in;
    in.data = bodyBytes.empty() ? nullptr : &bodyBytes[0];
    in.size = static_cast<std::uint32_t>(bodyBytes.size());
    TransferBuffer out;
    out.data = replyBytes.data();
    out.size = kPostReplySize;
    const int rc = KTHTTPClient::httpPost(url, in, &out, requestProxySettings(), "", headers);
    if (rc != 0) {
        KTLOG(KT_LOG_ERROR, "Failed to post %s , Error: %d", label.c_str(), rc);
        return false;
    }
    reply.assign(replyBytes.data(), out.length);
    KTLOG(KT_LOG_INFO, "%s posted successfully", label.c_str());
    return true;
}

bool CRestApi::checkResponseStatus(const std::string& reply)
{
    std::string status;
    try {
        boost::property_tree::ptree tree;
        readJsonBounded(reply, tree);
        status = tree.get<std::string>("status", "success");
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "read_json failed, error: %s", e.what());
        return false;
    }
    if (status == "error") {
        KTLOG(KT_LOG_ERROR, "REST API returned error status.");
        return false;
    }
    return true;
}

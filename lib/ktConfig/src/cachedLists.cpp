// The steering-side files cached in the data folder, the digests that guard three of them,
// and the handling of a tampered list.

#include "configInternal.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktDownloader/ktHTTPClient.h"
#include "ktLog/ktLog.h"
#include "ktUtils/integritycheck.h"
#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <exception>
#include <limits>
#include <sstream>

static const char* const kLogModule = "Config";

namespace {

const char* const kScheme = "https";
const char* const kSupportLogPath = "client/supportlogging";
const wchar_t* const kInternalFile = L"ktinternal.json";
constexpr std::int32_t kModeWeb = 2;

} // namespace

// A list guarded by a digest, with the lines logged about it.
struct Config::Impl::GuardedList {
    const wchar_t* fileName;
    const char* digestKey;
    const char* flagKey;
    const char* readFailure;
    const char* integrityFailure;
    const char* tamperMessage;
    const char* success;
    // Under dynamic steering the list must name its off-premises exceptions.
    bool needsOffPrem;
};

bool Config::Impl::readSteeringFiles()
{
    bool critical = false;
    bool minor = false;
    int steeringResult = 0;
    {
        // Readers of the steering values take this lock; none of them runs meanwhile.
        boost::mutex::scoped_lock lock(m_configMutex);
        steeringResult = m_steeringConfig->readConfig();
    }
    if (steeringResult != 0) {
        KTLOG(KT_LOG_ERROR, "failed to read steering config file");
        critical = true;
    }
    if (!readRootCaCert()) {
        KTLOG(KT_LOG_ERROR, "failed to read ca cert file");
        critical = true;
    }
    if (!readTenantCert()) {
        KTLOG(KT_LOG_ERROR, "failed to read tenant cert file");
        critical = true;
    }
    if (!readExceptionList()) {
        KTLOG(KT_LOG_ERROR, "failed to read exception list file");
        // Taken and released before isDynamicSteeringActive takes the same lock.
        const bool web = getTrafficMode() == kModeWeb;
        if (web || isDynamicSteeringActive()) {
            critical = true;
        } else {
            minor = true;
        }
    }
    if (!readBypassList()) {
        KTLOG(KT_LOG_ERROR, "failed to read bypass list file");
        minor = true;
    }
    if (!readDeviceIdRules()) {
        KTLOG(KT_LOG_ERROR, "Failed to read deviceId rules file");
        minor = true;
    }
    if (!readBypassCategoryList()) {
        KTLOG(KT_LOG_ERROR, "failed to read category list file");
        minor = true;
    }
    if (!readOverlapDomains()) {
        KTLOG(KT_LOG_ERROR, "Failed to read overlapping domains file");
        minor = true;
    }
    if (!readTunnelPolicy()) {
        KTLOG(KT_LOG_ERROR, "Failed to read kttunnelPolicy.json file");
        minor = true;
    }
    if (m_client.ktgwHost.empty() || m_client.ktgwPort.empty()) {
        KTLOG(KT_LOG_ERROR, "ktgw info not available");
        critical = true;
    }
    m_steeringFilesValid = !critical && !minor;
    return !critical;
}

bool Config::Impl::readPlainFile(const std::wstring& path, std::string& member)
{
    std::string text;
    if (!m_configSec.readFile(path, text)) {
        return false;
    }
    boost::mutex::scoped_lock lock(m_configMutex);
    member = std::move(text);
    return true;
}

bool Config::Impl::readRootCaCert()
{
    const std::wstring path = m_dataDir + L"/" + L"ktcacert.pem";
    KTLOG(KT_LOG_DEBUG, "reading root ca cert file: %ls", path.c_str());
    return readPlainFile(path, m_rootCaCert);
}

bool Config::Impl::readTenantCert()
{
    const std::wstring path = m_dataDir + L"/" + L"kttenantcert.pem";
    KTLOG(KT_LOG_DEBUG, "reading tenant cert file: %ls", path.c_str());
    return readPlainFile(path, m_tenantCert);
}

bool Config::Impl::readOverlapDomains()
{
    const std::wstring path = m_dataDir + L"/" + L"ktoverlap.json";
    KTLOG(KT_LOG_DEBUG, "reading overlapping domains file: %ls", path.c_str());
    return readPlainFile(path, m_overlapDomains);
}

bool Config::Impl::readDeviceIdRules()
{
    const std::wstring path = m_dataDir + L"/" + L"ktdeviceid.json";
    KTLOG(KT_LOG_DEBUG, "reading deviceidrules file: %ls", path.c_str());
    return readPlainFile(path, m_deviceIdRules);
}

bool Config::Impl::readTunnelPolicy()
{
    const std::wstring path = m_dataDir + L"/" + L"kttunnelpolicy.json";
    KTLOG(KT_LOG_DEBUG, "reading kttunnelPolicy.json: %ls", path.c_str());
    return readPlainFile(path, m_tunnelPolicy);
}

bool Config::Impl::readBypassList()
{
    static const GuardedList list = {L"ktbypass.json",
                                     "d2",
                                     "df2",
                                     "Failed to read bypass list file.",
                                     "Failed to validate integrity of bypass list.",
                                     "Cached bypass list is found to be tampered",
                                     "Validated integrity of bypass list successfully.",
                                     false};
    KTLOG(KT_LOG_DEBUG, "reading bypass list file: %ls",
          (m_dataDir + L"/" + list.fileName).c_str());
    return readGuardedList(list, m_bypassList);
}

bool Config::Impl::readBypassCategoryList()
{
    static const GuardedList list = {L"ktbypasscat.json",
                                     "d7",
                                     "df7",
                                     "Failed to read  byapass category list file.",
                                     "Failed to validate integrity of byapass category list.",
                                     "Cached bypass category list is found to be tampered",
                                     "Validated integrity of bypass category list successfully.",
                                     false};
    KTLOG(KT_LOG_DEBUG, "reading bypass category list file: %ls",
          (m_dataDir + L"/" + list.fileName).c_str());
    return readGuardedList(list, m_bypassCategoryList);
}

bool Config::Impl::readExceptionList()
{
    static const GuardedList list = {L"ktexception.json",
                                     "d3",
                                     "df3",
                                     "Failed to read exception list file.",
                                     "Failed to validate integrity of exception list.",
                                     "Cached exception list is found to be tampered",
                                     "Validated integrity of exception list successfully.",
                                     true};
    KTLOG(KT_LOG_DEBUG, "reading exception list file: %ls",
          (m_dataDir + L"/" + list.fileName).c_str());
    return readGuardedList(list, m_exceptionList);
}

bool Config::Impl::readGuardedList(const GuardedList& list, std::string& member)
{
    const std::wstring path = m_dataDir + L"/" + list.fileName;
    // Read once: the digest is checked on the bytes as stored, the text from the same read
    // is what is parsed and kept.
    std::string text;
    std::string stored;
    if (!m_configSec.readFile(path, text, stored)) {
        KTLOG(KT_LOG_ERROR, "%s", list.readFailure);
        return false;
    }
    if (m_dev.useDevConfig) {
        boost::mutex::scoped_lock lock(m_configMutex);
        member = std::move(text);
        return true;
    }
    if (!checkIntegrity(m_dataDir, stored, list.digestKey)) {
        KTLOG(KT_LOG_ERROR, "%s", list.integrityFailure);
        reportTamper(list.tamperMessage, list.flagKey);
        return false;
    }
    if (list.needsOffPrem && isDynamicSteeringActive()) {
        try {
            boost::property_tree::ptree tree;
            readJsonBounded(protectedText(text), tree);
            tree.get_child("Off Prem");
        } catch (const std::exception& e) {
            KTLOG(KT_LOG_ERROR, "error parsing domain exception list file, size: %d error: %s",
                  static_cast<int>(text.size()), e.what());
            return false;
        }
    }
    KTLOG(KT_LOG_INFO, "%s", list.success);
    boost::mutex::scoped_lock lock(m_configMutex);
    member = std::move(text);
    return true;
}

bool Config::Impl::validateFileIntegrity(const std::wstring& folder, const std::wstring& file,
                                         std::string key)
{
    if (m_client.encryptClientConfig) {
        return true;
    }
    return validateFileDigest(folder, file, std::move(key));
}

void Config::Impl::reportTamper(const std::string& message, const std::string& flagKey)
{
    if (m_holdTamperReports) {
        m_heldTamperReports.push_back(TamperReport{message, flagKey, false});
        return;
    }
    if (!postSupportLog(message)) {
        setInternalFlag(true, flagKey);
    }
}

void Config::Impl::sendHeldTamperReports()
{
    std::vector<TamperReport> undelivered;
    for (TamperReport& report : m_heldTamperReports) {
        if (!postSupportLog(report.message)) {
            report.posted = true;
            undelivered.push_back(std::move(report));
        }
    }
    // Flagged when init returns, as the identity it started with.
    m_heldTamperReports = std::move(undelivered);
}

void Config::Impl::flagHeldTamperReports()
{
    for (const TamperReport& report : m_heldTamperReports) {
        if (!report.posted) {
            KTLOG(KT_LOG_ERROR, "Tamper report not posted, no add-on service known: %s",
                  report.message.c_str());
        }
        setInternalFlag(true, report.flagKey);
    }
    m_heldTamperReports.clear();
}

bool Config::Impl::postSupportLog(const std::string& message)
{
    // Without a host the URL would name "client" as its host: the keys never go there.
    if (m_branding.addonManagerHost.empty()) {
        KTLOG(KT_LOG_ERROR, "Failed to post log msg, no add-on manager host");
        return false;
    }
    const std::string url =
        std::string(kScheme) + "://" + m_branding.addonManagerHost + "/" + kSupportLogPath;
    std::string body;
    try {
        boost::property_tree::ptree tree;
        tree.put("UserKey", m_branding.userKey);
        tree.put("OrgKey", m_branding.orgKey);
        tree.put("LogMsg", message);
        std::ostringstream out;
        boost::property_tree::write_json(out, tree, false);
        body = out.str();
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Error creating json tree: %s", e.what());
        return false;
    }
    if (body.size() > std::numeric_limits<std::uint32_t>::max()) {
        KTLOG(KT_LOG_ERROR, "Failed to post log msg, Error: %d", -2);
        return false;
    }

    ProxySettings proxies;
    {
        boost::mutex::scoped_lock lock(m_configMutex);
        proxies.proxies = m_requestProxySettings.proxies;
    }
    proxies.credentials = getProxyCredentials();

    // The client takes a writable pointer but only reads the body.
    TransferBuffer request;
    request.data = &body[0];
    request.size = static_cast<std::uint32_t>(body.size());
    const int rc = KTHTTPClient::httpPost(url, request, nullptr, proxies, "", {});
    if (rc != 0) {
        KTLOG(KT_LOG_ERROR, "Failed to post log msg, Error: %d", rc);
        return false;
    }
    KTLOG(KT_LOG_INFO, "log msg posted successfully");
    return true;
}

bool Config::Impl::setInternalFlag(bool value, std::string key)
{
    const std::wstring path = m_dataDir + L"/" + kInternalFile;
    std::string error;
    switch (updateInternalFile(m_dataDir, key, value ? "true" : "false", error)) {
    case InternalFileStatus::ok:
        return true;
    case InternalFileStatus::lockFailed:
        return false;
    case InternalFileStatus::unreadable:
    case InternalFileStatus::notJson:
    case InternalFileStatus::treeError:
        // Never replaced: the file holds the digests of the other cached files.
        KTLOG(KT_LOG_ERROR, "Error %s, file %ls", error.c_str(), path.c_str());
        return false;
    case InternalFileStatus::writeFailed:
        KTLOG(KT_LOG_ERROR, "Failed to write to file %ls", path.c_str());
        return false;
    }
    return false;
}

std::string Config::Impl::rootCaCert()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_rootCaCert;
}

std::string Config::Impl::tenantCert()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_tenantCert;
}

std::string Config::Impl::exceptionList()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_exceptionList;
}

std::string Config::Impl::bypassList()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_bypassList;
}

std::string Config::Impl::deviceIdRules()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_deviceIdRules;
}

std::string Config::Impl::bypassCategoryList()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_bypassCategoryList;
}

std::string Config::Impl::overlapDomains()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_overlapDomains;
}

std::string Config::Impl::tunnelPolicy()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_tunnelPolicy;
}

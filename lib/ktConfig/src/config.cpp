#include "configInternal.h"
#include "configValue.h"
#include "ktConfig/productVersion.h"
#include "ktDownloader/ktHTTPClient.h"
#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/strings.h"
#include "ktRestApi/addonmanapi.h"
#include "ktRestApi/proxy.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/integritycheck.h"
#include "ktUtils/jsonUtil.h"
#include "ktUtils/stringUtil.h"
#include "ktUtils/urlUtil.h"
#include "ktUtils/version.h"
#include "ktWinUtils/impersonate.h"
#include "ktWinUtils/launchApp.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <utility>

static const char* const kLogModule = "Config";

const char* const kDefaultAddonHost = "addon.kestrani.net";

namespace {

// The scheme of the REST URLs.
const char* const kScheme = "https";

} // namespace

void createFolder(const std::wstring& folder)
{
    if (!ktPlatform::createDirectoryTree(ktPlatform::toNarrow(folder)) && errno != EEXIST) {
        KTLOG(KT_LOG_WARNING, "failed to create folder %ls, err: %d", folder.c_str(),
              ktPlatform::lastError());
    }
}

Config::Config() : m_impl(std::make_unique<Impl>()) {}

Config::~Config() = default;

bool Config::init()
{
    return m_impl->init();
}

bool Config::initConfigLocation()
{
    return m_impl->initConfigLocation();
}

const ClientConfigValues& Config::clientConfig() const
{
    return m_impl->clientConfig();
}

const BrandingValues& Config::branding() const
{
    return m_impl->branding();
}

bool Config::enablePerUserConfig() const
{
    return m_impl->enablePerUserConfig();
}

bool Config::addUserConfig(std::uint32_t sessionId, std::string userName, bool reinit)
{
    return m_impl->addUserConfig(sessionId, std::move(userName), reinit);
}

std::wstring Config::getConfigLocation(std::uint32_t sessionId)
{
    return m_impl->getConfigLocation(sessionId);
}

std::string Config::getUserEmail(std::uint32_t sessionId)
{
    return m_impl->getUserEmail(sessionId);
}

std::int32_t Config::getTrafficMode()
{
    return m_impl->getTrafficMode();
}

bool Config::isDynamicSteeringEnabled()
{
    return m_impl->isDynamicSteeringEnabled();
}

bool Config::isCheckSNIEnabled()
{
    return m_impl->isCheckSNIEnabled();
}

ProxySettings Config::requestProxySettings()
{
    return m_impl->requestProxySettings();
}

std::string Config::getProxyCredentials()
{
    return m_impl->getProxyCredentials();
}

std::string Config::speedTestHost()
{
    return m_impl->speedTestHost();
}

void Config::detectAddonProxies()
{
    m_impl->detectAddonProxies();
}

Config::Impl::Impl()
    : m_steeringConfig(std::make_shared<SteeringConfig>(&m_configSec)),
      m_addonManApi(new CAddonManApi(std::string(), &m_configSec)),
      m_proxyHealthCheck(&CProxyHealthCheck::instance())
{
}

Config::Impl::~Impl()
{
    delete m_addonManApi;
    m_addonManApi = nullptr;
}

bool Config::Impl::initConfigLocation()
{
    std::wstring location;
    if (!getConfigFilePath(location)) {
        KTLOG(KT_LOG_ERROR, "Failed to get config file path, initConfigLocation failed ");
        return false;
    }
    m_configLocation = location;
    readUserConfig();
    m_configFilePath = m_configLocation + L"/" + L"ktconfig.json";
    KTLOG(KT_LOG_INFO, "tenant config location: %ls", m_configLocation.c_str());
    createFolder(m_configLocation);
    m_downloadDir = m_configLocation + L"/download";
    createFolder(m_downloadDir);
    m_dataDir = m_configLocation + L"/data";
    createFolder(m_dataDir);
    m_steeringConfig->setDataDir(ktPlatform::toNarrow(m_dataDir));
    m_tempImagesDir = m_configLocation + L"/tempImages";
    createFolder(m_tempImagesDir);
    return true;
}

bool Config::Impl::init()
{
    // Without a location every later step would read and write relative to the root.
    if (!initConfigLocation()) {
        return false;
    }
    getDeviceInfo(m_deviceInfo);
    readDevConfig();
    // Set before any request can be made; the switch starts on.
    setValidatePeerCert(m_dev.validatePeerCert);
    m_steeringConfig->setSkipIntegrityCheck(m_dev.useDevConfig);
    // Tamper reports of the cached lists wait for the add-on host, keys and proxies; those
    // not delivered when init returns, on any path, are flagged as the identity it began as.
    struct HeldTamperReports {
        Config::Impl& config;
        explicit HeldTamperReports(Config::Impl& c) : config(c)
        {
            config.m_holdTamperReports = true;
        }
        ~HeldTamperReports()
        {
            config.m_holdTamperReports = false;
            config.flagHeldTamperReports();
        }
        HeldTamperReports(const HeldTamperReports&) = delete;
        HeldTamperReports& operator=(const HeldTamperReports&) = delete;
    } heldTamperReports(*this);
    if (readClientConfig()) {
        readSteeringFiles();
    }
    setUserAgent();
    m_idpConfig.m_location = m_configLocation;
    m_idpConfig.m_loaded = m_idpConfig.readIdpConfig();
    CUserConfig userConfig;
    std::uint32_t sessionId = 0;
    if (!getActiveSessionId(sessionId)) {
        return false;
    }
    initUserConfig(userConfig, sessionId);
    // In the user's own folder, as that user from here on, so that user-scope branding reads
    // and converts; a user that cannot be acted as has the common folder, the tool's own.
    ImpersonationGuard impersonation;
    if (userConfig.m_userHome && !impersonateActiveUser(impersonation, sessionId)) {
        KTLOG(KT_LOG_ERROR, "impersonate as sessId %d failed", static_cast<int>(sessionId));
        return false;
    }
    if (!readBranding(userConfig)) {
        KTLOG(KT_LOG_ERROR, "valid branding file not found");
        revertImpersonation(impersonation);
        return false;
    }
    {
        boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
        if (sessionId != 0 && m_userConfigs.find(sessionId) == m_userConfigs.end()) {
            m_userConfigs.emplace(sessionId, userConfig);
        }
    }
    detectProxiesForAddon(sessionId);
    sendHeldTamperReports();
    revertImpersonation(impersonation);
    return true;
}

bool Config::Impl::setUserAgent()
{
    std::string version;
    getOSVersionNumber(version);
    KTLOG(KT_LOG_DEBUG, "OS version: %s", version.c_str());
    m_hostName = m_deviceInfo.m_hostName;
    if (m_hostName.empty()) {
        KTLOG(KT_LOG_ERROR, "ktGetHostName failed");
    }
    KTLOG(KT_LOG_DEBUG, "hostname: %s", m_hostName.c_str());
    const char* format = isWindowsServer() ? "Windows Server %s;Kestrani Merivon %s;%s"
                                           : "Windows NT %s;Kestrani Merivon %s;%s";
    char agent[2048] = {};
    std::snprintf(agent, sizeof(agent), format, version.c_str(), kProductVersion,
                  m_hostName.c_str());
    KTLOG(KT_LOG_INFO, "%s", agent);
    setHttpUserAgent(agent);
    return true;
}

bool Config::Impl::readUserConfig()
{
    std::string content;
    if (!ktConfigValue::readConfigText(m_configLocation + L"/" + L"ktuserconfig.json", content)) {
        return false;
    }
    using namespace ktConfigValue;
    try {
        if (!jsonNestingWithin(content)) {
            throw std::runtime_error("nesting too deep");
        }
        m_userConfigText = ktPlatform::toWide(content);
        boost::property_tree::wptree tree;
        std::wistringstream in(m_userConfigText);
        boost::property_tree::read_json(in, tree);
        keepBool(tree, "ktUserConfig.enablePerUserConfig", m_enablePerUserConfig);
        KTLOG(KT_LOG_INFO, "m_enablePerUserConfig: %d", m_enablePerUserConfig ? 1 : 0);
        m_perUserConfigLocation =
            ktPlatform::toWide(text(tree, "ktUserConfig.configLocation").value_or(std::string()));
        KTLOG(KT_LOG_INFO, "m_perUserConfigLocation: %ls", m_perUserConfigLocation.c_str());
        m_branding.addonManagerHost = text(tree, "ktUserConfig.host").value_or(std::string());
        m_addonManApi->setAddonHost(m_branding.addonManagerHost);
        m_branding.orgKey = text(tree, "ktUserConfig.token").value_or(std::string());
        keepBool(tree, "ktUserConfig.autoupdate", m_autoUpdate);
        KTLOG(KT_LOG_INFO, "m_autoUpdate: %d", m_autoUpdate ? 1 : 0);
        if (auto token = text(tree, "cache.device_token")) {
            m_client.deviceToken = std::move(*token);
        }
        // The token is a secret: the log only says whether there is one.
        KTLOG(KT_LOG_INFO, "m_deviceToken: %s", m_client.deviceToken.empty() ? "" : "(set)");
        if (!m_failCloseConfig.readUserConfig(tree)) {
            KTLOG(KT_LOG_ERROR, "Failed to read userconfig failclose info");
        }
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "ktuserconfig.json parsing error: %s", e.what());
    }
    return true;
}

bool Config::Impl::readDevConfig()
{
    std::string content;
    if (!ktConfigValue::readConfigText(m_configLocation + L"/" + L"devconfig.json", content)) {
        return false;
    }
    using namespace ktConfigValue;
    bool result = true;
    try {
        boost::property_tree::ptree tree;
        readJsonBounded(content, tree);
        keepBool(tree, "devConfig.useDevConfig", m_dev.useDevConfig);
        keepNumber(tree, "devConfig.clientConfigExpiryTime", m_dev.clientConfigExpiryTime);
        keepBool(tree, "devConfig.validatePeerCert", m_dev.validatePeerCert);
        const std::string ports = text(tree, "devConfig.tunnelPortList").value_or(std::string());
        if (!ports.empty()) {
            std::set<std::string> set;
            std::string::size_type start = 0;
            for (;;) {
                const auto comma = ports.find(',', start);
                set.insert(ports.substr(start, comma - start));
                if (comma == std::string::npos) {
                    break;
                }
                start = comma + 1;
            }
            m_dev.tunnelPortList = std::move(set);
        }
        m_dev.tunnelPacketQueueSize =
            getNumber<std::int32_t>(tree, "devConfig.tunnelPacketQueueSize").value_or(0);
        m_dev.sendTcpBufferSizeInKBs =
            getNumber<std::int32_t>(tree, "devConfig.sendTcpBufferSizeInKBs").value_or(0);
        m_dev.receiveTcpBufferSizeInKBs =
            getNumber<std::int32_t>(tree, "devConfig.receiveTcpBufferSizeInKBs").value_or(0);
        m_dev.dtlsFallback = getBool(tree, "devConfig.dtlsFallback").value_or(true);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "failed to read devConfig.json: %s", e.what());
        result = false;
    }
    if (!m_dev.validatePeerCert) {
        KTLOG(KT_LOG_WARNING, "devconfig.json turns server certificate validation off");
    }
    if (m_dev.useDevConfig) {
        KTLOG(KT_LOG_WARNING, "devconfig.json turns the integrity checks off");
    }
    return result;
}

bool Config::Impl::checkIntegrity(const std::wstring& folder, const std::string& text,
                                  const std::string& key)
{
    if (m_client.encryptClientConfig) {
        return true;
    }
    return validateDigest(folder, text, key);
}

void Config::Impl::buildProxyList()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    m_allProxies.clear();
    for (const ExternalProxyRecord& record : m_externalProxies) {
        if (record.product != kUserProxyProduct) {
            continue;
        }
        m_allProxies.push_back(record.port != 0 ? record.host + ":" + std::to_string(record.port)
                                                : record.host);
    }
}

void Config::Impl::detectProxiesForAddon(std::uint32_t sessionId)
{
    ImpersonationGuard impersonation;
    if (!impersonateActiveUser(impersonation, sessionId)) {
        KTLOG(KT_LOG_ERROR, "impersonate as sessId %d failed", static_cast<int>(sessionId));
        return;
    }
    detectProxies(kDefaultAddonHost);
}

void Config::Impl::detectProxies(const std::string& host)
{
    std::string url = "https://";
    if (!m_branding.addonManagerHost.empty()) {
        url += m_branding.addonManagerHost;
    } else if (!host.empty()) {
        url += host;
    } else {
        KTLOG(KT_LOG_ERROR, "Wrong URL to get the proxy name, URL: %s", url.c_str());
        return;
    }

    std::vector<std::string> proxies;
    std::string pacHost;
    const bool detected = detectProxy(url, proxies, pacHost);
    {
        boost::mutex::scoped_lock lock(m_configMutex);
        m_pacServerHost = pacHost;
    }
    KTLOG(KT_LOG_INFO, "System proxy configuration %s , System proxy Count %d,Pac Server Host %s",
          detected ? "Detected" : "Not Detected", static_cast<int>(proxies.size()),
          pacHost.empty() ? "N/A" : proxyForLog(pacHost).c_str());

    if (detected) {
        std::vector<std::string> reachable =
            m_proxyHealthCheck->checkUserProxies(getOrgVersionUrl(), false);
        std::sort(reachable.begin(), reachable.end());
        reachable.erase(std::unique(reachable.begin(), reachable.end()), reachable.end());
        proxies.insert(proxies.end(), reachable.begin(), reachable.end());
        if (!proxies.empty()) {
            boost::mutex::scoped_lock lock(m_configMutex);
            for (const std::string& proxy : proxies) {
                if (std::find(m_allProxies.begin(), m_allProxies.end(), proxy) ==
                    m_allProxies.end()) {
                    m_allProxies.push_back(proxy);
                }
            }
        }
    }
    normalizeHostPortList(proxies);

    boost::mutex::scoped_lock lock(m_configMutex);
    normalizeHostPortList(m_allProxies);
    m_activeProxies = proxies;
    m_requestProxySettings.proxies = m_activeProxies;
    std::string text = "Total active proxy Count " + std::to_string(m_activeProxies.size()) +
                       ", Active Proxy List : ";
    // A static proxy may carry its user's password: the log shows none.
    for (const std::string& proxy : m_activeProxies) {
        text += proxyForLog(proxy) + "  ";
    }
    text += "\n Total proxy Count " + std::to_string(m_allProxies.size()) + ", Full Proxy List :";
    for (const std::string& proxy : m_allProxies) {
        text += proxyForLog(proxy) + "  ";
    }
    KTLOG(KT_LOG_INFO, "%s", text.c_str());
    if (m_addonManApi != nullptr) {
        m_addonManApi->setProxies(m_activeProxies);
    }
    const auto lower = [](std::vector<std::string>& list) {
        for (std::string& entry : list) {
            entry = toLowerAscii(std::move(entry));
        }
    };
    lower(m_activeProxies);
    lower(m_allProxies);
}

std::string Config::Impl::getOrgVersionUrl()
{
    char url[1024] = {};
    if (m_client.apiSecurityNoEnc) {
        std::snprintf(url, sizeof(url), "%s://%s", kScheme, m_branding.addonManagerHost.c_str());
    } else {
        std::snprintf(url, sizeof(url), "%s://%s/%s?orgkey=%s&userkey=%s", kScheme,
                      m_branding.addonManagerHost.c_str(), "config/org/version",
                      urlEncode(m_branding.orgKey).c_str(), urlEncode(m_branding.userKey).c_str());
    }
    return url;
}

void Config::Impl::setProxyCredentials(const std::string& credential)
{
    boost::mutex::scoped_lock lock(m_credentialMutex);
    m_proxyCredentials = credential;
    if (m_addonManApi != nullptr) {
        m_addonManApi->setEncryptedProxyCredentials(credential);
    }
    m_requestProxySettings.credentials = credential;
}

std::string Config::Impl::getProxyCredentials()
{
    boost::mutex::scoped_lock lock(m_credentialMutex);
    if (m_proxyCredentials.empty()) {
        return std::string();
    }
    std::string plain;
    decryptProxyCredentials(m_proxyCredentials, plain);
    return plain;
}

std::int32_t Config::Impl::getTrafficMode()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_steeringConfig->trafficMode();
}

bool Config::Impl::isDynamicSteeringEnabled()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_steeringConfig->isDynamicSteeringEnabled();
}

bool Config::Impl::isDynamicSteeringActive()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_steeringConfig->isDynamicSteeringEnabled() && m_client.dynamicSteering;
}

bool Config::Impl::isCheckSNIEnabled()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_client.checkSNI;
}

std::string Config::Impl::getQpaTenant()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_client.qpaTenant;
}

std::vector<ExternalProxyRecord> Config::Impl::externalProxies()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_externalProxies;
}

std::vector<std::string> Config::Impl::allProxies()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_allProxies;
}

std::vector<std::string> Config::Impl::activeProxies()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_activeProxies;
}

std::string Config::Impl::pacServerHost()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_pacServerHost;
}

ProxySettings Config::Impl::requestProxySettings()
{
    ProxySettings settings;
    {
        boost::mutex::scoped_lock lock(m_configMutex);
        settings.proxies = m_requestProxySettings.proxies;
    }
    boost::mutex::scoped_lock lock(m_credentialMutex);
    settings.credentials = m_requestProxySettings.credentials;
    return settings;
}

std::string Config::Impl::speedTestHost()
{
    boost::mutex::scoped_lock lock(m_configMutex);
    return m_branding.addonCheckerHost;
}

void Config::Impl::detectAddonProxies()
{
    detectProxies(kDefaultAddonHost);
}

void normalizeHostPortList(std::vector<std::string>& list)
{
    for (std::string& entry : list) {
        const auto colon = entry.find(':');
        if (colon != std::string::npos && colon >= 1 && entry[colon - 1] == '.') {
            entry.erase(colon - 1, 1);
        }
    }
}

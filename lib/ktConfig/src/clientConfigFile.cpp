// ktconfig.json: its keys, the digest of its "clientConfig" section, the external proxies
// and the update-cache write-back.

#include "configInternal.h"

#include "configValue.h"
#include "ktConfig/productVersion.h"
#include "ktCrypto/ktEncryptedFile.h"
#include "ktLog/ktLog.h"
#include "ktRestApi/addonmanapi.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/integritycheck.h"
#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <exception>
#include <sstream>
#include <stdexcept>

static const char* const kLogModule = "Config";

using boost::property_tree::ptree;
using namespace ktConfigValue;

namespace {

// The section as its digest was made: the property tree's indented JSON.
bool serialiseSection(const ptree& section, std::string& text)
{
    try {
        std::ostringstream out;
        boost::property_tree::write_json(out, section, true);
        text = out.str();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// A whole decimal integer, of any size: an optional "-" and digits only.
bool isDecimalNumber(const std::string& text)
{
    const std::string::size_type start = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
}

} // namespace

bool Config::Impl::readClientConfig()
{
    const std::vector<std::wstring> folders = {m_dataDir, m_downloadDir};
    if (pathExists(m_configFilePath + L".enc", AbsentPath::quiet)) {
        // The mode only: stale forms go once the protected form has been read and parsed.
        m_configSec.apply(true, std::wstring(), {});
    }
    std::string content;
    // Only a file read in its protected form vouches for its own section.
    const bool readProtected = m_configSec.encrypted();
    if (!m_configSec.readFile(m_configFilePath, content)) {
        KTLOG(KT_LOG_ERROR, "failed to read file %ls", m_configFilePath.c_str());
        return false;
    }
    if (content.empty()) {
        KTLOG(KT_LOG_ERROR, "file: %ls is empty", m_configFilePath.c_str());
        return false;
    }
    ptree tree;
    try {
        readJsonBounded(protectedText(content), tree);
    } catch (const std::exception& e) {
        // Never deleted: the service may be writing it, and it may be the only copy.
        KTLOG(KT_LOG_ERROR, "failed to read ktconfig.json: %s", e.what());
        return false;
    }

    try {
        m_client.encryptClientConfig =
            getBool(tree, "clientConfig.encryptClientConfig").value_or(false);
        try {
            m_configSec.apply(m_client.encryptClientConfig, m_configFilePath, folders);
        } catch (const std::exception& e) {
            KTLOG(KT_LOG_ERROR, "Failed to apply protection mode, error: %s", e.what());
        }
        m_client.logLevelText = text(tree, "logLevel").value_or("info");
        m_client.logLevel = ktLogLevelFromString(m_client.logLevelText);
        if (m_client.initialLogLevel == 0) {
            m_client.initialLogLevel = m_client.logLevel;
        }
        keepBool(tree, "log.enablePktDump", m_client.enablePktDump);

        // Without the section there is nothing to check and nothing more to read: that
        // ends the read here, as a parsing error, and the files with digests of their own
        // (the steering file, the lists) are still read.
        const ptree& section = tree.get_child("clientConfig");
        if (!m_dev.useDevConfig) {
            // A section that is no object has no digest to match: it fails.
            std::string serialised;
            bool valid = false;
            if (serialiseSection(section, serialised)) {
                // "encryptClientConfig" of a plain file is the file's own unverified word.
                valid = readProtected ? checkIntegrity(m_dataDir, serialised, "d4")
                                      : validateDigest(m_dataDir, serialised, "d4");
            }
            if (!valid) {
                KTLOG(KT_LOG_ERROR, "Client config validation failed, len %d",
                      static_cast<int>(serialised.size()));
                return false;
            }
            KTLOG(KT_LOG_INFO, "Client config is validated, len %d",
                  static_cast<int>(serialised.size()));
        }
        readClientKeys(tree);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Error in parsing ktconfig.json: %s", e.what());
        return true;
    }
    readAgentMetrics(tree);
    checkClientUpdate();
    return true;
}

void Config::Impl::readClientKeys(const ptree& tree)
{
    ClientConfigValues& c = m_client;
    keepText(tree, "clientConfig.configurationName", c.configurationName);
    c.userkey = text(tree, "clientConfig.userkey").value_or(std::string());
    keepNumber(tree, "clientConfig.priority", c.priority);
    keepBool(tree, "clientConfig.allowClientDisabling", c.allowClientDisabling);
    keepBool(tree, "clientConfig.clientAssistedGTM", c.clientAssistedGTM);
    keepBool(tree, "clientConfig.steering_config_2", c.steeringConfig2);
    keepBool(tree, "clientConfig.userNotification", c.userNotification);
    keepBool(tree, "clientConfig.hideClientIcon", c.hideClientIcon);
    c.dynamicSteering = getBool(tree, "clientConfig.dynamicSteering").value_or(false);
    c.deviceUniqueID = getBool(tree, "clientConfig.deviceUniqueID").value_or(true);
    readSecureAccessConfig(tree);

    if (c.hideClientIcon && c.userNotification) {
        KTLOG(KT_LOG_INFO, "Disabling user notifications as hideClientIcon is true");
        c.userNotification = false;
    }

    c.checkCiscoVpn = getBool(tree, "clientConfig.checkCiscoVpn").value_or(false);
    c.protocol = text(tree, "clientConfig.protocol").value_or("tls");
    keepNumber(tree, "clientConfig.mtu", c.mtu);
    keepBool(tree, "clientConfig.clientHandleOverlappingDomains", c.clientHandleOverlappingDomains);
    keepBool(tree, "clientConfig.reportClientStatus", c.reportClientStatus);
    keepBool(tree, "clientConfig.sendDeviceInfo", c.sendDeviceInfo);
    keepBool(tree, "clientConfig.clientUninstall.allowUninstall", c.allowUninstall);
    keepText(tree, "clientConfig.clientUninstall.salt", c.uninstallSalt);
    keepText(tree, "clientConfig.clientUninstall.hash", c.uninstallHash);
    readClientUpdateConfig(tree);
    keepNumber(tree, "clientConfig.clientStatusUpdate.heartbeatIntervalInMin",
               c.heartbeatIntervalInMin);
    keepText(tree, "ktgw.host", c.ktgwHost);
    c.ktgwBackupHost = text(tree, "ktgw.backupHost").value_or(std::string());
    keepText(tree, "ktgw.port", c.ktgwPort);
    keepText(tree, "cache.newClientVer", c.newClientVer);
    keepBool(tree, "cache.lastClientUpdated", c.lastClientUpdated);
    c.configUpdateTimestamp =
        getNumber<std::int64_t>(tree, "cache.configUpdateTimestamp").value_or(0);
    keepText(tree, "cache.dns.resolvedIP", c.dnsResolvedIP);
    keepNumber(tree, "cache.dns.ttl", c.dnsTtl);
    keepNumber(tree, "cache.dns.lastResolvedTime", c.dnsLastResolvedTime);
    keepNumber(tree, "cache.dns.stats.failureCount", c.dnsFailureCount);
    keepNumber(tree, "cache.dns.stats.successCount", c.dnsSuccessCount);
    keepNumber(tree, "cache.dns.stats.lastReportedTime", c.dnsLastReportedTime);
    keepText(tree, "sfCheck.SFCheckerHost", m_branding.sfCheckerHost);
    keepText(tree, "sfCheck.SFCheckerIP", m_branding.sfCheckerIP);
    keepText(tree, "sfCheck.SFCheckerIP6", m_branding.sfCheckerIP6);
    keepText(tree, "cache.device_token", c.deviceToken);
    keepNumber(tree, "cache.device_token_lastsend", c.deviceTokenLastSend);
    keepBool(tree, "onpremcheck.onprem_use_dns", c.onpremUseDns);
    keepText(tree, "onpremcheck.onprem_host", c.onpremHost);
    keepText(tree, "onpremcheck.onprem_ip", c.onpremIp);
    keepText(tree, "onpremcheck.onprem_http_host", c.onpremHttpHost);
    keepNumber(tree, "onpremcheck.onprem_http_tcp_connection_timeout",
               c.onpremHttpTcpConnectionTimeout);
    if (!m_failCloseConfig.readConfig(tree)) {
        KTLOG(KT_LOG_ERROR, "Error in parsing failCloseConfig");
    }

    keepBool(tree, "clientConfig.bypassPacDownloadFlow", c.bypassPacDownloadFlow);
    keepBool(tree, "clientConfig.localTrafficBypass", c.localTrafficBypass);
    c.externalProxyConfig = getBool(tree, "clientConfig.externalProxyConfig").value_or(true);
    c.debugSettings = getBool(tree, "clientConfig.debugSettings").value_or(false);
    c.reconfigureUser = getBool(tree, "clientConfig.reconfigureUser").value_or(false);
    c.proxyAuth = getBool(tree, "clientConfig.proxyAuth").value_or(false);
    std::string credential;
    if (c.proxyAuth) {
        credential = text(tree, "cache.fpc").value_or(std::string());
    }
    // A file without proxy authentication clears any stored credential.
    setProxyCredentials(credential);
    c.bypassLoopbackDNS = getBool(tree, "clientConfig.bypassLoopbackDNS").value_or(false);
    c.enhancedCertPinnedApplist =
        getBool(tree, "clientConfig.enhancedCertPinnedApplist").value_or(false);
    c.allowIdPLogout = getBool(tree, "idpconfig.allowIdPLogout").value_or(false);
    c.injectAtTransportLayer = getBool(tree, "clientConfig.injectAtTransportLayer").value_or(false);
    c.checkSNI = getBool(tree, "clientConfig.checkSNI").value_or(false);
    c.bypassPrivateTrafficAtDriver =
        getBool(tree, "clientConfig.bypassPrivateTrafficAtDriver").value_or(false);
    c.enableClientSelfProtection =
        getBool(tree, "clientConfig.enableClientSelfProtection").value_or(false);
    c.enableAOACSupport = getBool(tree, "clientConfig.enableAOACSupport").value_or(false);
    c.apiSecurityNoEnc = getBool(tree, "clientConfig.ktclient_api_security_no_enc").value_or(false);
    if (m_addonManApi != nullptr) {
        m_addonManApi->setApiSecurityNoEnc(c.apiSecurityNoEnc);
    }
    c.supportUDPExceptions = getBool(tree, "clientConfig.supportUDPExceptions").value_or(false);
    c.handleExceptionsAtDriver =
        getBool(tree, "clientConfig.handleExceptionsAtDriver").value_or(false);

    if (c.externalProxyConfig) {
        readExternalProxies(tree);
    }
}

void Config::Impl::readSecureAccessConfig(const ptree& tree)
{
    ClientConfigValues& c = m_client;
    c.secureAccess = getBool(tree, "clientConfig.secureAccess").value_or(false);
    keepBool(tree, "privateApps.reauth_enabled", c.reauthEnabled);
    keepBool(tree, "privateApps.reauthentication_on_logon", c.reauthenticationOnLogon);
    keepText(tree, "qpa.host", c.qpaHost);
    keepNumber(tree, "qpa.port", c.qpaPort);
    c.qpaKeepaliveTimeout = getNumber<std::int32_t>(tree, "qpa.keepalive_timeout").value_or(15);
    keepText(tree, "qpa.tenant", c.qpaTenant);
    c.qpaDomain = text(tree, "qpa.domain").value_or(ClientConfigValues().qpaDomain);
    c.rfc1918Enabled = getBool(tree, "qpa.rfc1918_enabled").value_or(false);
    c.seamlessPolicyUpdate = getBool(tree, "qpa.seamless_policy_update").value_or(false);
    c.dtlsEnabled = getBool(tree, "qpa.dtls_enabled").value_or(false);
    c.portBypassEnabled = getBool(tree, "qpa.port_bypass_enabled").value_or(false);
    keepText(tree, "qpa.cache.dns.resolvedIP", c.qpaDnsResolvedIP);
    keepNumber(tree, "qpa.cache.dns.ttl", c.qpaDnsTtl);
    keepNumber(tree, "qpa.cache.dns.lastResolvedTime", c.qpaDnsLastResolvedTime);
    keepNumber(tree, "qpa.cache.dns.stats.failureCount", c.qpaDnsFailureCount);
    keepNumber(tree, "qpa.cache.dns.stats.successCount", c.qpaDnsSuccessCount);
    keepNumber(tree, "qpa.cache.dns.stats.lastReportedTime", c.qpaDnsLastReportedTime);
}

void Config::Impl::readClientUpdateConfig(const ptree& tree)
{
    ClientConfigValues& c = m_client;
    c.updateIntervalInMin =
        getNumber<std::int32_t>(tree, "clientConfig.clientUpdate.updateIntervalInMin")
            .value_or(240);
    c.allowAutoUpdate = getBool(tree, "clientConfig.clientUpdate.allowAutoUpdate").value_or(true);
    c.showUpdateNotification =
        getBool(tree, "clientConfig.clientUpdate.showUpdateNotification").value_or(true);
    c.allowAutoGoldenUpdate =
        getBool(tree, "clientConfig.clientUpdate.allowAutoGoldenUpdate").value_or(false);
    c.goldenReleaseVersion =
        text(tree, "clientConfig.clientUpdate.goldenReleaseVersion").value_or(std::string());
    c.goldenDotReleaseUpdate =
        getBool(tree, "clientConfig.clientUpdate.goldenDotReleaseUpdate").value_or(false);
}

void Config::Impl::readExternalProxies(const ptree& tree)
{
    {
        boost::mutex::scoped_lock lock(m_configMutex);
        m_externalProxies.clear();
    }
    try {
        int index = 0;
        for (const auto& element : tree.get_child("clientConfig.externalProxy")) {
            ++index;
            const ptree& item = element.second;
            ExternalProxyRecord record;
            record.product =
                static_cast<std::int32_t>(requireInteger(item, "product", INT32_MIN, INT32_MAX));
            record.host = requireText(item, "host");
            const std::string portText = requireText(item, "port");
            record.description = requireText(item, "description");
            const auto port = parseInteger(portText, 0, 65535);
            if (!port) {
                if (!isDecimalNumber(portText)) {
                    throw std::runtime_error("conversion of data failed (port)");
                }
                // Cut to 16 bits it would name another port: this record is left out, the
                // others are kept.
                KTLOG(KT_LOG_ERROR, "external proxy %d (%s) skipped: port %s does not fit 16 bits",
                      index, record.host.c_str(), portText.c_str());
                continue;
            }
            record.port = static_cast<std::uint16_t>(*port);
            if (record.product == 1) {
                m_client.productOneProxyFlag = 1;
                m_client.productOneProxyHost = record.host;
                m_client.productOneProxyPort = record.port;
                continue;
            }
            boost::mutex::scoped_lock lock(m_configMutex);
            m_externalProxies.push_back(record);
        }
        buildProxyList();
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "failed to read external proxy configuration: %s", e.what());
    }
    applyExternalProxies();
}

void Config::Impl::applyExternalProxies()
{
    const std::vector<ExternalProxyRecord> records = externalProxies();
    if (records.empty()) {
        m_proxyHealthCheck->flushReachableProxies();
        return;
    }
    m_proxyHealthCheck->setUserProxies(records);
    m_proxyHealthCheck->checkUserProxies(getOrgVersionUrl(), false);
}

void Config::Impl::readAgentMetrics(const ptree& tree)
{
    ClientConfigValues& c = m_client;
    try {
        keepBool(tree, "clientConfig.metrics.enable", c.metricsEnable);
        keepNumber(tree, "clientConfig.metrics.interval", c.metricsInterval);
        keepNumber(tree, "clientConfig.metrics.backoff_interval", c.metricsBackoffInterval);
        keepNumber(tree, "clientConfig.metrics.ping", c.metricsPing);
        keepNumber(tree, "clientConfig.metrics.traceroute", c.metricsTraceroute);
        keepNumber(tree, "clientConfig.metrics.dns", c.metricsDns);
        for (const auto& element : tree.get_child("clientConfig.metrics.hosts")) {
            c.metricsHosts.push_back(element.second.data());
        }
        c.metricsHosts.push_back(c.ktgwHost);
        if (!c.ktgwBackupHost.empty()) {
            c.metricsHosts.push_back(c.ktgwBackupHost);
        }
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Failed to find agent metric config error: %s", e.what());
    }
}

void Config::Impl::checkClientUpdate()
{
    ClientConfigValues& c = m_client;
    if (c.lastClientUpdated && !c.newClientVer.empty() &&
        !isNewerThanBuildVersion(c.newClientVer)) {
        KTLOG(KT_LOG_INFO, "Client got updated, send a message to client UI");
        appendKeyToConfigJson("cache.newClientVer", std::string());
        c.newClientVer.clear();
        appendKeyToConfigJson("cache.lastClientUpdated", 0);
        c.lastClientUpdated = false;
        const std::wstring installer = m_dataDir + L"/" + L"Merivon.msi";
        if (pathExists(installer, AbsentPath::quiet)) {
            deleteFile(installer.c_str());
        }
    }
    if (c.lastClientUpdated && !c.newClientVer.empty() && isNewerThanBuildVersion(c.newClientVer)) {
        KTLOG(KT_LOG_DEBUG, "client didn't update, reset update flag");
        appendKeyToConfigJson("cache.lastClientUpdated", 0);
        c.lastClientUpdated = false;
    }
}

bool Config::Impl::isNewerThanBuildVersion(const std::string& version)
{
    long long fields[4] = {0, 0, 0, 0};
    int count = 0;
    std::string::size_type pos = 0;
    // Fields are split at "."; empty fields are skipped, fields beyond the fourth are
    // ignored. Each reads as atoi reads it: leading blanks, an optional sign, then the
    // digits up to the first other character.
    while (count < 4 && pos < version.size()) {
        const auto dot = version.find('.', pos);
        const std::string field =
            version.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        pos = dot == std::string::npos ? version.size() : dot + 1;
        if (field.empty()) {
            continue;
        }
        std::string::size_type i = field.find_first_not_of(" \t\n\v\f\r");
        bool negative = false;
        if (i != std::string::npos && (field[i] == '+' || field[i] == '-')) {
            negative = field[i] == '-';
            ++i;
        }
        long long value = 0;
        for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
            // Saturates: a huge field is simply larger than any build number.
            value = value > 100000000000LL ? value : value * 10 + (field[i] - '0');
        }
        fields[count++] = negative ? -value : value;
    }
    for (int i = 0; i < 4; ++i) {
        if (fields[i] != kProductVersionFields[i]) {
            return fields[i] > kProductVersionFields[i];
        }
    }
    return false;
}

namespace {

template <typename T>
bool appendKey(ktConfigSec& sec, const std::wstring& path, const std::string& key, T value)
{
    std::string json;
    if (!sec.readText(path, json)) {
        KTLOG(KT_LOG_ERROR, "Failed to read ktConfig.json");
        return false;
    }
    std::string updated;
    if (!appendToJson(json, key, value, updated)) {
        KTLOG(KT_LOG_ERROR, "Failed to append key %s to config json", key.c_str());
        return false;
    }
    return sec.writeFile(path, updated);
}

} // namespace

bool Config::Impl::appendKeyToConfigJson(const std::string& key, const std::string& value)
{
    return appendKey(m_configSec, m_configFilePath, key, value.c_str());
}

bool Config::Impl::appendKeyToConfigJson(const std::string& key, int value)
{
    return appendKey(m_configSec, m_configFilePath, key, value);
}

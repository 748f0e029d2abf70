#pragma once
// Config: the client's configuration as the tool reads it. It fixes where the configuration
// lives, reads the client's configuration files once (init), builds the process-wide HTTP
// user agent and hands the values out. Constructed with defaults only; init fills it on the
// command's thread, afterwards the values are read through the accessors.
//
// The steps of init, the readers and the rest of the configuration are Config::Impl, the
// library's own view (src/configInternal.h), which its files and tests use.

#include "ktConfig/compareWhole.h"
#include "ktRestApi/ktproxyapi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Values of ktconfig.json, named after their keys, with the constructor's values.
struct ClientConfigValues {
    bool apiSecurityNoEnc = false; // clientConfig.ktclient_api_security_no_enc
    bool lastClientUpdated = false;
    std::string newClientVer;
    std::string ktgwHost, ktgwBackupHost, ktgwPort;
    std::string qpaHost;
    std::int32_t qpaPort = 443;
    std::int32_t qpaKeepaliveTimeout = 5;
    std::string qpaTenant;
    std::string qpaDomain = "qpa.kestrani.net";
    bool allowClientDisabling = false, userNotification = true, clientAssistedGTM = false,
         steeringConfig2 = false;
    std::string dnsResolvedIP;
    std::int64_t dnsTtl = 0, dnsLastResolvedTime = 0;
    std::int32_t dnsFailureCount = 0, dnsSuccessCount = 0;
    std::int64_t dnsLastReportedTime = 0, configUpdateTimestamp = 0;
    std::int32_t updateIntervalInMin = 240;
    bool allowAutoUpdate = true, showUpdateNotification = true, allowAutoGoldenUpdate = false;
    std::string goldenReleaseVersion;
    bool goldenDotReleaseUpdate = false;
    bool hideClientIcon = false, clientHandleOverlappingDomains = false, allowUninstall = true;
    std::string uninstallSalt, uninstallHash;
    bool reportClientStatus = false, dynamicSteering = false, deviceUniqueID = true;
    bool secureAccess = false, reauthEnabled = false, reauthenticationOnLogon = false,
         rfc1918Enabled = false, dtlsEnabled = false, portBypassEnabled = false,
         checkCiscoVpn = false, allowIdPLogout = false, seamlessPolicyUpdate = false;
    std::string qpaDnsResolvedIP;
    std::int64_t qpaDnsTtl = 0, qpaDnsLastResolvedTime = 0;
    std::int32_t qpaDnsFailureCount = 0, qpaDnsSuccessCount = 0;
    std::int64_t qpaDnsLastReportedTime = 0;
    bool sendDeviceInfo = false, enablePktDump = false;
    std::string logLevelText;
    std::int32_t logLevel = 4;
    std::int32_t initialLogLevel = 0; // the first level read
    bool debugSettings = false, proxyAuth = false;
    std::int32_t productOneProxyFlag = 0; // 1 once a product-1 external proxy was read
    std::string productOneProxyHost;
    std::int32_t productOneProxyPort = 0;
    std::string configurationName = "Client Default";
    std::int32_t priority = -999;
    std::string userkey;
    std::string protocol = "tls";
    std::uint16_t mtu = 0;
    std::int32_t heartbeatIntervalInMin = 30;
    std::string deviceToken; // m_deviceToken
    std::int32_t deviceTokenLastSend = 0;
    std::vector<std::string> metricsHosts;
    bool metricsEnable = false;
    std::int32_t metricsInterval = 360, metricsBackoffInterval = 720, metricsPing = 3,
                 metricsTraceroute = 1, metricsDns = 1;
    bool onpremUseDns = true;
    std::string onpremHost, onpremIp, onpremHttpHost;
    std::int32_t onpremHttpTcpConnectionTimeout = 10;
    bool localTrafficBypass = true, bypassPacDownloadFlow = false, bypassLoopbackDNS = false,
         enhancedCertPinnedApplist = false, injectAtTransportLayer = false, checkSNI = false,
         encryptClientConfig = false, bypassPrivateTrafficAtDriver = false,
         enableClientSelfProtection = false, supportUDPExceptions = false,
         handleExceptionsAtDriver = false, enableAOACSupport = false;
    bool externalProxyConfig = true;
    bool reconfigureUser = false;
};

// Branding values; the three SFChecker values may also come from ktconfig.json.
struct BrandingValues {
    std::string userKey, orgKey, orgName, addonManagerHost, sfCheckerHost, sfCheckerIP,
        sfCheckerIP6, addonCheckerHost, userEmail;
};

// Whole values compare member by member; the build fails while a list misses a member.
KT_COMPARE_WHOLE(ClientConfigValues, apiSecurityNoEnc, lastClientUpdated, newClientVer, ktgwHost,
                 ktgwBackupHost, ktgwPort, qpaHost, qpaPort, qpaKeepaliveTimeout, qpaTenant,
                 qpaDomain, allowClientDisabling, userNotification, clientAssistedGTM,
                 steeringConfig2, dnsResolvedIP, dnsTtl, dnsLastResolvedTime, dnsFailureCount,
                 dnsSuccessCount, dnsLastReportedTime, configUpdateTimestamp, updateIntervalInMin,
                 allowAutoUpdate, showUpdateNotification, allowAutoGoldenUpdate,
                 goldenReleaseVersion, goldenDotReleaseUpdate, hideClientIcon,
                 clientHandleOverlappingDomains, allowUninstall, uninstallSalt, uninstallHash,
                 reportClientStatus, dynamicSteering, deviceUniqueID, secureAccess, reauthEnabled,
                 reauthenticationOnLogon, rfc1918Enabled, dtlsEnabled, portBypassEnabled,
                 checkCiscoVpn, allowIdPLogout, seamlessPolicyUpdate, qpaDnsResolvedIP, qpaDnsTtl,
                 qpaDnsLastResolvedTime, qpaDnsFailureCount, qpaDnsSuccessCount,
                 qpaDnsLastReportedTime, sendDeviceInfo, enablePktDump, logLevelText, logLevel,
                 initialLogLevel, debugSettings, proxyAuth, productOneProxyFlag,
                 productOneProxyHost, productOneProxyPort, configurationName, priority, userkey,
                 protocol, mtu, heartbeatIntervalInMin, deviceToken, deviceTokenLastSend,
                 metricsHosts, metricsEnable, metricsInterval, metricsBackoffInterval, metricsPing,
                 metricsTraceroute, metricsDns, onpremUseDns, onpremHost, onpremIp, onpremHttpHost,
                 onpremHttpTcpConnectionTimeout, localTrafficBypass, bypassPacDownloadFlow,
                 bypassLoopbackDNS, enhancedCertPinnedApplist, injectAtTransportLayer, checkSNI,
                 encryptClientConfig, bypassPrivateTrafficAtDriver, enableClientSelfProtection,
                 supportUDPExceptions, handleExceptionsAtDriver, enableAOACSupport,
                 externalProxyConfig, reconfigureUser);
KT_COMPARE_WHOLE(BrandingValues, userKey, orgKey, orgName, addonManagerHost, sfCheckerHost,
                 sfCheckerIP, sfCheckerIP6, addonCheckerHost, userEmail);

// The speed test reads it as its SpeedTestConfig.
class Config : public SpeedTestConfig {
public:
    class Impl;

    Config();
    ~Config();
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    // Loads everything, in order: folders, device information, devconfig.json (and the
    // certificate-validation switch), ktconfig.json, user agent, ktidpconfig.json, the
    // active session's configuration, the branding (as that session's user when per-user
    // folders are on), the session's entry, the proxies. False when the folders cannot be
    // had, there is no active session, its user cannot be acted as or the branding cannot
    // be read; values read before a failing step stay.
    bool init();
    // Fixes the configuration location and its files and creates the location and its
    // "download", "data" and "tempImages" folders. False, logged, when the location
    // cannot be had; nothing is set then.
    bool initConfigLocation();

    // Values fixed by init; read them after it returned.
    const ClientConfigValues& clientConfig() const;
    const BrandingValues& branding() const;
    bool enablePerUserConfig() const;

    // Adds the session's entry, as a logon does: its folder and the folder's "data" and
    // "download" folders, ktuser.conf (written when it holds no status), its event cache and
    // fail-close state, everything in the user's own folder as that user and through no link
    // (a user that cannot be acted as gets the common folder). A session already known only
    // takes the user name, unless reinit. The session id is then queued as the last logon.
    // False when the user's folder was found but acting as its user then failed.
    bool addUserConfig(std::uint32_t sessionId, std::string userName, bool reinit);
    // The configuration folder of the session's entry, else the common one.
    std::wstring getConfigLocation(std::uint32_t sessionId);
    // The user e-mail of the session's entry, else the branding "UserEmail".
    std::string getUserEmail(std::uint32_t sessionId);

    // Steering values, each under the configuration's lock.
    std::int32_t getTrafficMode();
    bool isDynamicSteeringEnabled();
    bool isCheckSNIEnabled();

    // SpeedTestConfig.
    ProxySettings requestProxySettings() override;
    // The decrypted credential, or empty. A secret: never log it.
    std::string getProxyCredentials() override;
    // The branding's add-on checker host, the speed-test host.
    std::string speedTestHost() override;
    // The proxies for the add-on service's default host, as the calling thread's user.
    void detectAddonProxies() override;

private:
    std::unique_ptr<Impl> m_impl;
};

#pragma once
// Config::Impl: the whole configuration, for the library's own files and its tests. Config
// (ktConfig/config.h) is the face the tool sees and forwards to it.
//
// Lock order: m_configMutex, then the add-on REST client's mutex; m_credentialMutex, then
// the add-on REST client's mutex. m_configMutex is not recursive.

#include "ktConfig/FailCloseConfig.h"
#include "ktConfig/SteeringConfig.h"
#include "ktConfig/compareWhole.h"
#include "ktConfig/config.h"
#include "ktConfig/deviceInfo.h"
#include "ktConfig/idpConfig.h"
#include "ktConfig/userConfig.h"
#include "ktCrypto/ktConfigSec.h"
#include "ktDownloader/proxyParams.h"
#include "ktRestApi/proxyUtils.h"

#include <boost/property_tree/ptree_fwd.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CAddonManApi;
class CProxyHealthCheck;

// The add-on service host of this deployment, used when the branding names none.
extern const char* const kDefaultAddonHost;

// Developer overrides of devconfig.json.
struct DevConfigValues {
    bool useDevConfig = false;
    bool validatePeerCert = true;
    std::set<std::string> tunnelPortList;
    bool dtlsFallback = true;
    std::int32_t tunnelPacketQueueSize = 0, sendTcpBufferSizeInKBs = 0,
                 receiveTcpBufferSizeInKBs = 0, clientConfigExpiryTime = 86400;
};

// Whole values compare member by member; the build fails while the list misses a member.
KT_COMPARE_WHOLE(DevConfigValues, useDevConfig, validatePeerCert, tunnelPortList, dtlsFallback,
                 tunnelPacketQueueSize, sendTcpBufferSizeInKBs, receiveTcpBufferSizeInKBs,
                 clientConfigExpiryTime);

class Config::Impl {
public:
    Impl();
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The operations Config forwards to are described in ktConfig/config.h.
    bool init();
    bool initConfigLocation();
    // Builds the process-wide HTTP user agent from the OS version, the product version and
    // the device's host name; always true.
    bool setUserAgent();

    // ktconfig.json. False when missing, empty, not JSON or failing its digest; true also
    // when a later key failed (logged). Never deletes the file.
    bool readClientConfig();
    void readSecureAccessConfig(const boost::property_tree::ptree& tree);
    void readClientUpdateConfig(const boost::property_tree::ptree& tree);
    // True when version names a version above this build's (kProductVersion).
    static bool isNewerThanBuildVersion(const std::string& version);
    // Writes one key into ktconfig.json in its current form (plain or protected).
    bool appendKeyToConfigJson(const std::string& key, const std::string& value);
    bool appendKeyToConfigJson(const std::string& key, int value);
    // Hands the external proxies to the process-wide health check (report only, no probes).
    void applyExternalProxies();

    // ktuserconfig.json in the configuration location: the per-user folder switch, the
    // add-on host and key, the device token and the user's fail-close overrides. False
    // when missing or empty; true also when it is not JSON (logged).
    bool readUserConfig();
    // devconfig.json in the configuration location; false when missing, empty or not JSON.
    bool readDevConfig();

    // The digest of text against key in <folder>/ktinternal.json; true at once when
    // "clientConfig.encryptClientConfig" is set.
    bool checkIntegrity(const std::wstring& folder, const std::string& text,
                        const std::string& key);

    // The steering configuration and the cached files of the data folder, each tried in a
    // fixed order (docs/cached-lists.md). False when a critical one failed.
    bool readSteeringFiles();
    // Cached files read whole; stored only when the read succeeded.
    bool readRootCaCert();
    bool readTenantCert();
    bool readOverlapDomains();
    bool readDeviceIdRules();
    bool readTunnelPolicy();
    // Lists guarded by digests: stored only when read and checked on the bytes read. A
    // mismatch is tampering: reported to the add-on service (held until init knows its
    // host, keys and proxies), flagged in ktinternal.json when the report fails.
    bool readBypassList();
    bool readBypassCategoryList();
    bool readExceptionList();
    // The digest of file against key in <folder>/ktinternal.json; true at once when
    // "clientConfig.encryptClientConfig" is set.
    bool validateFileIntegrity(const std::wstring& folder, const std::wstring& file,
                               std::string key);
    // Posts message with the branding keys to the add-on service's support log; true when
    // delivered.
    bool postSupportLog(const std::string& message);
    // Puts the flag into <data folder>/ktinternal.json, keeping its other members; false,
    // logged, when not written (a file that cannot be read or parsed is left alone).
    bool setInternalFlag(bool value, std::string key);
    // True after readSteeringFiles when no file failed at all.
    bool steeringFilesValid() const { return m_steeringFilesValid; }

    // Proxies: the full list rebuilt from the product-2 external proxies.
    void buildProxyList();
    // Runs detectProxies for kDefaultAddonHost as the user of sessionId; logged and nothing
    // changed when that user cannot be impersonated. The thread's identity is restored.
    void detectProxiesForAddon(std::uint32_t sessionId);
    // Decides the proxies of later requests: the system proxies for the add-on host (the
    // branding's, else host), then, when some were detected, the user-configured proxies
    // found reachable so far. Replaces the active list, grows the full list (both lower
    // case afterwards) and hands the active list, as detected, to the request settings and
    // the add-on REST client.
    void detectProxies(const std::string& host);
    // Per-session configuration. The configuration folder of sessionId: the common one
    // unless per-user folders are on; creates it (as the session's user) when they are.
    // Writes no file and posts nothing.
    std::wstring createUserConfig(std::uint32_t sessionId);
    // A session's folder, and its user's home when it is that user's own.
    struct SessionFolder {
        std::wstring location;
        std::optional<std::string> userHome;
    };
    // createUserConfig's folder, with the user's home when that user can be acted as (its
    // token, the switch), which alone makes it the user's own folder. Without a token a
    // location to expand gives the common folder; a location without "%" is named as it
    // is, but not made.
    SessionFolder locateUserConfig(std::uint32_t sessionId);
    // Fills userConfig for sessionId: its folders (made as the session's user when they are
    // the user's own), ktuser.conf (written with the current values when there is none or
    // its text holds no status), its event cache, tunnel status and fail-close state. A user
    // that cannot be acted as gets the common folder. False, with only the location and
    // folder names filled, when the user's own folder was found but the switch to its user
    // then failed: nothing in that folder is read or written.
    bool initUserConfig(CUserConfig& userConfig, std::uint32_t sessionId);
    // Adds the session's entry, or renames the user of an existing one (and fills it again
    // when reinit), then queues the session id as the last logon. False when filling the
    // entry failed (initUserConfig).
    bool addUserConfig(std::uint32_t sessionId, std::string userName, bool reinit);
    // <location>/ktuser.conf into userConfig; false when missing, empty or not JSON (values
    // read before an error stay). In the user's own folder no link is followed.
    bool readUserConf(CUserConfig& userConfig);
    // How reading ktuser.conf went: read; nothing there; a regular file whose text holds
    // no status (empty or not JSON), to be rewritten; anything else there (a link, a
    // folder, a file that cannot be read), to be kept.
    enum class UserConfRead { ok, missing, unusable, kept };
    UserConfRead loadUserConf(CUserConfig& userConfig);
    // Replaces <location>/ktuser.conf with userConfig's current status; false, logged, when
    // it could not be written.
    bool writeUserStatus(CUserConfig& userConfig);
    // Clears the logon-pending flag and wakes one waiter.
    void notifyLogon();
    // ktbranding.json (or its protected form) of the session's folder into the branding
    // values and userConfig's key and e-mail. False, logged, when it cannot be read or is
    // empty, not JSON or lacks a required key in both layouts; the values and the file are
    // then left as they were.
    bool readBranding(CUserConfig& userConfig);
    // The configuration location of the session's entry, else the common location.
    std::wstring getConfigLocation(std::uint32_t sessionId);
    // The user e-mail of the session's entry, else the branding "UserEmail".
    std::string getUserEmail(std::uint32_t sessionId);
    // The smallest session id with an entry; false when there is none.
    bool getActiveUserSessionId(std::int32_t& sessionId);
    // A copy of the session's entry; false when there is none.
    bool getUserConfig(std::uint32_t sessionId, CUserConfig& userConfig);
    // The session ids queued by addUserConfig, oldest first.
    std::deque<std::int32_t> logonQueue();
    // The QPA key and certificate: in the session's configuration location when per-user
    // folders are on, else in the data folder.
    std::wstring getQpaKeyPath(std::uint32_t sessionId);
    std::wstring getQpaCertPath(std::uint32_t sessionId);
    // True when the QPA tenant is set and the session's QPA certificate and key exist (in
    // their stored form); looked for as the session's user (false, logged, when per-user
    // folders are on and that user cannot be acted as).
    bool isQpaCertPresent(std::uint32_t sessionId);

    // The URL of the proxy reachability probe; its query values are percent-encoded. It
    // carries the keys: never log it.
    std::string getOrgVersionUrl();
    // Stores the credential (stored, encrypted form) and hands it to the REST client and
    // the request settings.
    void setProxyCredentials(const std::string& credential);
    // The decrypted credential, or empty. A secret: never log it.
    std::string getProxyCredentials();

    // Accessors, under m_configMutex.
    std::int32_t getTrafficMode();
    bool isDynamicSteeringEnabled();
    bool isDynamicSteeringActive();
    // Private-access traffic is steered: with dynamic steering active, secure access and
    // private apps off or on premises; otherwise secure access and private apps enabled
    // (the steering file is read again while they are not).
    bool isQpaSteeringEnabled();
    bool isCheckSNIEnabled();
    std::string getQpaTenant();
    std::vector<ExternalProxyRecord> externalProxies();
    std::vector<std::string> allProxies();
    std::vector<std::string> activeProxies();
    std::string pacServerHost();
    ProxySettings requestProxySettings();
    // The cached files as read (a protected file's text ends with its zero byte).
    std::string rootCaCert();
    std::string tenantCert();
    std::string exceptionList();
    std::string bypassList();
    std::string deviceIdRules();
    std::string bypassCategoryList();
    std::string overlapDomains();
    std::string tunnelPolicy();
    // The branding's add-on checker host, the speed-test host.
    std::string speedTestHost();
    // detectProxies for kDefaultAddonHost, as the calling thread's user.
    void detectAddonProxies();

    // Values fixed by init; read them after it returned.
    const ClientConfigValues& clientConfig() const { return m_client; }
    const DevConfigValues& devConfig() const { return m_dev; }
    const BrandingValues& branding() const { return m_branding; }
    const deviceInfo& device() const { return m_deviceInfo; }
    const idpConfig& idp() const { return m_idpConfig; }
    FailCloseConfig& failClose() { return m_failCloseConfig; }
    ktConfigSec& configSec() { return m_configSec; }
    const std::shared_ptr<SteeringConfig>& steeringConfig() const { return m_steeringConfig; }
    CAddonManApi* addonManApi() { return m_addonManApi; }
    const std::string& hostName() const { return m_hostName; }
    bool enablePerUserConfig() const { return m_enablePerUserConfig; }
    const std::wstring& perUserConfigLocation() const { return m_perUserConfigLocation; }
    bool autoUpdate() const { return m_autoUpdate; }
    // The QPA tunnel's state (4 connected, 6 disconnected; 0 at first) and whether the QPA
    // enrolment failed; read for the client status. This program never enrols, so the
    // flag stays false.
    std::int32_t qpaTunnelState() const { return m_qpaTunnelState; }
    void setQpaTunnelState(std::int32_t state) { m_qpaTunnelState = state; }
    bool qpaEnrollFailed() const { return m_qpaEnrollFailed; }

    std::wstring m_dataDir;
    std::wstring m_downloadDir;
    std::wstring m_configLocation;
    std::wstring m_configFilePath;
    std::wstring m_tempImagesDir;

private:
    void readClientKeys(const boost::property_tree::ptree& tree);
    void readExternalProxies(const boost::property_tree::ptree& tree);
    void readAgentMetrics(const boost::property_tree::ptree& tree);
    void checkClientUpdate();
    struct GuardedList;
    bool readPlainFile(const std::wstring& path, std::string& member);
    bool readGuardedList(const GuardedList& list, std::string& member);
    void reportTamper(const std::string& message, const std::string& flagKey);
    void sendHeldTamperReports();
    void flagHeldTamperReports();

    std::wstring m_userConfigText; // ktuserconfig.json as read
    bool m_enablePerUserConfig = false;
    std::wstring m_perUserConfigLocation;
    bool m_autoUpdate = true;
    ClientConfigValues m_client;
    BrandingValues m_branding;
    DevConfigValues m_dev;
    idpConfig m_idpConfig;
    boost::mutex m_configMutex;
    boost::mutex m_credentialMutex;
    std::shared_ptr<SteeringConfig> m_steeringConfig;
    std::vector<std::string> m_activeProxies;
    std::vector<std::string> m_allProxies;
    std::string m_pacServerHost;
    std::string m_proxyCredentials; // stored form; guarded by m_credentialMutex
    ProxySettings m_requestProxySettings;
    deviceInfo m_deviceInfo;
    FailCloseConfig m_failCloseConfig;
    CAddonManApi* m_addonManApi;
    ktConfigSec m_configSec;
    std::vector<ExternalProxyRecord> m_externalProxies;
    CProxyHealthCheck* m_proxyHealthCheck;
    std::string m_hostName;
    // Cached files of the data folder; guarded by m_configMutex.
    std::string m_rootCaCert, m_tenantCert, m_exceptionList, m_bypassList, m_deviceIdRules,
        m_bypassCategoryList, m_overlapDomains, m_tunnelPolicy;
    bool m_steeringFilesValid = false;
    // While init runs, tamper reports wait here for the add-on host, keys and proxies.
    struct TamperReport {
        std::string message;
        std::string flagKey;
        bool posted; // a post was tried and failed
    };
    bool m_holdTamperReports = false;
    std::vector<TamperReport> m_heldTamperReports;
    // Per-session entries; the recursive lock lets a session operation call another.
    std::map<std::uint32_t, CUserConfig> m_userConfigs;
    boost::recursive_mutex m_sessionMutex;
    // Logons: the queue is locked only after m_sessionMutex is released.
    std::deque<std::int32_t> m_logonQueue;
    boost::mutex m_logonQueueMutex;
    boost::mutex m_logonMutex;
    boost::condition_variable m_logonCondition;
    bool m_logonPending = false; // guarded by m_logonMutex
    std::atomic<std::int32_t> m_qpaTunnelState{0};
    const bool m_qpaEnrollFailed = false;
};

// In each host:port entry, a "." right before the first ":" (not at the start) is removed.
void normalizeHostPortList(std::vector<std::string>& list);

// Stands for SHCreateDirectoryExW, whose result the callers do not examine: every missing
// level is made as the calling thread's user; an existing folder is fine, a relative path is
// refused, and any failure is only logged.
void createFolder(const std::wstring& folder);

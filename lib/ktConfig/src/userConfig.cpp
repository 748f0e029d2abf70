// Per-session configuration: CUserConfig, the session map of Config, the per-session status
// file ktuser.conf and the QPA files of a session.

#include "ktConfig/userConfig.h"

#include "configInternal.h"
#include "configValue.h"
#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"
#include "ktPlatform/strings.h"
#include "ktPlatform/tokens.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/jsonUtil.h"
#include "ktWinUtils/impersonate.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <exception>
#include <iterator>
#include <sstream>

static const char* const kLogModule = "Config";

namespace {

// Room of the expanded per-user location, in wide characters with the terminating zero.
constexpr std::size_t kExpandedLocationRoom = 2048;

std::wstring userConfPath(const CUserConfig& userConfig)
{
    return userConfig.m_location + L"/" + L"ktuser.conf";
}

// A status file whose text holds no status is rewritten, but only when it is a regular file
// itself: a link (to whatever it names) is left alone.
Config::Impl::UserConfRead unusableUserConf(const std::wstring& path)
{
    std::uint64_t size = 0;
    return ktPlatform::regularFileSize(ktPlatform::toNarrow(path), size)
               ? Config::Impl::UserConfRead::unusable
               : Config::Impl::UserConfRead::kept;
}

} // namespace

void CUserConfig::setFailClose(bool active, bool post)
{
    m_failCloseActive = active;
    if (active && post) {
        const int sessionId = static_cast<int>(m_sessionId);
        KTLOG_M("UserConfig", KT_LOG_INFO, "[sessId %d] fail close activated", sessionId);
        if (m_tunnelStatus == 0 || m_tunnelStatus == 7 || m_tunnelStatus == 11 ||
            m_tunnelStatus == 13) {
            KTLOG_M("clientStatusHandler", KT_LOG_INFO,
                    "FailClosed:[sessId %d] posting fail closed client status status", sessionId);
            m_statusHandler.handleClientStatus(this, "Fail Closed");
        }
    }
    if (!m_failCloseActive) {
        m_failCloseNotified = false;
    }
}

std::wstring Config::Impl::createUserConfig(std::uint32_t sessionId)
{
    return locateUserConfig(sessionId).location;
}

Config::Impl::SessionFolder Config::Impl::locateUserConfig(std::uint32_t sessionId)
{
    boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
    const int id = static_cast<int>(sessionId);
    SessionFolder folder{m_configLocation, std::nullopt};
    if (!m_enablePerUserConfig) {
        KTLOG(KT_LOG_INFO, "createUserConfig: SessionId [%d] user config location: %ls", id,
              folder.location.c_str());
        return folder;
    }
    if (m_perUserConfigLocation.empty()) {
        m_perUserConfigLocation = ktPlatform::toWide(ktPlatform::userFolderUnexpanded());
        KTLOG(KT_LOG_INFO, "createUserConfig: using default m_perUserConfigLocation: %ls",
              m_perUserConfigLocation.c_str());
    }
    // Also for the home below which nothing there is read through a link.
    std::uint32_t tokenSession = sessionId;
    const UserToken token = getUserToken(tokenSession);
    if (m_perUserConfigLocation.find(L'%') != std::wstring::npos) {
        if (!token) {
            KTLOG(KT_LOG_ERROR, "Failed to retrieve user token for session id %d.", id);
            return folder;
        }
        std::wstring expanded;
        if (!ktPlatform::expandEnvironmentStringsForUser(*token, m_perUserConfigLocation, expanded,
                                                         kExpandedLocationRoom)) {
            KTLOG(KT_LOG_ERROR,
                  "createUserConfig: ExpandEnvironmentStringsForUserW failed, err: %d",
                  ktPlatform::lastError());
            return folder;
        }
        folder.location = expanded;
    } else {
        folder.location = m_perUserConfigLocation;
    }
    KTLOG(KT_LOG_INFO, "createUserConfig: SessionId [%d] user config location: %ls", id,
          folder.location.c_str());

    // The folder is the user's: made and used as the user, or not at all.
    ImpersonationGuard impersonation;
    if (!token || !impersonateActiveUser(impersonation, sessionId)) {
        KTLOG(KT_LOG_ERROR, "[sessId %d] %ls not created: its user cannot be acted as", id,
              folder.location.c_str());
        return folder;
    }
    createFolder(folder.location);
    revertImpersonation(impersonation);
    folder.userHome = token->home;
    return folder;
}

bool Config::Impl::initUserConfig(CUserConfig& userConfig, std::uint32_t sessionId)
{
    const int id = static_cast<int>(sessionId);
    userConfig.m_sessionId = sessionId;
    userConfig.m_logonFlag = false;
    SessionFolder folder = locateUserConfig(sessionId);
    if (!folder.userHome && folder.location != m_configLocation) {
        // Its user cannot be acted as: the session has the common folder, the tool's own.
        KTLOG(KT_LOG_ERROR, "[sessId %d] %ls is not used: its user cannot be acted as", id,
              folder.location.c_str());
        folder.location = m_configLocation;
    }
    userConfig.m_location = std::move(folder.location);
    userConfig.m_userHome = std::move(folder.userHome);
    const std::int32_t reportRetry[5] = {5, 30, 0, 2, 0};
    const std::int32_t heartbeatRetry[5] = {5, 60, 0, 2, 0};
    std::copy(std::begin(reportRetry), std::end(reportRetry), userConfig.m_reportRetry);
    std::copy(std::begin(heartbeatRetry), std::end(heartbeatRetry), userConfig.m_heartbeatRetry);
    KTLOG(KT_LOG_INFO, "sessId [%d] user config location: %ls", id, userConfig.m_location.c_str());
    userConfig.m_downloadDir = userConfig.m_location + L"/download";
    userConfig.m_dataDir = userConfig.m_location + L"/data";

    ImpersonationGuard impersonation;
    if (userConfig.m_userHome) {
        if (!impersonateActiveUser(impersonation, sessionId)) {
            // Nothing in the user's folder is read or written under another identity: the
            // session keeps its defaults, loads no event cache and judges no fail-close.
            KTLOG(KT_LOG_ERROR, "[sessId %d] %ls left untouched: its user cannot be acted as", id,
                  userConfig.m_location.c_str());
            return false;
        }
        createFolder(userConfig.m_downloadDir);
        createFolder(userConfig.m_dataDir);
    }

    const UserConfRead read = loadUserConf(userConfig);
    if (read == UserConfRead::missing || read == UserConfRead::unusable) {
        // Nothing there, or a file whose text holds no status: the current values replace
        // it. Anything else (a link, a folder, a file that cannot be read) is not ours to
        // replace.
        writeUserStatus(userConfig);
    } else if (read == UserConfRead::kept) {
        KTLOG(KT_LOG_ERROR, "[sessId %d] %ls could not be read and is kept as it is", id,
              userConfPath(userConfig).c_str());
    }

    userConfig.m_pendingEvents = 0;
    userConfig.m_statusHandler.init(this, userConfig.m_location, std::wstring(),
                                    userConfig.m_userHome);

    if (userConfig.m_clientStatus != 0) {
        userConfig.m_tunnelStatus = userConfig.m_userStatus ? 0 : 1;
    } else {
        userConfig.m_tunnelStatus = 2;
    }

    if (userConfig.m_failCloseStatus && userConfig.m_clientStatus != 0) {
        bool known = false;
        {
            boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
            known = m_userConfigs.find(sessionId) != m_userConfigs.end();
        }
        // A session being set up before its entry exists never posts.
        userConfig.setFailClose(m_failCloseConfig.isFailCloseEnabled(), known);
    }
    revertImpersonation(impersonation);
    return true;
}

bool Config::Impl::addUserConfig(std::uint32_t sessionId, std::string userName, bool reinit)
{
    KTLOG(KT_LOG_INFO, "Adding user config for sessId %d", static_cast<int>(sessionId));
    bool initialised = true;
    {
        boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
        const auto found = m_userConfigs.find(sessionId);
        if (found != m_userConfigs.end()) {
            found->second.m_userName = userName;
            if (reinit) {
                initialised = initUserConfig(found->second, sessionId);
            }
        } else {
            CUserConfig& entry = m_userConfigs[sessionId];
            entry.m_userName = userName;
            initialised = initUserConfig(entry, sessionId);
        }
    }
    KTLOG(KT_LOG_INFO, "Set Last Logon");
    {
        boost::mutex::scoped_lock lock(m_logonQueueMutex);
        m_logonQueue.push_back(static_cast<std::int32_t>(sessionId));
    }
    notifyLogon();
    return initialised;
}

bool Config::Impl::readUserConf(CUserConfig& userConfig)
{
    return loadUserConf(userConfig) == UserConfRead::ok;
}

Config::Impl::UserConfRead Config::Impl::loadUserConf(CUserConfig& userConfig)
{
    const std::wstring path = userConfPath(userConfig);
    std::string content;
    switch (ktConfigValue::readConfigFile(path, content, userConfig.m_userHome)) {
    case ktConfigValue::TextRead::ok:
        break;
    case ktConfigValue::TextRead::empty:
        return unusableUserConf(path);
    case ktConfigValue::TextRead::refused:
        // A link there or on the way: nothing is written through it either.
        return UserConfRead::kept;
    case ktConfigValue::TextRead::failed:
        // A folder, a file that cannot be read: none of it is replaced.
        return pathTaken(path) ? UserConfRead::kept : UserConfRead::missing;
    }
    using namespace ktConfigValue;
    const int id = static_cast<int>(userConfig.m_sessionId);
    try {
        boost::property_tree::ptree tree;
        readJsonBounded(content, tree);
        keepBool(tree, "cache.userStatus", userConfig.m_userStatus);
        KTLOG(KT_LOG_INFO, "[sessId %d] userStatus: %d", id, userConfig.m_userStatus ? 1 : 0);
        keepText(tree, "cache.tunnelId", userConfig.m_tunnelId);
        KTLOG(KT_LOG_INFO, "[sessId %d] TunnelID: %s", id, userConfig.m_tunnelId.c_str());
        keepNumber(tree, "userConfig.clientStatus", userConfig.m_clientStatus);
        KTLOG(KT_LOG_INFO, "[sessId %d] clientStatus: %d", id, userConfig.m_clientStatus);
        keepNumber(tree, "userConfig.tunnelStatus", userConfig.m_lastTunnelStatus);
        KTLOG(KT_LOG_INFO, "[sessId %d]  Last tunnelStatus: %d", id, userConfig.m_lastTunnelStatus);
        keepNumber(tree, "userConfig.qpaStatus", userConfig.m_lastQpaStatus);
        KTLOG(KT_LOG_INFO, "[sessId %d]  Last qpaStatus: %d", id, userConfig.m_lastQpaStatus);
        keepBool(tree, "userConfig.failCloseStatus", userConfig.m_failCloseStatus);
        KTLOG(KT_LOG_INFO, "[sessId %d, userEmail=%s]  failCloseStatus: %d", id,
              userConfig.m_userEmail.c_str(), userConfig.m_failCloseStatus ? 1 : 0);
    } catch (const std::exception& e) {
        KTLOG_M("config", KT_LOG_ERROR, "ktuser.conf error: %s", e.what());
        return unusableUserConf(path);
    }
    return UserConfRead::ok;
}

bool Config::Impl::writeUserStatus(CUserConfig& userConfig)
{
    const std::wstring path = userConfPath(userConfig);
    std::string text;
    try {
        boost::property_tree::ptree tree;
        tree.put("cache.userStatus", userConfig.m_userStatus);
        tree.put("userConfig.clientStatus", userConfig.m_clientStatus);
        tree.put("userConfig.tunnelStatus", userConfig.m_tunnelStatus);
        tree.put("userConfig.qpaStatus", userConfig.m_qpaStatus);
        tree.put("userConfig.failCloseStatus", userConfig.m_failCloseStatus);
        std::ostringstream out;
        boost::property_tree::write_json(out, tree);
        text = out.str();
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "error writing ktuser.conf.json: %s", e.what());
        return false;
    }
    if (!writeFile(path.c_str(), text)) {
        KTLOG_M("config", KT_LOG_ERROR, "failed to write to file %ls", path.c_str());
        return false;
    }
    return true;
}

void Config::Impl::notifyLogon()
{
    boost::mutex::scoped_lock lock(m_logonMutex);
    m_logonPending = false;
    m_logonCondition.notify_one();
}

std::wstring Config::Impl::getConfigLocation(std::uint32_t sessionId)
{
    boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
    const auto found = m_userConfigs.find(sessionId);
    return found != m_userConfigs.end() ? found->second.m_location : m_configLocation;
}

std::string Config::Impl::getUserEmail(std::uint32_t sessionId)
{
    boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
    const auto found = m_userConfigs.find(sessionId);
    return found != m_userConfigs.end() ? found->second.m_userEmail : m_branding.userEmail;
}

bool Config::Impl::getActiveUserSessionId(std::int32_t& sessionId)
{
    boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
    if (m_userConfigs.empty()) {
        return false;
    }
    sessionId = static_cast<std::int32_t>(m_userConfigs.begin()->first);
    return true;
}

bool Config::Impl::getUserConfig(std::uint32_t sessionId, CUserConfig& userConfig)
{
    boost::recursive_mutex::scoped_lock lock(m_sessionMutex);
    const auto found = m_userConfigs.find(sessionId);
    if (found == m_userConfigs.end()) {
        return false;
    }
    userConfig = found->second;
    return true;
}

std::deque<std::int32_t> Config::Impl::logonQueue()
{
    boost::mutex::scoped_lock lock(m_logonQueueMutex);
    return m_logonQueue;
}

std::wstring Config::Impl::getQpaKeyPath(std::uint32_t sessionId)
{
    const std::wstring folder = m_enablePerUserConfig ? getConfigLocation(sessionId) : m_dataDir;
    return folder + L"/" + L"qpaccesskey.pem";
}

std::wstring Config::Impl::getQpaCertPath(std::uint32_t sessionId)
{
    const std::wstring folder = m_enablePerUserConfig ? getConfigLocation(sessionId) : m_dataDir;
    return folder + L"/" + L"qpaccesscert.pem";
}

bool Config::Impl::isQpaCertPresent(std::uint32_t sessionId)
{
    if (getQpaTenant().empty()) {
        return false;
    }
    // The files may lie in the user's folder: looked for there only as the user.
    ImpersonationGuard impersonation;
    if (!impersonateActiveUser(impersonation, sessionId) && m_enablePerUserConfig) {
        KTLOG(KT_LOG_ERROR, "[sessId %d] QPA files not looked for: the user cannot be acted as",
              static_cast<int>(sessionId));
        return false;
    }
    const std::wstring cert = m_configSec.encryptedFileName(getQpaCertPath(sessionId));
    const std::wstring key = m_configSec.encryptedFileName(getQpaKeyPath(sessionId));
    const bool present = pathExists(cert) && pathExists(key);
    revertImpersonation(impersonation);
    return present;
}

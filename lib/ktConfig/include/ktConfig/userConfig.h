#pragma once
// CUserConfig: the configuration and status of one Windows session. Config keeps one per
// session id in its session map and fills it (Config::initUserConfig); copies take every
// field, so the map's entry of the active session is a copy of a local one.

#include "ktConfig/clientStatusHandler.h"
#include "ktConfig/userConfigCommon.h"

#include <cstdint>
#include <optional>
#include <string>

class CUserConfig : public CUserConfigCommon {
public:
    CUserConfig() = default;

    std::string getUserKey() const override { return m_userKey; }
    int getTunnelStatus() const override { return m_tunnelStatus; }
    int getSessionId() const override { return static_cast<int>(m_sessionId); }
    int getActor() const override { return m_actor; }
    std::string getDeviceClassificationStatus() const override
    {
        return m_deviceClassificationStatus;
    }
    bool isFailCloseActive() const override { return m_failCloseActive; }

    // Records whether fail-close is in force. When active and post are both true and the
    // tunnel is down (status 0, 7, 11 or 13), hands "Fail Closed" to the session's
    // client-status handler, which posts it or queues it.
    void setFailClose(bool active, bool post);

    std::uint32_t m_sessionId = 0;
    std::wstring m_location; // the session's configuration folder
    // Set when m_location is the session user's own folder: that user's home. Everything in
    // the folder is then read and written as the user, and no read there follows a link
    // below this home (nor at any level when the folder lies elsewhere).
    std::optional<std::string> m_userHome;
    std::wstring m_dataDir;     // m_location + "/data"
    std::wstring m_downloadDir; // m_location + "/download"
    std::string m_userKey;      // the branding "UserKey"
    bool m_brandingRead = false;
    bool m_logonFlag = false;             // cleared by Config::initUserConfig; read by nothing here
    std::int32_t m_tunnelStatus = 0;      // 0 tunnel down, 1 user disabled, 2 admin disabled, ...
    std::int32_t m_lastTunnelStatus = -1; // as stored in ktuser.conf
    std::int32_t m_qpaStatus = 6;
    std::int32_t m_lastQpaStatus = -1; // as stored in ktuser.conf
    bool m_userStatus = true;          // "cache.userStatus": the user's own enable state
    bool m_failCloseStatus = true;     // "userConfig.failCloseStatus": fail-close allowed
    std::string m_tunnelId;            // "cache.tunnelId"
    std::int32_t m_clientStatus = 1;   // "userConfig.clientStatus": 0 disabled by the admin
    bool m_failCloseActive = false;
    bool m_failCloseNotified = false; // cleared with m_failCloseActive; never set here
    // Retry policy of the session's reports (count, interval in s, ...); kept and copied,
    // read by nothing here.
    std::int32_t m_reportRetry[5] = {5, 30, 0, 2, 0};
    std::int32_t m_actor = 1; // 2 user, 3 administrator, else the system
    std::string m_lastEvent;  // kept and copied, read by nothing here
    std::string m_deviceClassificationStatus = "unknown";
    std::string m_userName;
    std::string m_userEmail;                             // the branding "UserEmail"
    std::int32_t m_heartbeatRetry[5] = {5, 30, 0, 2, 0}; // as m_reportRetry
    std::int32_t m_pendingEvents = 0; // cleared by Config::initUserConfig; read by nothing
    ClientStatusHandler m_statusHandler;
};

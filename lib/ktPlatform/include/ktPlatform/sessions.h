#pragma once
// Windows sessions: the process's session, the console session and the list of sessions.
//
// On Linux a session is a logind user session whose name is a number (the audit session
// id). logind's session files are read from /run/systemd/sessions when systemd runs, or
// from the folder named by KTDIAG_SESSIONS_DIR (set but empty: no logind). Without logind
// (containers, CI) there is one session, 1, active, on the console, whose user is the process's
// real user, and the process runs in it: an interactive run never counts as session 0.

#include <cstdint>
#include <vector>

namespace ktPlatform {

// All bits set: no session, as WTSGetActiveConsoleSessionId reports it.
constexpr std::uint32_t kNoSession = 0xFFFFFFFFu;

// The WTS_CONNECTSTATE_CLASS values that a session can have here.
constexpr int kSessionActive = 0;       // WTSActive
constexpr int kSessionDisconnected = 4; // WTSDisconnected

struct SessionInfo {
    std::uint32_t id;
    int state;
};

// Stands for ProcessIdToSessionId(GetCurrentProcessId()): KTDIAG_SESSION_ID when set;
// with logind the audit session of /proc/self/sessionid; outside every login session and
// without logind 1. Only the override gives 0. False (errno EINVAL) for a bad override.
bool processSessionId(std::uint32_t& id);

// Stands for WTSGetActiveConsoleSessionId: the user session on seat0 (the active one when
// there are several), else kNoSession; 1 without logind.
std::uint32_t activeConsoleSessionId();

// Stands for WTSQuerySessionInformationA(WTSConnectState): logind's state "active" gives
// kSessionActive, any other state kSessionDisconnected. False (errno ENOENT) for a session
// that does not exist.
bool sessionConnectState(std::uint32_t id, int& state);

// Stands for WTSEnumerateSessionsA: every user session, in ascending id order. False with
// errno when logind's folder cannot be read.
bool enumerateSessions(std::vector<SessionInfo>& sessions);

// The uid of a session's user, for WTSQueryUserToken. False (errno ENOENT) for a session
// that does not exist.
bool sessionUserId(std::uint32_t id, std::uint32_t& uid);

} // namespace ktPlatform

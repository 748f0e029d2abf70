#include "ktPlatform/sessions.h"

#include "ktPlatform/folders.h"
#include "platformText.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

const char* const kLogindSessions = "/run/systemd/sessions";
// sd_booted's test: systemd (and so logind) runs when this folder exists.
const char* const kSystemdRunning = "/run/systemd/system";
// The audit layer's "no session".
constexpr std::uint32_t kUnsetAuditSession = 0xFFFFFFFFu;

struct LogindSession {
    std::uint32_t id;
    std::uint32_t uid;
    bool active;
    bool onConsole;
};

bool isDirectory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// logind's folder of session files, or nullopt when logind does not run.
std::optional<std::string> logindFolder()
{
    // Set but empty: no logind, as in a container.
    std::optional<std::string> fixture = getEnv("KTDIAG_SESSIONS_DIR");
    if (fixture) {
        return fixture->empty() ? std::nullopt : fixture;
    }
    if (isDirectory(kSystemdRunning) && isDirectory(kLogindSessions)) {
        return std::string(kLogindSessions);
    }
    return std::nullopt;
}

// One session file ("KEY=value" lines). Sessions of other classes than "user" (greeters,
// lock screens, background jobs) have no interactive user and are left out.
bool parseSession(std::uint32_t id, const std::string& text, LogindSession& session)
{
    session = LogindSession{id, 0, false, false};
    bool haveUid = false;
    std::string sessionClass = "user";
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        std::string::size_type end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "UID") {
            haveUid = parseUint32(value, session.uid);
        } else if (key == "STATE") {
            session.active = value == "active";
        } else if (key == "SEAT") {
            session.onConsole = value == "seat0";
        } else if (key == "CLASS") {
            sessionClass = value;
        }
    }
    return haveUid && sessionClass == "user";
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

bool loadSessions(const std::string& folder, std::vector<LogindSession>& sessions)
{
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) {
        return false;
    }
    sessions.clear();
    while (const dirent* entry = ::readdir(dir.get())) {
        std::uint32_t id = 0;
        // Named sessions ("c1") have no number to stand for a Windows session id.
        if (!parseUint32(entry->d_name, id) || id == kNoSession) {
            continue;
        }
        std::string text;
        LogindSession session{};
        if (readSmallFile(folder + "/" + entry->d_name, text) && parseSession(id, text, session)) {
            sessions.push_back(session);
        }
    }
    std::sort(sessions.begin(), sessions.end(),
              [](const LogindSession& a, const LogindSession& b) { return a.id < b.id; });
    return true;
}

// The sessions as the stand-ins see them: logind's, or the single session 1.
bool currentSessions(std::vector<LogindSession>& sessions)
{
    std::optional<std::string> folder = logindFolder();
    if (!folder) {
        sessions.assign(1, LogindSession{1, static_cast<std::uint32_t>(::getuid()), true, true});
        return true;
    }
    return loadSessions(*folder, sessions);
}

// The session with that id; false (errno ENOENT) when there is none.
bool findSession(std::uint32_t id, LogindSession& found)
{
    std::vector<LogindSession> sessions;
    if (!currentSessions(sessions)) {
        return false;
    }
    for (const LogindSession& s : sessions) {
        if (s.id == id) {
            found = s;
            return true;
        }
    }
    errno = ENOENT;
    return false;
}

} // namespace

bool processSessionId(std::uint32_t& id)
{
    std::optional<std::string> forced = getEnv("KTDIAG_SESSION_ID");
    if (forced) {
        if (!parseUint32(*forced, id) || id == kNoSession) {
            errno = EINVAL;
            return false;
        }
        return true;
    }
    if (!logindFolder()) {
        id = 1;
        return true;
    }
    std::string text;
    std::uint32_t audit = kUnsetAuditSession;
    if (readSmallFile("/proc/self/sessionid", text)) {
        if (!parseUint32(trimLineEnd(text), audit)) {
            audit = kUnsetAuditSession;
        }
    }
    // Outside every login session (under a user manager, say) the tool is still run by a
    // user: session 0 belongs to the service, so it is never taken from here.
    id = audit == kUnsetAuditSession || audit == 0 ? 1 : audit;
    return true;
}

std::uint32_t activeConsoleSessionId()
{
    std::vector<LogindSession> sessions;
    if (!currentSessions(sessions)) {
        return kNoSession;
    }
    std::uint32_t console = kNoSession;
    for (const LogindSession& s : sessions) {
        if (!s.onConsole) {
            continue;
        }
        if (s.active) {
            return s.id;
        }
        if (console == kNoSession) {
            console = s.id;
        }
    }
    return console;
}

bool sessionConnectState(std::uint32_t id, int& state)
{
    LogindSession s{};
    if (!findSession(id, s)) {
        return false;
    }
    state = s.active ? kSessionActive : kSessionDisconnected;
    return true;
}

bool enumerateSessions(std::vector<SessionInfo>& sessions)
{
    std::vector<LogindSession> found;
    if (!currentSessions(found)) {
        return false;
    }
    sessions.clear();
    for (const LogindSession& s : found) {
        sessions.push_back(SessionInfo{s.id, s.active ? kSessionActive : kSessionDisconnected});
    }
    return true;
}

bool sessionUserId(std::uint32_t id, std::uint32_t& uid)
{
    LogindSession s{};
    if (!findSession(id, s)) {
        return false;
    }
    uid = s.uid;
    return true;
}

} // namespace ktPlatform

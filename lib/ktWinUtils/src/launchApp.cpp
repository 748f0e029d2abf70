#include "ktWinUtils/launchApp.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/sessions.h"
#include "ktPlatform/system.h"

#include <boost/algorithm/string/predicate.hpp>
#include <vector>

static const char* const kLogModule = "launchApp";

int isLocalSystem()
{
    const std::string user = ktPlatform::currentUserName();
    const std::string sid = ktPlatform::processUserSid();
    KTLOG(KT_LOG_DEBUG, "current user: %s, sid: %s", user.c_str(), sid.c_str());
    const std::string systemSid = ktPlatform::localSystemSid();
    KTLOG(KT_LOG_DEBUG, "Wellknown SID for user LOCAL SYSTEM: %s", systemSid.c_str());
    return boost::algorithm::iequals(sid, systemSid) ? 1 : 0;
}

bool getActiveSessionId(std::uint32_t& sessionId)
{
    sessionId = ktPlatform::activeConsoleSessionId();
    bool found = false;
    if (sessionId != ktPlatform::kNoSession) {
        int state = 0;
        if (ktPlatform::sessionConnectState(sessionId, state)) {
            KTLOG(KT_LOG_DEBUG, "IsSessionActive: Session id %d, state %d", sessionId, state);
            found = state == ktPlatform::kSessionActive;
        } else {
            KTLOG(KT_LOG_ERROR, "WTSQuerySessionInformation failed for sessionId %d, error 0x%x",
                  sessionId, ktPlatform::lastError());
        }
    }
    if (!found) {
        sessionId = ktPlatform::kNoSession;
        std::vector<ktPlatform::SessionInfo> sessions;
        if (!ktPlatform::enumerateSessions(sessions)) {
            KTLOG(KT_LOG_ERROR, "WTSEnumerateSessions failed, err: %d", ktPlatform::lastError());
            return false;
        }
        for (const ktPlatform::SessionInfo& s : sessions) {
            if (s.id != 0 && s.state == ktPlatform::kSessionActive) {
                sessionId = s.id;
                found = true;
                break;
            }
        }
        if (!found) {
            KTLOG(KT_LOG_ERROR, "Failed to find an active user session, session count %d",
                  static_cast<int>(sessions.size()));
            return false;
        }
    }
    KTLOG(KT_LOG_DEBUG, "An active user with session ID %d found.", sessionId);
    return true;
}

UserToken getUserToken(std::uint32_t& sessionId)
{
    const std::string user = ktPlatform::currentUserName();
    UserToken token(new ktPlatform::Token);
    if (isLocalSystem() == 1) {
        if (sessionId == 0 && !getActiveSessionId(sessionId)) {
            return nullptr;
        }
        if (!ktPlatform::sessionUserToken(sessionId, *token)) {
            KTLOG(KT_LOG_ERROR, "Failed to retrieve user token for sessionId %d, err: %d",
                  sessionId, ktPlatform::lastError());
            return nullptr;
        }
        return token;
    }
    if (!ktPlatform::processToken(*token)) {
        KTLOG(KT_LOG_ERROR, "OpenProcessToken failed, err: %d, user: %s", ktPlatform::lastError(),
              user.c_str());
        return nullptr;
    }
    KTLOG(KT_LOG_DEBUG, "Not SYSTEM user, returning current process token for user: %s",
          user.c_str());
    return token;
}

std::optional<std::uint32_t> getProcessSessionId(SessionIdFailureLine line, const char* module,
                                                 int level, const char* sourcePath, int sourceLine)
{
    std::uint32_t sessionId = 0;
    if (ktPlatform::processSessionId(sessionId)) {
        return sessionId;
    }
    if (line == SessionIdFailureLine::lastError) {
        KTLOG_AT(module, sourcePath, sourceLine, level, "ProcessIdToSessionId failed %u",
                 static_cast<unsigned>(ktPlatform::lastError()));
    } else if (line == SessionIdFailureLine::processId) {
        KTLOG_AT(module, sourcePath, sourceLine, level, "Failed to get session id for procId %d",
                 static_cast<int>(ktPlatform::currentProcessId()));
    }
    return std::nullopt;
}

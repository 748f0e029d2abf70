#pragma once
// Who the process runs as and which session's user to act for. Every failure is logged
// and reported by the result; nothing throws.

#include "ktPlatform/tokens.h"

#include <cstdint>
#include <memory>
#include <optional>

// A user token; null stands for INVALID_HANDLE_VALUE.
using UserToken = std::unique_ptr<ktPlatform::Token>;

// 1 when the process runs as LOCAL SYSTEM (effective uid 0), otherwise 0.
int isLocalSystem();

// The active console session, or else the first active session other than 0. False, and
// logged, when there is none; sessionId is then all bits set (or unchanged when the
// sessions could not be listed).
bool getActiveSessionId(std::uint32_t& sessionId);

// As LOCAL SYSTEM: the token of the session's user (sessionId 0 on entry is replaced by the
// active session's id). Otherwise the process's own token. Null on failure.
UserToken getUserToken(std::uint32_t& sessionId);

// The line a failed look-up of the process's session writes: each caller keeps the text it
// has always logged.
enum class SessionIdFailureLine {
    none,
    lastError, // "ProcessIdToSessionId failed <error>" with the platform's last error
    processId, // "Failed to get session id for procId <process id>"
};

// The session id of the tool's own process (ProcessIdToSessionId of GetCurrentProcessId).
// Empty when it cannot be had, after logging `line` at `level` under `module` as a line of
// the caller's file and line; callers that go on with session 0 take value_or(0).
std::optional<std::uint32_t>
getProcessSessionId(SessionIdFailureLine line = SessionIdFailureLine::none, const char* module = "",
                    int level = 0, const char* sourcePath = __builtin_FILE(),
                    int sourceLine = __builtin_LINE());

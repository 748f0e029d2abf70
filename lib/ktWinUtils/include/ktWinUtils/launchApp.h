#pragma once
// Who the process runs as and which session's user to act for. Every failure is logged
// and reported by the result; nothing throws.

#include "ktPlatform/tokens.h"

#include <cstdint>
#include <memory>

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

#pragma once
// Acting as the user of a session on the calling thread. Only LOCAL SYSTEM impersonates; a
// process that runs as a normal user already is that user, and the calls succeed without
// changing anything.

#include "ktWinUtils/launchApp.h"

#include <cstdint>

// One impersonation of the calling thread. Empty, or active while it holds a token; when
// it ends (revertImpersonation, a new impersonateActiveUser or destruction) the thread
// gets back the identity it had when the impersonation began, so guards nest when they end
// in reverse order. Belongs to one thread: move it only within that thread.
class ImpersonationGuard {
public:
    ImpersonationGuard() = default;
    ~ImpersonationGuard();
    ImpersonationGuard(ImpersonationGuard&& other) noexcept;
    ImpersonationGuard& operator=(ImpersonationGuard&& other) noexcept;
    ImpersonationGuard(const ImpersonationGuard&) = delete;
    ImpersonationGuard& operator=(const ImpersonationGuard&) = delete;

    bool active() const { return m_token != nullptr; }

private:
    friend bool impersonateActiveUser(ImpersonationGuard& guard, std::uint32_t sessionId);
    friend bool revertImpersonation(ImpersonationGuard& guard);

    UserToken m_token;             // null: no impersonation active
    std::uint32_t m_sessionId = 0; // the session whose user is impersonated, for the log
    ktPlatform::ThreadImpersonation m_scope;
};

// Impersonates the user of sessionId (0: the active console session) on the calling
// thread; an impersonation already held by the guard is reverted first. True without
// impersonating when the process is not LOCAL SYSTEM; false, logged, with the guard empty
// when the session has no user or the switch fails.
bool impersonateActiveUser(ImpersonationGuard& guard, std::uint32_t sessionId = 0);

// Ends the guard's impersonation; true for an empty guard. A switch back that fails is
// logged at the critical level and gives false; the guard is empty afterwards either way.
bool revertImpersonation(ImpersonationGuard& guard);

#include "ktWinUtils/impersonate.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"

#include <utility>

static const char* const kLogModule = "ktImpersonate";

ImpersonationGuard::~ImpersonationGuard()
{
    revertImpersonation(*this);
}

ImpersonationGuard::ImpersonationGuard(ImpersonationGuard&& other) noexcept
    : m_token(std::move(other.m_token)), m_sessionId(other.m_sessionId),
      m_scope(std::move(other.m_scope))
{
    other.m_sessionId = 0;
}

ImpersonationGuard& ImpersonationGuard::operator=(ImpersonationGuard&& other) noexcept
{
    if (this != &other) {
        revertImpersonation(*this);
        m_token = std::move(other.m_token);
        m_sessionId = other.m_sessionId;
        m_scope = std::move(other.m_scope);
        other.m_sessionId = 0;
    }
    return *this;
}

bool impersonateActiveUser(ImpersonationGuard& guard, std::uint32_t sessionId)
{
    if (guard.active()) {
        revertImpersonation(guard);
    }
    KTLOG(KT_LOG_INFO, "Current user: %s", ktPlatform::currentUserName().c_str());
    if (isLocalSystem() != 1) {
        KTLOG(KT_LOG_DEBUG, "current user is not SYSTEM, so returning true without impersonation");
        return true;
    }
    UserToken token = getUserToken(sessionId);
    if (!token) {
        KTLOG(KT_LOG_ERROR, "Failed to retrieve current user token");
        return false;
    }
    if (!guard.m_scope.begin(*token)) {
        KTLOG(KT_LOG_ERROR, "ImpersonateLoggedOnUser failed, err: %d", ktPlatform::lastError());
        return false;
    }
    guard.m_token = std::move(token);
    guard.m_sessionId = sessionId;
    KTLOG(KT_LOG_INFO, "Impersonated as user(%d, %p): %s", guard.m_sessionId,
          static_cast<const void*>(guard.m_token.get()), ktPlatform::currentUserName().c_str());
    return true;
}

bool revertImpersonation(ImpersonationGuard& guard)
{
    if (!guard.active()) {
        return true;
    }
    KTLOG(KT_LOG_INFO, "Impersonated user(%d, %p) is reverted.", guard.m_sessionId,
          static_cast<const void*>(guard.m_token.get()));
    guard.m_token.reset();
    guard.m_sessionId = 0;
    if (!guard.m_scope.end()) {
        // The thread keeps the user's identity: nothing it does from here is the service's own.
        KTLOG(KT_LOG_CRITICAL, "RevertToSelf failed, err:%d", ktPlatform::lastError());
        return false;
    }
    return true;
}

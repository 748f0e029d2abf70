#include "ktLog/peerLines.h"

namespace {

thread_local KtPeerLineScope* t_scope = nullptr;

} // namespace

KtPeerLineScope::KtPeerLineScope(const char* module) : m_module(module), m_outer(t_scope)
{
    t_scope = this;
}

KtPeerLineScope::~KtPeerLineScope()
{
    t_scope = m_outer;
    if (m_leftOut > 0 && g_logLevel.load(std::memory_order_relaxed) >= m_leftOutLevel &&
        g_logReady.load(std::memory_order_acquire)) {
        ktLog(m_module, __FILE__, __LINE__, m_leftOutLevel,
              "%llu repeated lines about the peer's input were left out of the log", m_leftOut);
    }
}

bool KtPeerLineScope::admit(const char* format, int level)
{
    for (auto& [seen, written] : m_written) {
        if (seen == format) {
            if (written < kPeerLineRepeats) {
                ++written;
                return true;
            }
            ++m_leftOut;
            if (level < m_leftOutLevel) {
                m_leftOutLevel = level;
            }
            return false;
        }
    }
    m_written.emplace_back(format, 1);
    return true;
}

bool ktPeerLineAdmit(const char* format, int level)
{
    return t_scope == nullptr || t_scope->admit(format, level);
}

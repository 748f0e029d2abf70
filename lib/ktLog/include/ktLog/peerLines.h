#pragma once
// Log lines that a peer's input causes, bounded per connection: a peer that sends endless
// bad or repeated messages must not rotate the shared log and take the client's earlier lines
// with it. While a KtPeerLineScope is active on a thread, each KTLOG_PEER statement (one
// format) writes at most kPeerLineRepeats lines; later ones are only counted, and the scope's
// end writes one line with the count. Without a scope KTLOG_PEER is KTLOG.

#include "ktLog/ktLog.h"

#include <utility>
#include <vector>

constexpr int kPeerLineRepeats = 10;

class KtPeerLineScope {
public:
    // Active on the calling thread until destroyed; scopes nest. The summary line is written
    // under module, from the same thread.
    explicit KtPeerLineScope(const char* module);
    ~KtPeerLineScope();
    KtPeerLineScope(const KtPeerLineScope&) = delete;
    KtPeerLineScope& operator=(const KtPeerLineScope&) = delete;

    // True when a line of this format may still be written; else counts it as left out.
    bool admit(const char* format, int level);
    // Lines left out so far.
    unsigned long long leftOut() const { return m_leftOut; }

private:
    const char* m_module;
    KtPeerLineScope* m_outer;
    std::vector<std::pair<const char*, int>> m_written; // per format: lines written
    unsigned long long m_leftOut = 0;
    int m_leftOutLevel = KT_LOG_DEBUG; // the most severe level left out
};

// The calling thread's answer for a line of this format: true without an active scope.
bool ktPeerLineAdmit(const char* format, int level);

#define KTLOG_PEER(level, format, ...)                                                             \
    do {                                                                                           \
        if (g_logLevel.load(std::memory_order_relaxed) >= (level) &&                               \
            g_logReady.load(std::memory_order_acquire) && ktPeerLineAdmit((format), (level))) {    \
            ktLog(kLogModule, __FILE__, __LINE__, (level), format, ##__VA_ARGS__);                 \
        }                                                                                          \
    } while (0)

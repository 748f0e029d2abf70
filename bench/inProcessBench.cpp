// In-process figures of scripts/bench: the digest of a list and lines of the shared log.

#include "ktLog/ktLog.h"
#include "ktUtils/integritycheck.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// HMAC-SHA1 of a list of the given size in bytes.
void BM_ListDigest(benchmark::State& state)
{
    const std::string list(static_cast<std::size_t>(state.range(0)), 'x');
    std::string hex;
    for (auto _ : state) {
        hmacSha1Hex(list, hex);
        benchmark::DoNotOptimize(hex);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ListDigest)->Arg(1 << 20)->Arg(50 << 20)->Unit(benchmark::kMillisecond);

// One line of the shared log: formatted, locked, appended, rotated at its limit.
void BM_LogLine(benchmark::State& state)
{
    static const char* const kLogModule = "bench";
    if (!g_logReady && !ktLogInit()) {
        state.SkipWithError("the log folder is not available (set PUBLIC)");
        return;
    }
    g_logLevel = KT_LOG_INFO;
    std::int64_t i = 0;
    for (auto _ : state) {
        KTLOG(KT_LOG_INFO, "bench line %lld: the quick brown fox jumps over the lazy dog",
              static_cast<long long>(i++));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLine);

} // namespace

BENCHMARK_MAIN();

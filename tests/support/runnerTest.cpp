// The runner of the end-to-end tests: what it reports about a program is the program's own,
// however short its run and however large the test process.

#include "ktTest/runner.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>

namespace {

TEST(Runner, ReportsTheProgramsOwnPeakAndExitWhateverItsLength)
{
    // The test holds far more than the program will: an account taken from this process
    // would start from this size, which an exec inherits.
    constexpr std::size_t kHeld = 256u * 1024u * 1024u;
    const std::unique_ptr<char[]> held(new char[kHeld]);
    std::memset(held.get(), 1, kHeld);

    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        // Ends within a millisecond or so: sampled from /proc, its peak was often missed.
        const ktTest::RunResult r = ktTest::runProgram("/bin/false", {});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_GT(r.peakResidentKiB, 0);
        EXPECT_LT(r.peakResidentKiB, 64 * 1024);
    }
    const ktTest::RunResult r = ktTest::runProgram(PROCESS_CHILD, {"signal", "15"});
    EXPECT_EQ(r.exitCode, -1);
    EXPECT_EQ(r.signal, 15);
    EXPECT_EQ(ktTest::runProgram("/nonexistent/program", {}).exitCode, -1);
}

} // namespace

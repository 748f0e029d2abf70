// A failed shared set-up fails each test of its program, where GoogleTest alone would skip
// them and CTest count that as a success; only a set-up that decides itself that the
// program cannot run here skips them.

#include "ktTest/runner.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace {

// GoogleTest's mark of a skipped test, which CTest takes as the sign of one wherever it is in
// a test's output. This test's own output never holds it, or CTest would count its failures
// as skips.
const std::string kSkipped = "[  SKIPPED ]";

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The program's output as this test shows it: its skip marks spelled otherwise.
std::string shown(std::string out)
{
    for (std::size_t at = out.find(kSkipped); at != std::string::npos; at = out.find(kSkipped)) {
        out.replace(at, kSkipped.size(), "[  skipped ]");
    }
    return out;
}

TEST(SharedSetUp, AFailureFailsEachTestWithWhatFailed)
{
    struct Case {
        const char* mode;
        int exitCode;
        const char* outcome; // of each test
        const char* says;    // in each test's report, unless the set-up worked
    };
    const Case cases[] = {
        {"pass", 0, "[       OK ]", nullptr},
        {"assert", 1, "[  FAILED  ]", "the tree could not be made"},
        {"expect", 1, "[  FAILED  ]", "the tree could not be made"},
        {"throw", 1, "[  FAILED  ]", "exception thrown: the tree could not be made"},
        {"skip", 0, kSkipped.c_str(), "no tree can be made here"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        const ktTest::RunResult r = ktTest::runProgram(SHARED_SETUP_PROGRAM, {c.mode});
        EXPECT_EQ(r.exitCode, c.exitCode) << shown(r.out);
        for (const char* test : {"Shared.First", "Fixture.Second"}) {
            EXPECT_EQ(count(r.out, std::string(c.outcome) + " " + test + " ("), 1u) << shown(r.out);
        }
        if (c.says != nullptr) {
            EXPECT_EQ(count(r.out, c.says), 2u) << shown(r.out);
        }
        // Without the set-up no fixture is set up and no test body runs.
        EXPECT_EQ(count(r.out, "ran "), c.says == nullptr ? 3u : 0u) << shown(r.out);
        // CTest counts a test that prints this as skipped, whatever its exit code.
        if (std::string(c.mode) != "skip") {
            EXPECT_EQ(count(r.out, kSkipped), 0u) << shown(r.out);
        }
    }
}

} // namespace

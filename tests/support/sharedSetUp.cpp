#include "ktTest/sharedSetUp.h"

#include <gtest/gtest-spi.h>

#include <exception>
#include <string>

namespace ktTest {

namespace {

// Ends each test as it starts, before its fixture is made: a fatal failure keeps the test
// from running against a set-up that is not there, and is reported as the test's own.
class EndEveryTest : public ::testing::EmptyTestEventListener {
public:
    void fail(const std::string& text) { m_failures += text; }
    void skip(const std::string& text) { m_skips += text; }

    void OnTestStart(const ::testing::TestInfo&) override
    {
        if (!m_failures.empty()) {
            FAIL() << "the shared set-up of this program failed, so this test cannot run:\n"
                   << m_failures;
        }
        if (!m_skips.empty()) {
            GTEST_SKIP() << m_skips;
        }
    }

private:
    std::string m_failures;
    std::string m_skips;
};

// Made on first need; GoogleTest owns it from then on.
EndEveryTest& endEveryTest()
{
    static EndEveryTest* const listener = [] {
        auto* made = new EndEveryTest;
        ::testing::UnitTest::GetInstance()->listeners().Append(made);
        return made;
    }();
    return *listener;
}

} // namespace

void SharedSetUp::SetUp()
{
    // Caught here rather than recorded as the program's: GoogleTest would then skip the tests.
    ::testing::TestPartResultArray parts;
    std::string failures;
    {
        const ::testing::ScopedFakeTestPartResultReporter intercept(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &parts);
        try {
            setUp();
        } catch (const std::exception& e) {
            failures = std::string("exception thrown: ") + e.what() + "\n";
        } catch (...) {
            failures = "exception thrown, not a std::exception\n";
        }
    }
    std::string skips;
    for (int i = 0; i < parts.size(); ++i) {
        const ::testing::TestPartResult& part = parts.GetTestPartResult(i);
        std::string text = part.message();
        if (part.file_name() != nullptr) {
            text = std::string(part.file_name()) + ":" + std::to_string(part.line_number()) + ": " +
                   text;
        }
        (part.skipped() ? skips : failures) += text + "\n";
    }
    if (!failures.empty()) {
        endEveryTest().fail(failures);
    } else if (!skips.empty()) {
        endEveryTest().skip(skips);
    }
}

} // namespace ktTest

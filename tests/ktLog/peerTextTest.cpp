// Text from peers in the log and on the console: control characters escaped, never cut inside
// an escape; and the lines a peer causes bounded per scope, with one summary line.

#include "ktLog/ktLog.h"
#include "ktLog/peerLines.h"
#include "ktLog/peerText.h"

#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new ktTest::TestLogEnvironment);

static const char* const kLogModule = "peerTest";

std::size_t countOf(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(PeerTextTest, ControlCharactersBecomeVisibleEscapes)
{
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain text: 1.2.3.4", "plain text: 1.2.3.4"},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {std::string("\x1b]0;owned\x07\0x", 12), "\\x1B]0;owned\\x07\\x00x"},
        {"del\x7f", "del\\x7F"},
        // C1 controls in UTF-8 (CSI is U+009B); other UTF-8 text stays as it is.
        {"\xc2\x9b"
         "2J \xc2\x80",
         "\\u009B2J \\u0080"},
        // The range ends at U+009F; U+00A0 after it is text.
        {"\xc2\x9f\xc2\xa0", "\\u009F\xc2\xa0"},
        {"M\xc3\xbcller \xc2\xa0\xe2\x82\xac", "M\xc3\xbcller \xc2\xa0\xe2\x82\xac"},
        {"\xc2", "\xc2"},
        // Outside valid UTF-8 a byte 0x80 to 0x9F is a C1 control itself; other invalid bytes
        // stay. Valid sequences, continuation bytes 0x80 to 0x9F in them too, stay whole.
        {"\x9b"
         "2J",
         "\\x9B2J"},
        {"a\x80", "a\\x80"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc0\x9b \xe0\x80\x9b", "\xc0\\x9B \xe0\\x80\\x9B"}, // overlong
        {"\xed\xa0\x80", "\xed\xa0\\x80"},                     // a surrogate
        {"\xe2\x82", "\xe2\\x82"},                             // cut short
        {"\xf0\x9f\x98"
         "x",
         "\xf0\\x9F\\x98x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escapeControlChars(c.in), c.out);
    }
}

TEST(PeerTextTest, TheLimitNeverCutsAnEscape)
{
    EXPECT_EQ(escapeControlChars("ab\x1b"
                                 "cd",
                                 4),
              "ab");
    EXPECT_EQ(escapeControlChars("ab\x1b"
                                 "cd",
                                 6),
              "ab\\x1B");
    EXPECT_EQ(escapeControlChars(std::string(10000, 'x')).size(), kLogMessageLimit);
}

TEST(PeerTextTest, WrittenInPiecesAsEscapedWhole)
{
    // Long enough for several pieces, with C1 pairs and longer UTF-8 sequences across every
    // possible piece boundary.
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) {
        text += i % 11 == 0  ? "\xf0\x9f\x98\x80"
                : i % 7 == 0 ? "\xc2\x9b"
                : i % 5 == 0 ? "\x1b"
                : i % 3 == 0 ? "\xe2\x82\xac"
                             : "ok";
    }
    ktTest::TempDir dir;
    const std::string path = dir.path() + "/out";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(writeEscaped(file, text));
    std::fclose(file);
    EXPECT_EQ(ktTest::readAll(path), escapeControlChars(text, std::string::npos));
}

TEST(PeerLinesTest, EachFormatIsBoundedPerScopeAndCountedAtItsEnd)
{
    ktTest::clearLog();
    {
        KtPeerLineScope scope(kLogModule);
        for (int i = 0; i < 25; ++i) {
            KTLOG_PEER(KT_LOG_ERROR, "corrupt %d", i);
            KTLOG_PEER(KT_LOG_INFO, "reply %d", i);
        }
        KTLOG_PEER(KT_LOG_ERROR, "once");
        EXPECT_EQ(scope.leftOut(), 30u);
    }
    // A new scope (the next connection) starts afresh; outside any scope nothing is held back.
    {
        KtPeerLineScope scope(kLogModule);
        KTLOG_PEER(KT_LOG_ERROR, "corrupt %d", 99);
    }
    for (int i = 0; i < 12; ++i) {
        KTLOG_PEER(KT_LOG_INFO, "outside %d", i);
    }
    const std::string log = ktTest::logText();
    EXPECT_EQ(countOf(log, "corrupt "), static_cast<std::size_t>(kPeerLineRepeats) + 1);
    EXPECT_EQ(countOf(log, "reply "), static_cast<std::size_t>(kPeerLineRepeats));
    EXPECT_EQ(countOf(log, "once"), 1u);
    EXPECT_EQ(countOf(log, "outside "), 12u);
    // One summary, at the most severe level left out.
    EXPECT_EQ(countOf(log, "error peerLines.cpp"), 1u);
    EXPECT_EQ(countOf(log, "30 repeated lines about the peer's input were left out"), 1u);
}

TEST(PeerLinesTest, ScopesBelongToTheirThread)
{
    ktTest::clearLog();
    KtPeerLineScope scope(kLogModule);
    std::thread other([] {
        for (int i = 0; i < 15; ++i) {
            KTLOG_PEER(KT_LOG_ERROR, "other thread %d", i);
        }
    });
    other.join();
    EXPECT_EQ(countOf(ktTest::logText(), "other thread "), 15u);
    EXPECT_EQ(scope.leftOut(), 0u);
}

} // namespace

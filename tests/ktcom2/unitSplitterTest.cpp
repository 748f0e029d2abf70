// The unit splitter on byte streams cut in every way.

#include "ktcom2/KTUnitSplitter.h"

#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::string unit(const std::string& payload)
{
    const auto n = static_cast<std::uint32_t>(payload.size());
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 8), static_cast<char>(n)} +
           payload;
}

struct Fed {
    std::vector<std::string> units;
    bool ok = true;
};

// Feeds stream to splitter in pieces cut at the given offsets.
Fed feed(CKTUnitSplitter& splitter, const std::string& stream, const std::vector<std::size_t>& cuts)
{
    Fed fed;
    std::size_t at = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (const std::size_t end : ends) {
        fed.ok = splitter.feed(stream.data() + at, end - at, [&](std::string&& u) {
            fed.units.push_back(std::move(u));
        }) && fed.ok;
        at = end;
    }
    return fed;
}

TEST(UnitSplitter, EveryCutOfAStreamGivesTheSameUnits)
{
    const std::vector<std::string> payloads = {"{\"121\":{\"status\":\"true\"}}", "", "x",
                                               std::string(300, 'p')};
    std::string stream;
    for (const std::string& p : payloads) {
        stream += unit(p);
    }
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        for (std::size_t b = a; b <= stream.size(); b += 7) {
            CKTUnitSplitter splitter;
            const Fed fed = feed(splitter, stream, {a, b});
            ASSERT_TRUE(fed.ok) << a << " " << b;
            ASSERT_EQ(fed.units, payloads) << a << " " << b;
            EXPECT_EQ(splitter.buffered(), 0u);
        }
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i) {
        everyByte.push_back(i);
    }
    CKTUnitSplitter splitter;
    EXPECT_EQ(feed(splitter, stream, everyByte).units, payloads);
}

TEST(UnitSplitter, APartialUnitWaitsAndCountsAsBuffered)
{
    CKTUnitSplitter splitter;
    const std::string whole = unit("abcdef");
    const struct {
        std::size_t fed;
        std::size_t buffered;
    } steps[] = {{2, 2}, {4, 4}, {7, 7}, {whole.size(), 0}};
    std::size_t at = 0;
    std::vector<std::string> units;
    for (const auto& s : steps) {
        ASSERT_TRUE(splitter.feed(whole.data() + at, s.fed - at,
                                  [&](std::string&& u) { units.push_back(u); }));
        at = s.fed;
        EXPECT_EQ(splitter.buffered(), s.buffered) << s.fed;
        EXPECT_EQ(units.size(), s.buffered == 0 ? 1u : 0u) << s.fed;
    }
    EXPECT_EQ(units, std::vector<std::string>{"abcdef"});
}

TEST(UnitSplitter, ALengthOverTheLimitIsRefusedUntilClear)
{
    ktTest::clearLog();
    const struct {
        std::size_t limit;
        std::string stream;
        std::vector<std::string> before; // delivered ahead of the refusal
        bool refused;
    } cases[] = {
        {8, unit("12345678"), {"12345678"}, false},
        {8, unit("ok") + unit("123456789") + unit("late"), {"ok"}, true},
        {kMaxUnitLength, "\x01\x00\x00\x01"s, {}, true},
        {kMaxUnitLength, unit("a") + "\xff\xff\xff\xff"s, {"a"}, true},
        {kMaxUnitLength, "\x01\x00\x00\x00"s, {}, false}, // exactly the limit: waits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.stream.substr(0, 16)));
        CKTUnitSplitter splitter(c.limit);
        const Fed fed = feed(splitter, c.stream, {});
        EXPECT_EQ(fed.ok, !c.refused);
        EXPECT_EQ(fed.units, c.before);
        if (!c.refused) {
            continue;
        }
        EXPECT_EQ(splitter.buffered(), 0u);
        EXPECT_FALSE(feed(splitter, unit("x"), {}).ok);
        splitter.clear();
        EXPECT_EQ(feed(splitter, unit("x"), {}).units, std::vector<std::string>{"x"});
    }
    EXPECT_TRUE(ktTest::logHas("Not enough buffer to process incoming message."));
}

TEST(UnitSplitter, ClearDropsAPartialUnit)
{
    CKTUnitSplitter splitter;
    EXPECT_TRUE(feed(splitter, unit("partial").substr(0, 6), {}).ok);
    EXPECT_EQ(splitter.buffered(), 6u);
    splitter.clear();
    EXPECT_EQ(splitter.buffered(), 0u);
    EXPECT_EQ(feed(splitter, unit("next"), {}).units, std::vector<std::string>{"next"});
}

} // namespace

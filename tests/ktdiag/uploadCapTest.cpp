// The upload form's cap as a calculation: which captures fit beside the files already listed.

#include "uploadCap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

TEST(UploadCap, SmallestFirstWhileTheTotalStaysBelowTheCap)
{
    constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        const char* what;
        std::uint64_t listed;
        std::vector<FileSizeRecord> candidates;
        std::vector<std::string> added;
        std::vector<std::pair<std::string, std::uint64_t>> skipped; // path, total then
    };
    const Case cases[] = {
        {"two fit, the third would pass the cap",
         1000000,
         {{"c.cab", 15000000}, {"a.pcap", 10000000}, {"b.etl", 10000000}},
         {"a.pcap", "b.etl"},
         {{"c.cab", 21000000}}},
        {"exactly the room left is too much",
         20000000,
         {{"a.pcap", 10000000}},
         {},
         {{"a.pcap", 20000000}}},
        {"a byte less fits", 20000000, {{"a.pcap", 9999999}}, {"a.pcap"}, {}},
        {"equal sizes keep their order", 0, {{"x", 5}, {"y", 5}, {"z", 1}}, {"z", "x", "y"}, {}},
        {"listed files alone at the cap", 30000000, {{"a", 1}}, {}, {{"a", 30000000}}},
        {"listed files past the cap", 40000000, {{"a", 1}}, {}, {{"a", 40000000}}},
        {"a size that would wrap the total",
         1,
         {{"a", kHuge}, {"b", kHuge - 1}},
         {},
         {{"b", 1}, {"a", 1}}},
        {"nothing to add", 5, {}, {}, {}},
    };
    for (const Case& c : cases) {
        const UploadChoice choice = chooseUploadFiles(c.listed, c.candidates);
        EXPECT_EQ(choice.added, c.added) << c.what;
        std::vector<std::pair<std::string, std::uint64_t>> skipped;
        for (const SkippedFile& s : choice.skipped) {
            skipped.emplace_back(s.path, s.totalBytes);
        }
        EXPECT_EQ(skipped, c.skipped) << c.what;
    }
}

} // namespace

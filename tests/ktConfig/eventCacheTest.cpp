// The event cache on real files in a temporary session folder, its digest in
// data/ktinternal.json made and checked by the client's digest code.

#include "ktConfig/EventCache.h"

#include "ktPlatform/strings.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"
#include "ktUtils/integritycheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using ktTest::logHas;
using ktTest::readAll;
using ktTest::writeAll;

namespace {

// One queued message as the handler writes it.
std::string message(int n)
{
    return "{\n    \"client_status\": {\n        \"type\": \"Event\",\n        \"timestamp\": \"" +
           std::to_string(n) + "\"\n    }\n}\n";
}

// A stored file whose members are the given names, member "<name>" holding message(name).
std::string storedFile(const std::vector<int>& names)
{
    std::string text = "{";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "\"" : ",\"") + std::to_string(names[i]) +
                "\":{\"client_status\":{\"type\":\"Event\",\"timestamp\":\"" +
                std::to_string(names[i]) + "\"}}";
    }
    return text + "}";
}

std::vector<std::string> messages(int from, int to)
{
    std::vector<std::string> out;
    for (int n = from; n <= to; ++n) {
        out.push_back(message(n));
    }
    return out;
}

std::vector<std::string> queued(const EventCache& cache)
{
    const auto events = cache.events();
    return std::vector<std::string>(events.begin(), events.end());
}

class EventCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::clearLog();
        fs::create_directories(dataDir());
    }

    std::string folder() const { return m_dir.path(); }
    std::string dataDir() const { return folder() + "/data"; }
    std::string cacheFile() const { return folder() + "/eventcache.json"; }
    std::string internalFile() const { return dataDir() + "/ktinternal.json"; }
    // The digest lock, private to the writing account (root's here, under ProgramData).
    std::string digestLock() const
    {
        return m_dir.path() + "/ProgramData/kestrani/locks/ktinternal.json.lock";
    }
    // A folder where the digest lock should be: no digest can be stored.
    void blockDigestLock() const
    {
        fs::remove(digestLock());
        fs::create_directories(digestLock());
    }

    void storeDigest(const std::string& text)
    {
        ASSERT_TRUE(saveDigest(ktPlatform::toWide(dataDir()), text, "d5"));
    }
    bool digestMatches(const std::string& text)
    {
        return validateDigest(ktPlatform::toWide(dataDir()), text, "d5");
    }
    bool load(EventCache& cache) { return cache.load(ktPlatform::toWide(folder()), L"", ""); }

    ktTest::TempDir m_dir;
    ktTest::ScopedEnv m_programData{"ProgramData", m_dir.path() + "/ProgramData"};
};

} // namespace

TEST_F(EventCacheTest, LoadCases)
{
    struct Case {
        const char* name;
        std::optional<std::string> content; // nullopt: no file
        bool withDigest;
        bool loaded;
        std::vector<std::string> events;
        const char* logLine; // nullptr: none expected
    };
    std::vector<int> twenty;
    for (int n = 0; n < 20; ++n) {
        twenty.push_back(n);
    }
    const std::string big =
        "{\"0\":{\"x\":\"" + std::string(EventCache::kMaxFileSize, 'a') + "\"}}";
    const Case cases[] = {
        {"missing", std::nullopt, false, false, {}, "failed to read file "},
        {"edited by hand",
         storedFile({0}),
         false,
         false,
         {},
         "Failed to validate integrity of event cache file."},
        {"not JSON", std::string("{\"0\": nope"), true, false, {}, "Invalid eventscache.json: "},
        {"empty file", std::string(), true, false, {}, "Invalid eventscache.json: "},
        {"nested too deep",
         std::string(100, '[') + std::string(100, ']'),
         true,
         false,
         {},
         "Invalid eventscache.json: "},
        {"larger than the cap", big, true, false, {}, "failed to read file "},
        // A load that succeeds ends at the first missing member, and says so.
        {"empty object",
         std::string("{}"),
         true,
         true,
         {},
         "Error reading eventscache.json: No such node (0)"},
        {"a gap after 1", storedFile({0, 1, 3}), true, true, messages(0, 1),
         "Error reading eventscache.json: No such node (2)"},
        {"an array",
         std::string("[" + storedFile({0}) + "]"),
         true,
         true,
         {},
         "Error reading eventscache.json: No such node (0)"},
        {"20 members are all loaded", storedFile(twenty), true, true, messages(0, 19),
         "Error reading eventscache.json: No such node (20)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ktTest::clearLog();
        fs::remove(cacheFile());
        fs::remove(internalFile());
        if (c.content) {
            writeAll(cacheFile(), *c.content);
            storeDigest(c.withDigest ? *c.content : std::string("something else"));
        }
        EventCache cache;
        EXPECT_EQ(load(cache), c.loaded);
        EXPECT_EQ(queued(cache), c.events);
        if (c.logLine != nullptr) {
            EXPECT_TRUE(logHas(c.logLine)) << ktTest::logText();
        }
        EXPECT_EQ(logHas("Error reading eventscache.json"), c.loaded) << ktTest::logText();
        EXPECT_TRUE(logHas("EventCache file path " + cacheFile()));
        // Loading never changes the file.
        if (c.content) {
            EXPECT_EQ(readAll(cacheFile()), *c.content);
        }
    }
}

TEST_F(EventCacheTest, AMemberThatIsNoObjectEndsTheReading)
{
    const std::string content = R"({"0":{"client_status":{"type":"Event","timestamp":"0"}},
        "1":"plain text","2":{"client_status":{}}})";
    writeAll(cacheFile(), content);
    storeDigest(content);
    EventCache cache;
    EXPECT_TRUE(load(cache));
    EXPECT_EQ(queued(cache), messages(0, 0));
    EXPECT_TRUE(logHas("Error reading eventscache.json: ")) << ktTest::logText();
}

TEST_F(EventCacheTest, ThePushBeyondTwelveDropsTheOldest)
{
    EventCache cache;
    for (int n = 0; n < 13; ++n) {
        EXPECT_TRUE(cache.push(message(n)));
    }
    EXPECT_EQ(queued(cache), messages(1, 12));
    EXPECT_TRUE(logHas("Queue is full, pop the old entry"));

    EXPECT_FALSE(cache.push(""));
    EXPECT_EQ(queued(cache), messages(1, 12));
}

TEST_F(EventCacheTest, ALoadedLongQueueKeepsItsLengthThroughPushAndSave)
{
    std::vector<int> names;
    for (int n = 0; n < 20; ++n) {
        names.push_back(n);
    }
    const std::string content = storedFile(names);
    writeAll(cacheFile(), content);
    storeDigest(content);
    EventCache cache;
    ASSERT_TRUE(load(cache));
    // Each push drops one message and adds one.
    EXPECT_TRUE(cache.push(message(20)));
    EXPECT_TRUE(cache.push(message(21)));
    EXPECT_EQ(queued(cache), messages(2, 21));
    ASSERT_TRUE(cache.save());

    EventCache again;
    ASSERT_TRUE(load(again));
    EXPECT_EQ(queued(again), messages(2, 21));
}

TEST_F(EventCacheTest, SaveAndLoadRoundTripWithTheDigest)
{
    EventCache cache;
    EXPECT_FALSE(load(cache)); // no file yet; the paths are set all the same
    cache.push(message(0));
    cache.push(message(1));
    ASSERT_TRUE(cache.save());

    const std::string stored = readAll(cacheFile());
    EXPECT_EQ(stored, "{\n"
                      "    \"0\": {\n"
                      "        \"client_status\": {\n"
                      "            \"type\": \"Event\",\n"
                      "            \"timestamp\": \"0\"\n"
                      "        }\n"
                      "    },\n"
                      "    \"1\": {\n"
                      "        \"client_status\": {\n"
                      "            \"type\": \"Event\",\n"
                      "            \"timestamp\": \"1\"\n"
                      "        }\n"
                      "    }\n"
                      "}\n");
    EXPECT_TRUE(digestMatches(stored));
    // The queue in memory stays.
    EXPECT_EQ(queued(cache), messages(0, 1));

    EventCache again;
    EXPECT_TRUE(load(again));
    EXPECT_EQ(queued(again), messages(0, 1));
}

TEST_F(EventCacheTest, AnotherFileNameAndKey)
{
    EventCache cache;
    EXPECT_FALSE(cache.load(ktPlatform::toWide(folder()), L"other.json", "d9"));
    cache.push(message(3));
    ASSERT_TRUE(cache.save());
    EXPECT_FALSE(fs::exists(cacheFile()));
    const std::string stored = readAll(folder() + "/other.json");
    EXPECT_TRUE(validateDigest(ktPlatform::toWide(dataDir()), stored, "d9"));

    EventCache again;
    EXPECT_TRUE(again.load(ktPlatform::toWide(folder()), L"other.json", "d9"));
    EXPECT_EQ(queued(again), messages(3, 3));
}

TEST_F(EventCacheTest, SaveKeepsTheOtherDigests)
{
    const std::string others = R"({"d1":"1111","d4":"4444","df2":"1","d5":"old"})";
    writeAll(internalFile(), others);
    EventCache cache;
    load(cache);
    cache.push(message(0));
    ASSERT_TRUE(cache.save());
    EXPECT_TRUE(digestMatches(readAll(cacheFile())));
    for (const char* kept : {"\"d1\": \"1111\"", "\"d4\": \"4444\"", "\"df2\": \"1\""}) {
        EXPECT_NE(readAll(internalFile()).find(kept), std::string::npos) << kept;
    }
}

TEST_F(EventCacheTest, AnEmptyQueueSavesAnEmptyFileThatDoesNotLoad)
{
    writeAll(cacheFile(), storedFile({0}));
    EventCache cache;
    load(cache); // digest missing: nothing queued
    EXPECT_FALSE(cache.save());
    EXPECT_TRUE(logHas("Event queue is empty, empty the file"));
    EXPECT_EQ(readAll(cacheFile()), "");
    EXPECT_TRUE(digestMatches(""));

    EventCache again;
    EXPECT_FALSE(load(again));
    EXPECT_TRUE(logHas("Invalid eventscache.json: "));
}

TEST_F(EventCacheTest, AFailedDigestSaveLeavesTheOldStateLoadable)
{
    EventCache cache;
    load(cache);
    cache.push(message(0));
    ASSERT_TRUE(cache.save());
    const std::string old = readAll(cacheFile());

    // The digest file's lock cannot be opened: no digest can be stored, the old one can
    // still be checked.
    blockDigestLock();
    cache.push(message(1));
    ktTest::clearLog();
    EXPECT_FALSE(cache.save());
    EXPECT_TRUE(logHas("Failed to save digest for " + cacheFile())) << ktTest::logText();
    EXPECT_EQ(readAll(cacheFile()), old);

    EventCache again;
    EXPECT_TRUE(load(again));
    EXPECT_EQ(queued(again), messages(0, 0));
}

TEST_F(EventCacheTest, AFailedFirstSaveLeavesNoFile)
{
    blockDigestLock();
    EventCache cache;
    load(cache);
    cache.push(message(0));
    EXPECT_FALSE(cache.save());
    EXPECT_FALSE(fs::exists(cacheFile()));
}

TEST_F(EventCacheTest, ADigestFileThatIsNoJsonIsNeverReplaced)
{
    EventCache cache;
    load(cache);
    cache.push(message(0));
    ASSERT_TRUE(cache.save());
    const std::string old = readAll(cacheFile());

    writeAll(internalFile(), "{\"d5\": broken");
    cache.push(message(1));
    EXPECT_FALSE(cache.save());
    EXPECT_EQ(readAll(internalFile()), "{\"d5\": broken");
    EXPECT_EQ(readAll(cacheFile()), old);
}

TEST_F(EventCacheTest, SaveFailuresLeaveFileAndDigestAlone)
{
    {
        SCOPED_TRACE("the file cannot be written");
        fs::remove(cacheFile());
        fs::create_directory(cacheFile());
        const std::string digests = readAll(internalFile());
        EventCache cache;
        load(cache);
        cache.push(message(0));
        EXPECT_FALSE(cache.save());
        EXPECT_TRUE(logHas("Failed to write eventscache.json"));
        EXPECT_EQ(readAll(internalFile()), digests);
    }
    {
        SCOPED_TRACE("never loaded: no path");
        EventCache cache;
        cache.push(message(0));
        EXPECT_FALSE(cache.save());
    }
}

TEST_F(EventCacheTest, AQueuedMessageThatDoesNotParseIsDroppedAndTheOthersSaved)
{
    // A device string that is not UTF-8 makes a message the JSON reader refuses.
    const std::string notUtf8 = "{\"client_status\": {\"device_make\": \"Ac\xffme\"}}";
    EventCache cache;
    load(cache);
    cache.push(message(0));
    cache.push(notUtf8);
    cache.push("not json");
    cache.push(message(1));
    EXPECT_TRUE(cache.save());
    const std::string dropped = "Dropping a queued message that is not valid JSON: ";
    const std::string log = ktTest::logText();
    const auto first = log.find(dropped);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find(dropped, first + 1), std::string::npos) << "one line each";
    EXPECT_EQ(queued(cache), messages(0, 1));
    EventCache again;
    EXPECT_TRUE(load(again));
    EXPECT_EQ(queued(again), messages(0, 1));

    // Nothing left that parses: the queue is empty, and so is the file.
    EventCache only;
    only.load(ktPlatform::toWide(folder()), L"other.json", "");
    only.push(notUtf8);
    EXPECT_FALSE(only.save());
    EXPECT_TRUE(only.events().empty());
    EXPECT_EQ(readAll(folder() + "/other.json"), "");
}

TEST_F(EventCacheTest, InAFolderOfAnotherAccountNoLinkIsFollowed)
{
    // The folder stands for a user's, the files linked to for another account's.
    const std::string content = storedFile({0});
    std::string hex;
    ASSERT_TRUE(hmacSha1Hex(content, hex));
    const std::string ownDigests = R"({"d5":")" + hex + R"("})";
    const std::string digests = R"({"d5":")" + hex + R"(","other":"not the user's"})";
    const std::string elsewhere = folder() + "-elsewhere";
    const struct {
        const char* name;
        std::string link; // what is made a link, to its namesake in elsewhere
        bool replaced;    // by the save's own file (a rename, which follows no link)
    } cases[] = {
        {"the cache file", cacheFile(), true},
        {"the digest file", internalFile(), false},
        {"the data folder", dataDir(), false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ktTest::clearLog();
        fs::remove_all(elsewhere);
        fs::remove_all(folder());
        fs::create_directories(dataDir());
        fs::create_directories(elsewhere + "/data");
        writeAll(cacheFile(), content);
        writeAll(internalFile(), ownDigests);
        writeAll(elsewhere + "/eventcache.json", content);
        writeAll(elsewhere + "/data/ktinternal.json", digests);
        const std::string target = elsewhere + tc.link.substr(folder().size());
        fs::remove_all(tc.link);
        fs::create_symlink(target, tc.link);

        EventCache cache;
        EXPECT_FALSE(cache.load(ktPlatform::toWide(folder()), L"", "", folder()));
        EXPECT_TRUE(queued(cache).empty());
        EXPECT_TRUE(logHas(": it or a folder on its way is a link")) << ktTest::logText();
        // What is saved never takes in, nor replaces, what the links name.
        cache.push(message(1));
        cache.save();
        EXPECT_NE(fs::is_symlink(tc.link), tc.replaced);
        EXPECT_EQ(readAll(elsewhere + "/eventcache.json"), content);
        EXPECT_EQ(readAll(elsewhere + "/data/ktinternal.json"), digests);
        if (tc.replaced) {
            EXPECT_EQ(readAll(cacheFile()).find("\"timestamp\": \"0\""), std::string::npos);
            EXPECT_EQ(readAll(internalFile()).find("not the user's"), std::string::npos);
        }
    }
    fs::remove_all(elsewhere);
}

TEST_F(EventCacheTest, LoadingAgainReplacesTheQueue)
{
    writeAll(cacheFile(), storedFile({0, 1}));
    storeDigest(storedFile({0, 1}));
    EventCache cache;
    ASSERT_TRUE(load(cache));
    cache.push(message(7));
    ASSERT_TRUE(load(cache));
    EXPECT_EQ(queued(cache), messages(0, 1));

    // A load that fails leaves the queue as it was.
    fs::remove(cacheFile());
    EXPECT_FALSE(load(cache));
    EXPECT_EQ(queued(cache), messages(0, 1));
}

TEST_F(EventCacheTest, PushAndSaveFromTwoThreads)
{
    EventCache cache;
    load(cache);
    auto work = [](EventCache& target, int base) {
        for (int n = 0; n < 10; ++n) {
            target.push(message(base + n));
            target.save();
        }
    };
    std::thread a(work, std::ref(cache), 0);
    work(cache, 100);
    a.join();
    EXPECT_EQ(cache.events().size(), 12u);

    EventCache again;
    EXPECT_TRUE(load(again));
    EXPECT_EQ(again.events(), cache.events());
}

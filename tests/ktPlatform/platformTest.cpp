#include "ktPlatform/debugOutput.h"
#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"
#include "ktPlatform/namedLock.h"
#include "ktPlatform/paths.h"
#include "ktPlatform/strings.h"
#include "ktPlatform/tokens.h"

#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

TEST(Strings, Utf8RoundTripAndInvalidInput)
{
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // a é € 😀
    const std::wstring w = ktPlatform::toWide(text);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[1], L'\u00E9');
    EXPECT_EQ(static_cast<char32_t>(w[3]), U'\U0001F600');
    EXPECT_EQ(ktPlatform::toNarrow(w), text);

    const struct {
        std::string in;
        std::wstring out;
    } bad[] = {
        {"\xC3", L"\uFFFD"},         // cut short
        {"\xC0\xAF", L"\uFFFD"},     // overlong
        {"\xED\xA0\x80", L"\uFFFD"}, // surrogate
        {"\xFF"
         "a",
         L"\uFFFD"
         L"a"}, // not a lead byte
        {"\xE2\x82"
         "a",
         L"\uFFFD"
         L"a"},
    };
    for (const auto& c : bad) {
        EXPECT_EQ(ktPlatform::toWide(c.in), c.out);
    }
    EXPECT_EQ(ktPlatform::toNarrow(std::wstring(1, static_cast<wchar_t>(0x110000))),
              "\xEF\xBF\xBD");
}

TEST(Folders, EnvironmentFirstThenDefaults)
{
    {
        ktTest::ScopedEnv p("PUBLIC", std::nullopt);
        ktTest::ScopedEnv d("ProgramData", std::nullopt);
        ktTest::ScopedEnv a("APPDATA", std::nullopt);
        ktTest::ScopedEnv x("XDG_CONFIG_HOME", std::nullopt);
        ktTest::ScopedEnv h("HOME", std::string("/home/u"));
        EXPECT_EQ(ktPlatform::publicFolder(), "/var/log/Kestrani");
        EXPECT_EQ(ktPlatform::configFolder(), "/var/lib/kestrani/merivon");
        EXPECT_EQ(ktPlatform::userFolder(), "/home/u/.config/Kestrani/Merivon");
        ktTest::ScopedEnv x2("XDG_CONFIG_HOME", std::string("/xdg"));
        EXPECT_EQ(ktPlatform::userFolder(), "/xdg/Kestrani/Merivon");
    }
    {
        ktTest::ScopedEnv p("PUBLIC", std::string("/pub"));
        ktTest::ScopedEnv d("ProgramData", std::string("/pd/"));
        ktTest::ScopedEnv a("APPDATA", std::string(""));
        EXPECT_EQ(ktPlatform::publicFolder(), "/pub/Kestrani");
        EXPECT_EQ(ktPlatform::configFolder(), "/pd/kestrani/merivon");
        EXPECT_EQ(ktPlatform::userFolder(), std::nullopt);
    }
}

TEST(Paths, Join)
{
    EXPECT_EQ(ktPlatform::joinPath("a", "b"), "a/b");
    EXPECT_EQ(ktPlatform::joinPath("a/", "b"), "a/b");
    EXPECT_EQ(ktPlatform::joinPath("", "b"), "b");
}

TEST(Folders, UserLocationsExpandForTheirUser)
{
    ktTest::ScopedEnv a("APPDATA", std::string("/appdata"));
    ktTest::ScopedEnv x("XDG_CONFIG_HOME", std::nullopt);
    const ktPlatform::Token other{4242, 4242, "alice", "/home/alice"};
    const ktPlatform::Token own{static_cast<std::uint32_t>(::geteuid()), 0, "me", "/home/me"};
    const struct {
        const ktPlatform::Token* token;
        const wchar_t* source;
        const wchar_t* expanded; // nullptr: the expansion fails
        int error;
    } cases[] = {
        {&own, L"%APPDATA%/Kestrani/Merivon", L"/appdata/Kestrani/Merivon", 0},
        {&other, L"%AppData%/Kestrani/Merivon", L"/home/alice/.config/Kestrani/Merivon", 0},
        {&other, L"%USERPROFILE%|%HOMEPATH%|%home%|%USERNAME%",
         L"/home/alice|/home/alice|/home/alice|alice", 0},
        {&other, L"%NOSUCH%/%USERNAME%", L"%NOSUCH%/alice", 0},
        {&other, L"50%% of %USERNAME", L"50%% of %USERNAME", 0},
        {&other, L"/plain/path", L"/plain/path", 0},
        {&other, L"", L"", 0},
    };
    for (const auto& tc : cases) {
        std::wstring out = L"unchanged";
        const bool ok =
            ktPlatform::expandEnvironmentStringsForUser(*tc.token, tc.source, out, 2048);
        EXPECT_EQ(ok, tc.expanded != nullptr) << ktPlatform::toNarrow(tc.source);
        if (ok) {
            EXPECT_EQ(out, tc.expanded);
        }
    }

    std::wstring out = L"unchanged";
    const ktPlatform::Token homeless{4243, 4243, "bob", ""};
    EXPECT_FALSE(ktPlatform::expandEnvironmentStringsForUser(homeless, L"%APPDATA%/x", out, 2048));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(out, L"unchanged");
    {
        ktTest::ScopedEnv empty("APPDATA", std::string());
        EXPECT_FALSE(ktPlatform::expandEnvironmentStringsForUser(own, L"%APPDATA%", out, 2048));
    }
    // The room counts the terminating zero.
    EXPECT_TRUE(ktPlatform::expandEnvironmentStringsForUser(other, L"%USERNAME%", out, 6));
    EXPECT_EQ(out, L"alice");
    EXPECT_FALSE(ktPlatform::expandEnvironmentStringsForUser(other, L"%USERNAME%", out, 5));
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(ktPlatform::userFolderUnexpanded(), "%APPDATA%/Kestrani/Merivon");
}

TEST(Files, DirectoryTreeTakesOnlyFullPaths)
{
    ktTest::TempDir dir;
    const std::string deep = dir.path() + "/a/b/c";
    EXPECT_TRUE(ktPlatform::createDirectoryTree(deep));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_FALSE(ktPlatform::createDirectoryTree(deep));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(ktPlatform::createDirectoryTree("relative/folder"));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(fs::exists("relative"));
    ktTest::writeAll(dir.path() + "/file", "x");
    EXPECT_FALSE(ktPlatform::createDirectoryTree(dir.path() + "/file/below"));
    EXPECT_EQ(ktTest::readAll(dir.path() + "/file"), "x");
}

TEST(Files, NoFollowOpensOnlyRegularFiles)
{
    ktTest::TempDir dir;
    const std::string file = dir.path() + "/f";
    const std::string link = dir.path() + "/l";
    ktTest::writeAll(file, "x");
    fs::create_symlink(file, link);
    std::FILE* f = ktPlatform::openFileNoFollow(file, "a");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(ktPlatform::openFileNoFollow(link, "a"), nullptr);
    EXPECT_EQ(ktPlatform::openFileNoFollow(dir.path(), "r"), nullptr);
    f = ktPlatform::openRegularFile(link, "r");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(ktPlatform::openRegularFile(dir.path(), "r"), nullptr);
}

TEST(Files, ProbeLeavesNothingBehind)
{
    ktTest::TempDir dir;
    ktTest::writeAll(dir.path() + "/xyz$$xyz.txt", "someone else's");
    EXPECT_TRUE(ktPlatform::probeFolderWritable(dir.path()));
    EXPECT_FALSE(ktPlatform::probeFolderWritable(dir.path() + "/missing"));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    EXPECT_EQ(ktTest::readAll(dir.path() + "/xyz$$xyz.txt"), "someone else's");
}

TEST(NamedLock, ExcludesASecondHolderUntilReleased)
{
    ktTest::TempDir dir;
    ktPlatform::NamedLock first;
    ktPlatform::NamedLock second;
    ASSERT_TRUE(first.open(dir.path(), "kt_log_mutex"));
    ASSERT_TRUE(second.open(dir.path(), "kt_log_mutex"));
    ASSERT_TRUE(first.lock(std::chrono::milliseconds(100)));
    EXPECT_FALSE(second.lock(std::chrono::milliseconds(50)));
    first.unlock();
    EXPECT_TRUE(second.lock(std::chrono::milliseconds(100)));
    second.unlock();
    ktPlatform::NamedLock unopened;
    EXPECT_FALSE(unopened.lock(std::chrono::milliseconds(10)));
}

TEST(DebugOutput, SilentUntilASinkIsSet)
{
    ktPlatform::outputDebugString("dropped");
    std::string seen;
    ktPlatform::setDebugOutputSink([&seen](const std::string& t) { seen += t; });
    ktPlatform::outputDebugString("line");
    ktPlatform::setDebugOutputSink(nullptr);
    ktPlatform::outputDebugString("dropped again");
    EXPECT_EQ(seen, "line");
}

} // namespace

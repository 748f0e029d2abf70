#include "ktzip/ktzip.h"

#include "ktzipInternal.h"

#include "ktPlatform/files.h"
#include "ktPlatform/interruptCleanup.h"
#include "ktPlatform/sharedFiles.h"

#include "ktTest/scriptedSuffixes.h"
#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

// The zip library keeps the central-directory record of an entry whose local header could
// not be written and never frees it (one small block per failed archive, which the writer
// then closes); the write-failure tests provoke exactly that.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:zipOpenNewFileInZip4_64\n";
}

namespace {

struct Entry {
    std::string name;
    std::string data;
    unsigned long flag = 0;
    tm_unz date{};
    std::string localExtra;
};

// Reads every entry back with the unzip library, checking each CRC on the way; nullopt
// when the archive cannot be opened or an entry is damaged.
std::optional<std::vector<Entry>> readArchive(const std::string& path)
{
    unzFile zip = unzOpen64(path.c_str());
    if (zip == nullptr) {
        return std::nullopt;
    }
    std::vector<Entry> entries;
    bool ok = true;
    for (int step = unzGoToFirstFile(zip); ok && step == UNZ_OK; step = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        char name[512] = {};
        ok = unzGetCurrentFileInfo64(zip, &info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) ==
                 UNZ_OK &&
             unzOpenCurrentFile(zip) == UNZ_OK;
        if (!ok) {
            break;
        }
        Entry e;
        e.name = name;
        e.flag = info.flag;
        e.date = info.tmu_date;
        char extra[256];
        const int extraSize = unzGetLocalExtrafield(zip, extra, sizeof(extra));
        if (extraSize > 0) {
            e.localExtra.assign(extra, static_cast<size_t>(extraSize));
        }
        char buffer[8192];
        int n = 0;
        while ((n = unzReadCurrentFile(zip, buffer, sizeof(buffer))) > 0) {
            e.data.append(buffer, static_cast<size_t>(n));
        }
        ok = n == 0 && unzCloseCurrentFile(zip) == UNZ_OK;
        entries.push_back(e);
    }
    unzClose(zip);
    if (!ok) {
        return std::nullopt;
    }
    return entries;
}

std::vector<std::string> names(const std::vector<Entry>& entries)
{
    std::vector<std::string> out;
    for (const Entry& e : entries) {
        out.push_back(e.name);
    }
    return out;
}

// Bytes that deflate cannot shrink, so sizes on disk follow the input sizes.
std::string noise(size_t size, unsigned seed)
{
    std::string out(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

std::time_t localSeconds(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

void setModified(const std::string& path, std::time_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(st.st_mtime, seconds) << "the file system cannot hold this time";
}

class ZipTest : public ::testing::Test {
protected:
    ktTest::TempDir m_dir;
    std::string path(const std::string& name) const { return m_dir.path() + "/" + name; }
    std::string archive() const { return path("out.zip"); }
    std::string file(const std::string& name, const std::string& data)
    {
        fs::create_directories(fs::path(path(name)).parent_path());
        ktTest::writeAll(path(name), data);
        return path(name);
    }
};

TEST_F(ZipTest, AllInputsMissingGiveAValidEmptyArchive)
{
    ktTest::writeAll(archive(), "an older file at the archive path");
    fs::create_directory(path("folder"));
    ASSERT_TRUE(zipFiles(archive().c_str(), {path("missing"), path("folder"), path("gone/x")}));
    // The unzip library cannot open an archive whose end record sits at offset 0, so the
    // bytes are checked instead: the end record alone, no entries, no comment.
    EXPECT_EQ(ktTest::readAll(archive()), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

TEST_F(ZipTest, InvalidParamsCreateNothing)
{
    const std::string input = file("a.log", "a");
    EXPECT_FALSE(zipFiles(nullptr, {input}));
    EXPECT_FALSE(zipFiles(archive().c_str(), {}));
    EXPECT_FALSE(fs::exists(archive()));
}

TEST_F(ZipTest, EntriesKeepListOrderAndBaseNames)
{
    const std::vector<std::string> inputs = {
        file("b/x.log", "second x"),
        file("a/x.log", "first x"),
        path("missing.log"),
        file("c/sub/file.json", "{}"),
        file("odd\\name.txt", "after a backslash"),
    };
    ASSERT_TRUE(zipFiles(archive().c_str(), inputs));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    EXPECT_EQ(names(*entries),
              (std::vector<std::string>{"x.log", "x.log", "file.json", "name.txt"}));
    EXPECT_EQ((*entries)[0].data, "second x");
    EXPECT_EQ((*entries)[1].data, "first x");
    EXPECT_EQ((*entries)[3].data, "after a backslash");
}

TEST_F(ZipTest, SizesAroundTheCopyBufferRoundTrip)
{
    const size_t sizes[] = {0, 1, 16383, 16384, 16385, 3 * 16384 + 7, 1 << 20};
    std::vector<std::string> inputs;
    std::vector<std::string> contents;
    for (size_t size : sizes) {
        contents.push_back(noise(size, static_cast<unsigned>(size)));
        inputs.push_back(file("f" + std::to_string(size), contents.back()));
    }
    ASSERT_TRUE(zipFiles(archive().c_str(), inputs));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), contents.size());
    for (size_t i = 0; i < contents.size(); ++i) {
        EXPECT_EQ((*entries)[i].data.size(), sizes[i]);
        EXPECT_TRUE((*entries)[i].data == contents[i]) << "size " << sizes[i];
    }
}

TEST_F(ZipTest, ModificationTimeInTwoSecondStepsWithinTheZipRange)
{
    struct Case {
        int year, month, day, hour, minute, second;
        tm_unz expected; // sec, min, hour, mday, mon (from 0), year
    };
    const Case cases[] = {
        {2023, 6, 14, 14, 7, 31, {30, 7, 14, 14, 5, 2023}},
        {2023, 6, 14, 14, 7, 30, {30, 7, 14, 14, 5, 2023}},
        {1980, 1, 1, 0, 0, 0, {0, 0, 0, 1, 0, 1980}},
        {1979, 12, 31, 23, 59, 59, {0, 0, 0, 1, 0, 1980}},
        {1970, 1, 2, 0, 0, 0, {0, 0, 0, 1, 0, 1980}},
        {2107, 12, 31, 23, 59, 59, {58, 59, 23, 31, 11, 2107}},
        {2200, 1, 1, 0, 0, 0, {58, 59, 23, 31, 11, 2107}},
    };
    std::vector<std::string> inputs;
    for (const Case& c : cases) {
        inputs.push_back(file("t" + std::to_string(inputs.size()), "x"));
        setModified(inputs.back(),
                    localSeconds(c.year, c.month, c.day, c.hour, c.minute, c.second));
    }
    ASSERT_TRUE(zipFiles(archive().c_str(), inputs));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const tm_unz& got = (*entries)[i].date;
        const tm_unz& want = cases[i].expected;
        EXPECT_EQ(std::vector<unsigned>(
                      {got.tm_year, got.tm_mon, got.tm_mday, got.tm_hour, got.tm_min, got.tm_sec}),
                  std::vector<unsigned>({want.tm_year, want.tm_mon, want.tm_mday, want.tm_hour,
                                         want.tm_min, want.tm_sec}))
            << "case " << i;
    }
}

TEST_F(ZipTest, GetFileModifiedTime)
{
    const std::string input = file("t", "x");
    setModified(input, localSeconds(2021, 3, 4, 5, 6, 7));
    tm_zip date{};
    ASSERT_TRUE(getFileModifiedTime(input.c_str(), date));
    EXPECT_EQ(std::vector<unsigned>({date.tm_year, date.tm_mon, date.tm_mday, date.tm_hour,
                                     date.tm_min, date.tm_sec}),
              std::vector<unsigned>({121, 2, 4, 5, 6, 7}));

    tm_zip untouched{1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(getFileModifiedTime(path("missing").c_str(), untouched));
    EXPECT_FALSE(getFileModifiedTime(nullptr, untouched));
    EXPECT_EQ(untouched.tm_sec, 1u);
    EXPECT_EQ(untouched.tm_year, 6u);
}

// The files of the folder other than the given ones: what a run left behind.
std::vector<std::string> leftovers(const std::string& folder, std::vector<std::string> known)
{
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            found.push_back(name);
        }
    }
    return found;
}

TEST_F(ZipTest, UnwritableArchivePathFails)
{
    const std::string input = file("a.log", "a");
    EXPECT_FALSE(zipFiles(path("no/such/folder/out.zip").c_str(), {input}));
    EXPECT_EQ(leftovers(m_dir.path(), {"a.log"}), std::vector<std::string>{});
}

// Plants another account's thing at the archive's name before every attempt to rename onto
// it, as fast as an account could: a folder (with a file in it) or a file whenever the name
// is free, a link (to a file of the account's) put back each time.
class PlantedAtTheName {
public:
    enum class Kind { folder, file, link };

    PlantedAtTheName(const ktTest::TestAccount& account, Kind kind,
                     const std::string& linkTarget = std::string())
    {
        s_account = &account;
        s_kind = kind;
        s_linkTarget = linkTarget;
        s_attempts = 0;
        ktPlatform::setBeforeSharedRename(plant);
    }
    ~PlantedAtTheName() { ktPlatform::setBeforeSharedRename(nullptr); }
    static int attempts() { return s_attempts; }
    // Where the planted content is, below what was planted.
    static std::string content(const std::string& planted)
    {
        return s_kind == Kind::folder ? planted + "/inside" : planted;
    }

private:
    static void plant(const std::string& name)
    {
        ++s_attempts;
        std::error_code ec;
        if (s_kind == Kind::link) {
            fs::remove(name, ec);
            fs::create_symlink(s_linkTarget, name);
        } else if (fs::exists(fs::symlink_status(name, ec))) {
            return;
        } else {
            if (s_kind == Kind::folder) {
                fs::create_directory(name);
            }
            ktTest::writeAll(content(name), "the account's");
        }
        ktTest::chownTo(name, *s_account);
    }
    static inline const ktTest::TestAccount* s_account = nullptr;
    static inline Kind s_kind = Kind::file;
    static inline std::string s_linkTarget;
    static inline int s_attempts = 0;
};

TEST_F(ZipTest, AFinishedArchiveIsKeptWhenItsNameWasTakenMeanwhile)
{
    // In the public folder, where any account may make names, root moves what took the
    // archive's name aside, never replacing another account's file; elsewhere a folder there
    // fails the run, yet the finished archive stays under its temporary name, which the log
    // gives.
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(account);
    const std::string input = file("a.log", "a");
    const std::string publicFolder = path("Public/Kestrani");
    fs::create_directories(publicFolder);
    ::chmod(publicFolder.c_str(), 01777);
    const ktTest::ScopedEnv env("PUBLIC", path("Public"));
    struct Case {
        const char* what;
        std::string folder;
        bool plantsFolder;
        bool inPlace;
    };
    const Case cases[] = {
        {"a folder in the public folder", publicFolder, true, true},
        {"a file in the public folder", publicFolder, false, true},
        {"a folder elsewhere", m_dir.path() + "/elsewhere", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(c.folder);
        fs::create_directories(c.folder);
        ::chmod(c.folder.c_str(), 01777);
        const std::string target = c.folder + "/diag.zip";
        ktTest::clearLog();
        bool written = false;
        {
            const PlantedAtTheName planted(account, c.plantsFolder ? PlantedAtTheName::Kind::folder
                                                                   : PlantedAtTheName::Kind::file);
            written = zipFiles(target.c_str(), {input});
        }
        EXPECT_EQ(written, c.inPlace);
        // What the account planted is kept, with what it holds, at its name or aside; the
        // archive at its name or under its temporary one.
        std::string kept;
        std::string archiveAt;
        for (const auto& e : fs::directory_iterator(c.folder)) {
            const std::string p = e.path().string();
            if (ktTest::readAll(PlantedAtTheName::content(p)) == "the account's") {
                kept = p;
            } else {
                archiveAt = p;
            }
        }
        EXPECT_FALSE(kept.empty()) << "what the account planted is gone";
        EXPECT_EQ(kept == target, !c.inPlace) << kept;
        EXPECT_EQ(archiveAt == target, c.inPlace) << archiveAt;
        const auto entries = readArchive(archiveAt);
        ASSERT_TRUE(entries) << archiveAt;
        EXPECT_EQ(names(*entries), std::vector<std::string>{"a.log"});
        if (!c.inPlace) {
            EXPECT_TRUE(ktTest::logHas("the archive is kept as " + archiveAt)) << ktTest::logText();
        }
    }
}

TEST_F(ZipTest, WhatIsPlantedAgainBeforeEveryRenameCannotKeepTheArchiveFromItsName)
{
    // In the public folder root swaps the archive and what holds its name in one step: a
    // link there then only loses that name; another account's file is kept aside, and the
    // log says where.
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(account);
    const std::string input = file("a.log", "a");
    const std::string folder = path("Public/Kestrani");
    const ktTest::ScopedEnv env("PUBLIC", path("Public"));
    const std::string theirs = file("theirs.txt", "the account's other file");
    ktTest::chownTo(theirs, account);
    const std::string target = folder + "/diag.zip";
    for (const bool link : {true, false}) {
        SCOPED_TRACE(link ? "a link" : "a file");
        fs::remove_all(folder);
        fs::create_directories(folder);
        ::chmod(folder.c_str(), 01777);
        ktTest::clearLog();
        bool written = false;
        {
            const PlantedAtTheName planted(
                account, link ? PlantedAtTheName::Kind::link : PlantedAtTheName::Kind::file,
                theirs);
            written = zipFiles(target.c_str(), {input});
            EXPECT_GE(PlantedAtTheName::attempts(), 2);
        }
        EXPECT_TRUE(written);
        struct stat st {};
        ASSERT_EQ(::lstat(target.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, 0u);
        const auto entries = readArchive(target);
        ASSERT_TRUE(entries);
        EXPECT_EQ(names(*entries), std::vector<std::string>{"a.log"});
        EXPECT_EQ(ktTest::readAll(theirs), "the account's other file");
        const std::vector<std::string> aside = leftovers(folder, {"diag.zip"});
        if (link) {
            EXPECT_EQ(aside, std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ktTest::readAll(folder + "/" + aside[0]), "the account's");
        EXPECT_TRUE(ktTest::logHas("Moved " + target + " aside to " + folder + "/" + aside[0]))
            << ktTest::logText();
    }
}

TEST_F(ZipTest, AFileAtTheNewFilesNameIsLeftAloneAndAnotherNameTaken)
{
    const std::string input = file("a.log", "a");
    // Another account's file, at the first name the new file would take.
    const std::string planted = file(".out.zip.Taken1", "planted");
    ASSERT_EQ(::chmod(planted.c_str(), 0644), 0);
    setModified(planted, localSeconds(2020, 1, 2, 3, 4, 6));
    struct stat before {};
    ASSERT_EQ(::stat(planted.c_str(), &before), 0);

    ktTest::ScriptedSuffixes suffixes({"Taken1", "Fresh1"});
    ASSERT_TRUE(zipFiles(archive().c_str(), {input}));
    EXPECT_EQ(ktTest::ScriptedSuffixes::taken(), 2u);
    struct stat after {};
    ASSERT_EQ(::stat(planted.c_str(), &after), 0);
    EXPECT_EQ(ktTest::readAll(planted), "planted");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    EXPECT_EQ(names(*entries), std::vector<std::string>{"a.log"});
    EXPECT_EQ(leftovers(m_dir.path(), {"a.log", ".out.zip.Taken1", "out.zip"}),
              std::vector<std::string>{});
}

TEST_F(ZipTest, WhatIsAtTheArchivePathIsReplacedNeverWrittenThrough)
{
    // Another account's file at the path, reached through a link or a second name of its
    // own, must not receive the archive.
    const std::string input = file("a.log", "secret");
    const std::string target = file("target", "must stay");
    const std::string kept = file("kept", "must stay too");
    fs::create_symlink(target, path("link.zip"));
    fs::create_hard_link(kept, path("hardlink.zip"));
    ::umask(0);
    for (const char* name : {"link.zip", "hardlink.zip", "new.zip"}) {
        ASSERT_TRUE(zipFiles(path(name).c_str(), {input})) << name;
        struct stat st {};
        ASSERT_EQ(::lstat(path(name).c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        EXPECT_EQ(st.st_nlink, 1u) << name;
        const auto entries = readArchive(path(name));
        ASSERT_TRUE(entries) << name;
        EXPECT_EQ(names(*entries), std::vector<std::string>{"a.log"}) << name;
    }
    ::umask(022);
    EXPECT_EQ(ktTest::readAll(target), "must stay");
    EXPECT_EQ(ktTest::readAll(kept), "must stay too");
}

TEST_F(ZipTest, LinksFifosAndFoldersAreSkipped)
{
    const std::string real = file("real.log", "real");
    const std::string outside = file("outside/secret", "not to be packed");
    fs::create_symlink(outside, path("link.log"));
    // A second name could be another account's link to a file only root may read.
    const std::string named = file("outside/named", "not to be packed either");
    fs::create_hard_link(named, path("hardlink.log"));
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    fs::create_symlink(path("pipe"), path("pipe-link"));
    fs::create_directory(path("folder"));
    ASSERT_TRUE(
        zipFiles(archive().c_str(), {path("link.log"), path("hardlink.log"), named, path("pipe"),
                                     path("pipe-link"), path("folder"), real}));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    EXPECT_EQ(names(*entries), std::vector<std::string>{"real.log"});
}

TEST_F(ZipTest, TheSameFileUnderTheSameNameGoesInOnce)
{
    const std::string a = file("dir/a.log", "a");
    fs::create_directory(path("other"));
    fs::create_hard_link(a, path("other/a.log"));
    fs::create_hard_link(a, path("dir/b.log"));
    const std::string twin = file("twin/a.log", "a different file");
    // A caller's own opener may let second names through.
    ASSERT_TRUE(
        zipFiles(archive().c_str(),
                 {a, a, path("dir/./a.log"), path("dir//a.log"), path("other/a.log"),
                  path("dir/b.log"), twin},
                 [](const std::string& p) { return ktPlatform::openFileNoFollow(p, "rb"); }));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    EXPECT_EQ(names(*entries), (std::vector<std::string>{"a.log", "b.log", "a.log"}));
    EXPECT_EQ(entries->back().data, "a different file");
}

TEST_F(ZipTest, TheArchiveIsNeverPackedIntoItself)
{
    const std::string input = file("a.log", "a");
    ktTest::writeAll(archive(), "old archive");
    ASSERT_TRUE(zipFiles(archive().c_str(), {archive(), input}));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    EXPECT_EQ(names(*entries), std::vector<std::string>{"a.log"});
}

TEST_F(ZipTest, Utf8NamesCarryTheUtf8Flag)
{
    struct Case {
        std::string name;
        bool flagged;
    };
    const Case cases[] = {
        {"r\xc3\xa9sum\xc3\xa9.txt", true},
        {"plain.txt", true},
        {"latin1-\xe9.txt", false},
    };
    std::vector<std::string> inputs;
    for (const Case& c : cases) {
        inputs.push_back(file(c.name, c.name));
    }
    ASSERT_TRUE(zipFiles(archive().c_str(), inputs));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ((*entries)[i].name, cases[i].name);
        EXPECT_EQ(((*entries)[i].flag & 0x800) != 0, cases[i].flagged) << cases[i].name;
    }
}

// The zip64 extra field (id 1) in an entry's local header.
bool hasZip64Extra(const Entry& e)
{
    const std::string& x = e.localExtra;
    for (size_t i = 0; i + 4 <= x.size();) {
        const unsigned id = static_cast<unsigned char>(x[i]) | static_cast<unsigned char>(x[i + 1])
                                                                   << 8;
        const unsigned size =
            static_cast<unsigned char>(x[i + 2]) | static_cast<unsigned char>(x[i + 3]) << 8;
        if (id == 1) {
            return true;
        }
        i += 4 + size;
    }
    return false;
}

class ScopedZip64From {
public:
    explicit ScopedZip64From(std::uint64_t from) : m_old(ktzip::g_zip64From)
    {
        ktzip::g_zip64From = from;
    }
    ~ScopedZip64From() { ktzip::g_zip64From = m_old; }

private:
    std::uint64_t m_old;
};

TEST_F(ZipTest, LargeInputsAreWrittenAsZip64)
{
    // Even incompressible data one byte under the limit keeps its sizes within 32 bits.
    EXPECT_LT(compressBound(ktzip::kZip64From - 1), 0xFFFFFFFFul);
    EXPECT_LE(ktzip::kZip64From, 4ull << 30);

    ScopedZip64From limit(1000);
    const std::string small = file("small", noise(999, 1));
    const std::string atLimit = file("at-limit", noise(1000, 2));
    const std::string large = file("large", noise(50000, 3));
    ASSERT_TRUE(zipFiles(archive().c_str(), {small, atLimit, large}));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_FALSE(hasZip64Extra((*entries)[0]));
    EXPECT_TRUE(hasZip64Extra((*entries)[1]));
    EXPECT_TRUE(hasZip64Extra((*entries)[2]));
    EXPECT_TRUE((*entries)[2].data == noise(50000, 3));
}

// A file-size limit makes writes fail part-way, as a full disk would.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit small = m_saved;
        small.rlim_cur = bytes;
        m_ok = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }
    bool ok() const { return m_ok; }

private:
    rlimit m_saved{};
    bool m_ok = false;
};

TEST_F(ZipTest, AFailureToWriteAnyPartMakesTheResultFalse)
{
    const std::vector<std::string> inputs = {file("big", noise(200000, 7)), file("small", "small")};
    ASSERT_TRUE(zipFiles(archive().c_str(), inputs));
    const auto full = static_cast<rlim_t>(fs::file_size(archive()));

    // Entry header, entry data, entry close (its buffered tail), the final directory.
    // A full disk costs neither the archive that was there nor a half-made one.
    const std::string before = ktTest::readAll(archive());
    const rlim_t limits[] = {0, 20, 70000, 199000, full - 60, full - 1};
    for (rlim_t limit : limits) {
        bool ok = true;
        {
            FileSizeLimit guard(limit);
            ASSERT_TRUE(guard.ok());
            ok = zipFiles(archive().c_str(), inputs);
        }
        EXPECT_FALSE(ok) << "limit " << limit;
        EXPECT_EQ(ktTest::readAll(archive()), before) << "limit " << limit;
        EXPECT_EQ(leftovers(m_dir.path(), {"big", "small", "out.zip"}), std::vector<std::string>{})
            << "limit " << limit;
    }
    {
        FileSizeLimit guard(full);
        ASSERT_TRUE(guard.ok());
        EXPECT_TRUE(zipFiles(archive().c_str(), inputs));
    }
    EXPECT_TRUE(readArchive(archive()));
}

// Makes exactly one write to the archive fail: the Nth, counted from 1.
class FailNthArchiveWrite {
public:
    explicit FailNthArchiveWrite(int n)
    {
        s_failAt = n;
        s_calls = 0;
        ktzip::g_wrapArchiveIo = wrap;
    }
    ~FailNthArchiveWrite() { ktzip::g_wrapArchiveIo = nullptr; }
    static int calls() { return s_calls; }

private:
    static void wrap(zlib_filefunc64_def& io)
    {
        s_write = io.zwrite_file;
        io.zwrite_file = write;
    }
    static uLong ZCALLBACK write(voidpf opaque, voidpf stream, const void* buf, uLong size)
    {
        if (++s_calls == s_failAt) {
            return 0;
        }
        return s_write(opaque, stream, buf, size);
    }
    static inline int s_failAt = 0;
    static inline int s_calls = 0;
    static inline write_file_func s_write = nullptr;
};

TEST_F(ZipTest, AFailedWriteAnywhereMakesTheResultFalse)
{
    // Two entries, the first spanning several of the library's output buffers.
    const std::vector<std::string> inputs = {file("big", noise(140000, 9)), file("small", "small")};
    int writes = 0;
    {
        FailNthArchiveWrite counter(0);
        ASSERT_TRUE(zipFiles(archive().c_str(), inputs));
        writes = FailNthArchiveWrite::calls();
    }
    ASSERT_GT(writes, 5);
    for (int n = 1; n <= writes; ++n) {
        FailNthArchiveWrite failing(n);
        EXPECT_FALSE(zipFiles(archive().c_str(), inputs)) << "write " << n << " of " << writes;
    }
}

// A stream that gives the first bytes of data and then fails every read with error, as a
// disk that reports an I/O error does.
std::FILE* streamBreakingOff(const std::string& data, int error)
{
    struct State {
        std::string data;
        size_t at = 0;
        int error = 0;
    };
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buf, size_t size) -> ssize_t {
        auto* state = static_cast<State*>(cookie);
        if (state->at == state->data.size()) {
            errno = state->error;
            return -1;
        }
        const size_t n = std::min(size, state->data.size() - state->at);
        std::copy_n(state->data.data() + state->at, n, buf);
        state->at += n;
        return static_cast<ssize_t>(n);
    };
    io.close = [](void* cookie) {
        delete static_cast<State*>(cookie);
        return 0;
    };
    return ::fopencookie(new State{data, 0, error}, "rb", io);
}

TEST_F(ZipTest, AnUnreadableInputIsSkippedOrShortAndTheArchiveStillWritten)
{
    ktTest::clearLog();
    const std::string before = file("before", "before");
    const std::string after = file("after", "after");
    fs::create_directory(path("folder"));
    // More than one copy buffer before the read breaks off.
    const std::string head = noise(20000, 5);
    struct Case {
        std::string path;
        std::function<std::FILE*()> open;
        std::optional<std::string> entry; // what its entry holds; none: no entry
    };
    const Case cases[] = {
        {path("eio"), [] { return streamBreakingOff("", EIO); }, std::nullopt},
        // A folder that a caller's own opener let through.
        {path("folder"), [&] { return std::fopen(path("folder").c_str(), "rb"); }, std::nullopt},
        {path("breaks-off"), [&] { return streamBreakingOff(head, EIO); }, head},
    };
    std::vector<std::string> inputs = {before};
    for (const Case& c : cases) {
        inputs.push_back(c.path);
    }
    inputs.push_back(after);
    const ZipInputOpener open = [&](const std::string& p) {
        for (const Case& c : cases) {
            if (p == c.path) {
                return c.open();
            }
        }
        return std::fopen(p.c_str(), "rb");
    };
    ktTest::writeAll(archive(), "the earlier archive");

    ASSERT_TRUE(zipFiles(archive().c_str(), inputs, open));
    const auto entries = readArchive(archive());
    ASSERT_TRUE(entries);
    std::vector<std::string> expectedNames = {"before"};
    for (const Case& c : cases) {
        if (c.entry) {
            expectedNames.push_back(fs::path(c.path).filename().string());
        }
    }
    expectedNames.push_back("after");
    ASSERT_EQ(names(*entries), expectedNames);
    size_t at = 1;
    for (const Case& c : cases) {
        EXPECT_TRUE(ktTest::logHas("error in reading " + c.path)) << c.path;
        if (c.entry) {
            EXPECT_TRUE((*entries)[at++].data == *c.entry) << c.path;
        }
    }
    EXPECT_EQ(entries->front().data, "before");
    EXPECT_EQ(entries->back().data, "after");
    EXPECT_EQ(leftovers(m_dir.path(), {"before", "after", "folder", "out.zip"}),
              std::vector<std::string>{});
}

// Appends to a file on the first archive write after it was armed: armed when an input is
// opened, that write is its entry's header, after the writer took the input's size and
// before it reads, as another process extending the file would.
class GrowOnNextArchiveWrite {
public:
    explicit GrowOnNextArchiveWrite(const std::string& path)
    {
        s_path = path;
        s_armed = false;
        ktzip::g_wrapArchiveIo = wrap;
    }
    ~GrowOnNextArchiveWrite() { ktzip::g_wrapArchiveIo = nullptr; }
    static void arm() { s_armed = true; }

private:
    static void wrap(zlib_filefunc64_def& io)
    {
        s_write = io.zwrite_file;
        io.zwrite_file = write;
    }
    static uLong ZCALLBACK write(voidpf opaque, voidpf stream, const void* buf, uLong size)
    {
        if (s_armed) {
            s_armed = false;
            ktTest::writeAll(s_path, ktTest::readAll(s_path) + " and more that came later");
        }
        return s_write(opaque, stream, buf, size);
    }
    static inline std::string s_path;
    static inline bool s_armed = false;
    static inline write_file_func s_write = nullptr;
};

TEST_F(ZipTest, AGrowingInputGoesInAtItsSizeWhenOpened)
{
    // From where the opener left it (the newest part of a file, say) up to that size, or up
    // to the size the opener judged it at, when it gives one: a file can grow between the
    // opener's look and the zip writer's. The input is longer than the first read, so the
    // rest is read after it grew.
    const std::string first = noise(100000, 7);
    struct Case {
        long from;
        std::optional<std::uint64_t> judged;
        std::string entry;
    };
    const Case cases[] = {
        {0, std::nullopt, first},
        {60000, std::nullopt, first.substr(60000)},
        {0, 50000, first.substr(0, 50000)},
        {60000, 90000, first.substr(60000, 30000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " " + std::to_string(c.judged.value_or(0)));
        const std::string grows = file("grows.log", first);
        const std::string next = file("next.log", "next");
        GrowOnNextArchiveWrite growing(grows);
        const ZipInputOpener open = [&](const std::string& p) -> ZipInput {
            std::FILE* f = std::fopen(p.c_str(), "rb");
            if (p == grows) {
                std::fseek(f, c.from, SEEK_SET);
                GrowOnNextArchiveWrite::arm();
                if (c.judged) {
                    return {f, *c.judged};
                }
            }
            return f;
        };
        ASSERT_TRUE(zipFiles(archive().c_str(), {grows, next}, open));
        ASSERT_EQ(ktTest::readAll(grows), first + " and more that came later");
        const auto entries = readArchive(archive());
        ASSERT_TRUE(entries);
        ASSERT_EQ(names(*entries), (std::vector<std::string>{"grows.log", "next.log"}));
        EXPECT_TRUE(entries->front().data == c.entry) << entries->front().data.size();
    }
}

} // namespace

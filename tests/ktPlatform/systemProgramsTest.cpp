#include "ktPlatform/process.h"
#include "ktPlatform/system.h"
#include "ktPlatform/systemPrograms.h"

#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

namespace fs = std::filesystem;
using ktPlatform::SystemCommand;
using Lines = std::vector<std::string>;

namespace {

void program(const std::string& path, fs::perms perms)
{
    fs::create_directories(fs::path(path).parent_path());
    ktTest::writeAll(path, "#!/bin/sh\n");
    fs::permissions(path, perms);
}

TEST(SystemPrograms, FoldersComeFromTheOverrideOrTheSystem)
{
    std::vector<std::string> folders;
    {
        ktTest::ScopedEnv unset("KTDIAG_SYSTEM_PROGRAMS_DIR", std::nullopt);
        ASSERT_TRUE(ktPlatform::systemProgramFolders(folders));
        EXPECT_EQ(folders, (Lines{"/usr/sbin", "/usr/bin", "/sbin", "/bin"}));
    }
    {
        ktTest::ScopedEnv forced("KTDIAG_SYSTEM_PROGRAMS_DIR", std::string("/fake/bin"));
        ASSERT_TRUE(ktPlatform::systemProgramFolders(folders));
        EXPECT_EQ(folders, Lines{"/fake/bin"});
    }
    {
        ktTest::ScopedEnv empty("KTDIAG_SYSTEM_PROGRAMS_DIR", std::string());
        folders = {"kept"};
        EXPECT_FALSE(ktPlatform::systemProgramFolders(folders));
        EXPECT_EQ(folders, Lines{"kept"});
    }
}

TEST(SystemPrograms, TheTableInOrder)
{
    const std::string f = "/nowhere";
    const struct {
        SystemCommand command;
        Lines lines;
    } cases[] = {
        {SystemCommand::ipconfig, {f + "/ip addr", f + "/cat /etc/resolv.conf"}},
        {SystemCommand::route, {f + "/ip route"}},
        {SystemCommand::driverquery, {f + "/cat /proc/modules"}},
        {SystemCommand::netstat, {f + "/ss -n -t"}},
        {SystemCommand::systeminfo,
         {f + "/uname -a", f + "/cat /etc/os-release", f + "/cat /proc/meminfo"}},
        {SystemCommand::installedPrograms,
         {f + "/dpkg-query -W -f=${Package}\\t${Version}\\t${Maintainer}\\n"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ktPlatform::systemCommandLines(c.command, {f}), c.lines);
    }
    // The format reaches dpkg-query as one argument, its escapes for dpkg-query to expand.
    const Lines argv = ktPlatform::splitCommandLine(
        ktPlatform::systemCommandLines(SystemCommand::installedPrograms, {f})[0]);
    EXPECT_EQ(argv,
              (Lines{f + "/dpkg-query", "-W", "-f=${Package}\\t${Version}\\t${Maintainer}\\n"}));
}

TEST(SystemPrograms, EachProgramFromTheFirstFolderThatHoldsIt)
{
    ktTest::TempDir dir;
    const std::string first = dir.path() + "/first";
    const std::string second = dir.path() + "/with blank";
    // Not executable in the first folder: the second one's is used.
    program(first + "/ip", fs::perms::owner_read | fs::perms::owner_write);
    program(second + "/ip", fs::perms::owner_all);
    program(second + "/cat", fs::perms::owner_all);
    fs::create_directories(first + "/uname");

    EXPECT_EQ(ktPlatform::systemCommandLines(SystemCommand::ipconfig, {first, second}),
              (Lines{"\"" + second + "/ip\" addr", "\"" + second + "/cat\" /etc/resolv.conf"}));
    // Found nowhere (a folder is no program): named in the first folder, so it fails to start.
    EXPECT_EQ(ktPlatform::systemCommandLines(SystemCommand::systeminfo, {first, second})[0],
              first + "/uname -a");
    const Lines argv = ktPlatform::splitCommandLine(
        ktPlatform::systemCommandLines(SystemCommand::route, {first, second})[0]);
    EXPECT_EQ(argv, (Lines{second + "/ip", "route"}));
}

TEST(System, ZoneOffsetOfTheMomentGiven)
{
    std::string winter, summer;
    {
        ktTest::ScopedEnv zone("TZ", std::string("EST5EDT,M3.2.0,M11.1.0"));
        ::tzset();
        EXPECT_TRUE(ktPlatform::localZoneOffset(1704067200, winter)); // 2024-01-01
        EXPECT_TRUE(ktPlatform::localZoneOffset(1719792000, summer)); // 2024-07-01
    }
    ::tzset();
    EXPECT_EQ(winter, "-0500");
    EXPECT_EQ(summer, "-0400");
}

} // namespace

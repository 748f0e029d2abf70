// The shared public folder: which folders root trusts with its log and outputs, and what
// becomes of what another account put at a name root makes new there.

#include "ktPlatform/sharedFiles.h"

#include "ktTest/scriptedSuffixes.h"
#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST(SharedFolder, TrustedOnlyWhereNoOtherAccountCanSwapItOrAFolderAbove)
{
    // Another account that may rename what a folder above holds can put a link of its own in
    // place of the public folder after the check: every level up to "/" must be root's or
    // ours, open to others only with the sticky bit, and to its group only with the sticky bit
    // or where nobody but root, us and system accounts is in that group (as on Ubuntu, whose
    // /var/log is root:syslog 0775). A refusal names the folder at fault and why, and nothing
    // is made below it.
    KT_TEST_ACCOUNT_OR_SKIP(account);       // a system account, in kTestAccountGroup
    KT_TEST_PERSON_ACCOUNT_OR_SKIP(person); // in kPersonAccountGroup
    enum class Owner { root, account };
    struct Case {
        const char* what;
        unsigned parentMode; // of <tree>/a/b, the public folder's parent
        Owner parentOwner;
        std::string parentGroup;
        unsigned grandparentMode; // of <tree>/a
        bool throughAccountsLink; // the parent named through a link of the account's
        std::string refusal;      // empty: trusted; else the folder at fault and why
    };
    const std::string a = "<tree>/a";
    const std::string b = "<tree>/a/b";
    const Case cases[] = {
        {"parent 0755", 0755, Owner::root, "root", 0755, false, ""},
        {"parent 1777", 01777, Owner::root, "root", 0755, false, ""},
        {"parent 0777", 0777, Owner::root, "root", 0755, false,
         b + " may be changed by every account"},
        {"parent 0775 of group root", 0775, Owner::root, "root", 0755, false, ""},
        {"parent 0775 of a system account's own group", 0775, Owner::root, account.name, 0755,
         false, ""},
        {"parent 0775 of a group that lists a system account", 0775, Owner::root,
         ktTest::kTestAccountGroup, 0755, false, ""},
        {"parent 0775 of a person's own group", 0775, Owner::root, person.name, 0755, false,
         b + " may be changed by group " + person.name + ", which " + person.name + " is in"},
        {"parent 0775 of a group that lists a person", 0775, Owner::root,
         ktTest::kPersonAccountGroup, 0755, false,
         b + " may be changed by group " + ktTest::kPersonAccountGroup + ", which " + person.name +
             " is in"},
        {"parent 1775 of a group that lists a person", 01775, Owner::root,
         ktTest::kPersonAccountGroup, 0755, false, ""},
        {"parent of another account's", 0755, Owner::account, "root", 0755, false,
         b + " may be changed by account " + account.name},
        {"grandparent 0777", 0755, Owner::root, "root", 0777, false,
         a + " may be changed by every account"},
        {"grandparent 1777", 0755, Owner::root, "root", 01777, false, ""},
        {"parent named through another account's link", 0755, Owner::root, "root", 01777, true,
         "<tree>/a/link is a link of account " + account.name},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ktTest::TempDir tree;
        ::chmod(tree.path().c_str(), 0755);
        const std::string parent = tree.path() + "/a/b";
        fs::create_directories(parent);
        ::chmod((tree.path() + "/a").c_str(), c.grandparentMode);
        const struct group* group = ::getgrnam(c.parentGroup.c_str());
        ASSERT_NE(group, nullptr) << c.parentGroup;
        ASSERT_EQ(::chown(parent.c_str(), 0, group->gr_gid), 0);
        ::chmod(parent.c_str(), c.parentMode);
        if (c.parentOwner == Owner::account) {
            ktTest::chownTo(parent, account);
        }
        std::string folder = parent + "/Kestrani";
        if (c.throughAccountsLink) {
            fs::create_directory_symlink(parent, tree.path() + "/a/link");
            ktTest::chownTo(tree.path() + "/a/link", account);
            folder = tree.path() + "/a/link/Kestrani";
        }
        std::string why;
        EXPECT_EQ(ktPlatform::createSharedFolder(folder, &why), c.refusal.empty());
        if (c.refusal.empty()) {
            EXPECT_TRUE(ktPlatform::isTrustedSharedFolder(folder));
            continue;
        }
        EXPECT_EQ(errno, EPERM);
        const std::string refusal =
            std::regex_replace(c.refusal, std::regex("<tree>"), tree.path());
        EXPECT_EQ(why, refusal);
        EXPECT_FALSE(fs::exists(parent + "/Kestrani")) << "made before it was judged";
        // A folder made there by someone else is refused all the same.
        fs::create_directory(parent + "/Kestrani");
        errno = 0;
        why.clear();
        EXPECT_FALSE(ktPlatform::isTrustedSharedFolder(folder, &why));
        EXPECT_EQ(errno, EACCES);
        EXPECT_EQ(why, refusal);
    }
}

TEST(SharedFolder, RootsLinkIsTrustedOnlyWhereItsTargetIs)
{
    // An administrator's link to a folder elsewhere: the folders above the target count too.
    struct Case {
        const char* what;
        unsigned targetParentMode;
        bool trusted;
    };
    const Case cases[] = {
        {"target below a folder of 0755", 0755, true},
        {"target below a folder of 0777", 0777, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ktTest::TempDir tree;
        ::chmod(tree.path().c_str(), 0755);
        fs::create_directories(tree.path() + "/elsewhere/target");
        ::chmod((tree.path() + "/elsewhere").c_str(), c.targetParentMode);
        fs::create_directories(tree.path() + "/public");
        const std::string folder = tree.path() + "/public/Kestrani";
        fs::create_directory_symlink(tree.path() + "/elsewhere/target", folder);
        EXPECT_EQ(ktPlatform::isTrustedSharedFolder(folder), c.trusted);
    }
}

struct Seen {
    bool exists = false;
    ino_t inode = 0;
    uid_t owner = 0;
    nlink_t links = 0;
    mode_t type = 0;
};

Seen seen(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return {};
    }
    return {true, st.st_ino, st.st_uid, st.st_nlink, static_cast<mode_t>(st.st_mode & S_IFMT)};
}

TEST(SharedFile, WhatHoldsItsNameIsKeptAsideOrLosesOnlyThatName)
{
    // Root makes a command output new in a sticky folder that every account writes. What
    // another account put at the name first is never deleted: its only copy of a file, or a
    // folder, is renamed to a hidden name beside it, never over one already there; a link, a
    // FIFO or a second name only loses that name, whatever it leads to stays. Root's own
    // earlier output is removed.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    enum class Planted { rootsOutput, accountsFile, secondName, link, folder, fifo };
    struct Case {
        const char* what;
        Planted planted;
        bool firstHiddenNameTaken;
        bool keptAside; // else gone
    };
    const Case cases[] = {
        {"root's earlier output", Planted::rootsOutput, false, false},
        {"the account's only copy of a file", Planted::accountsFile, false, true},
        {"the same, its first hidden name taken", Planted::accountsFile, true, true},
        {"a second name of the account's file", Planted::secondName, false, false},
        {"a link", Planted::link, false, false},
        {"a folder", Planted::folder, false, true},
        {"the same, its first hidden name taken", Planted::folder, true, true},
        {"a FIFO", Planted::fifo, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ktTest::TempDir tree;
        ::chmod(tree.path().c_str(), 0755);
        const std::string folder = tree.path() + "/shared";
        fs::create_directory(folder);
        ::chmod(folder.c_str(), 01777);
        const std::string elsewhere = tree.path() + "/elsewhere";
        ktTest::writeAll(elsewhere, "the account's other file");
        ktTest::chownTo(elsewhere, account);
        const std::string name = folder + "/out.log";
        switch (c.planted) {
        case Planted::rootsOutput:
        case Planted::accountsFile:
            ktTest::writeAll(name, "earlier content");
            break;
        case Planted::secondName:
            fs::create_hard_link(elsewhere, name);
            break;
        case Planted::link:
            fs::create_symlink(elsewhere, name);
            break;
        case Planted::folder:
            fs::create_directory(name);
            ktTest::writeAll(name + "/inside", "earlier content");
            break;
        case Planted::fifo:
            ASSERT_EQ(::mkfifo(name.c_str(), 0666), 0);
            break;
        }
        if (c.planted != Planted::rootsOutput) {
            ktTest::chownTo(name, account);
        }
        const std::string taken = folder + "/.out.log.Taken1";
        if (c.firstHiddenNameTaken) {
            ktTest::writeAll(taken, "already there");
        }
        const Seen before = seen(name);
        const Seen takenBefore = seen(taken);

        int fd = -1;
        {
            const ktTest::ScriptedSuffixes suffixes({"Taken1", "Fresh1"});
            fd = ktPlatform::createSharedFile(name, 0600);
        }
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ::close(fd);

        // A new, private, empty file of root's at the name.
        const Seen made = seen(name);
        EXPECT_EQ(made.type, S_IFREG);
        EXPECT_EQ(made.owner, 0u);
        EXPECT_EQ(made.links, 1u);
        EXPECT_EQ(fs::status(name).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(ktTest::readAll(name), "");
        // What was there: aside under the first hidden name free, whole, or gone.
        const std::string aside =
            folder + (c.firstHiddenNameTaken ? "/.out.log.Fresh1" : "/.out.log.Taken1");
        const Seen moved = seen(aside);
        EXPECT_EQ(moved.exists, c.keptAside);
        if (c.keptAside) {
            EXPECT_EQ(moved.inode, before.inode);
            EXPECT_EQ(moved.owner, account.uid);
            EXPECT_EQ(ktTest::readAll(aside + (c.planted == Planted::folder ? "/inside" : "")),
                      "earlier content");
        }
        if (c.firstHiddenNameTaken) {
            EXPECT_EQ(seen(taken).inode, takenBefore.inode);
            EXPECT_EQ(ktTest::readAll(taken), "already there");
        }
        // Whatever a link or a second name led to stays as it was.
        EXPECT_EQ(ktTest::readAll(elsewhere), "the account's other file");
        EXPECT_EQ(seen(elsewhere).links, 1u);
        std::vector<std::string> hidden;
        for (const auto& e : fs::directory_iterator(folder)) {
            if (e.path().filename().string()[0] == '.') {
                hidden.push_back(e.path().filename().string());
            }
        }
        EXPECT_EQ(hidden.size(), (c.keptAside ? 1u : 0u) + (c.firstHiddenNameTaken ? 1u : 0u));
    }
}

} // namespace

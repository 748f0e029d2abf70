// The shared public folder: which folders root trusts with its log and outputs.

#include "ktPlatform/sharedFiles.h"

#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

TEST(SharedFolder, TrustedOnlyWhereNoOtherAccountCanSwapItOrAFolderAbove)
{
    // Another account that may rename what a folder above holds can put a link of its own in
    // place of the public folder after the check: every level up to "/" must be root's or
    // ours, and open to others only with the sticky bit.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    enum class Owner { root, account };
    struct Case {
        const char* what;
        unsigned parentMode; // of <tree>/a/b, the public folder's parent
        Owner parentOwner;
        unsigned grandparentMode; // of <tree>/a
        bool throughAccountsLink; // the parent named through a link of the account's
        bool trusted;
    };
    const Case cases[] = {
        {"parent 0755", 0755, Owner::root, 0755, false, true},
        {"parent 1777", 01777, Owner::root, 0755, false, true},
        {"parent 0777", 0777, Owner::root, 0755, false, false},
        {"parent 0775, group-writable", 0775, Owner::root, 0755, false, false},
        {"parent 1770, group-writable with the sticky bit", 01770, Owner::root, 0755, false, true},
        {"parent of another account's", 0755, Owner::account, 0755, false, false},
        {"grandparent 0777", 0755, Owner::root, 0777, false, false},
        {"grandparent 1777", 0755, Owner::root, 01777, false, true},
        {"parent named through another account's link", 0755, Owner::root, 01777, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ktTest::TempDir tree;
        ::chmod(tree.path().c_str(), 0755);
        const std::string a = tree.path() + "/a";
        const std::string parent = a + "/b";
        fs::create_directories(parent + "/Kestrani");
        ::chmod(a.c_str(), c.grandparentMode);
        ::chmod(parent.c_str(), c.parentMode);
        if (c.parentOwner == Owner::account) {
            ktTest::chownTo(parent, account);
        }
        std::string folder = parent + "/Kestrani";
        if (c.throughAccountsLink) {
            fs::create_directory_symlink(parent, a + "/link");
            ktTest::chownTo(a + "/link", account);
            folder = a + "/link/Kestrani";
        }
        errno = 0;
        EXPECT_EQ(ktPlatform::isTrustedSharedFolder(folder), c.trusted);
        if (!c.trusted) {
            EXPECT_EQ(errno, EACCES);
        }
        EXPECT_EQ(ktPlatform::createSharedFolder(folder), c.trusted);
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

} // namespace

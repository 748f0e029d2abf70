// Names in the shared folders that another account may have taken first: what holds one is
// moved out of the way, never followed, read or changed.

#include "ktPlatform/sharedFiles.h"

#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"

#include "groupMembers.h"
#include "identity.h"
#include "posixFiles.h"
#include "sharedEntry.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ktPlatform {

namespace {

constexpr int kAttempts = 8;

std::atomic<MovedAsideSink> g_movedAsideSink{nullptr};
std::atomic<SharedRenameHook> g_beforeSharedRename{nullptr};

void tellMovedAside(const std::string& from, const std::string& to)
{
    if (const MovedAsideSink sink = g_movedAsideSink.load()) {
        sink(from, to);
    }
}

// What is kept, under a hidden name, when it leaves a shared name: a folder, or a regular
// file with one name (someone's only copy). Anything else only loses that name.
bool isKeptAside(const struct stat& st)
{
    return S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink == 1);
}

// Why level, a folder above a shared folder as lstat or stat found it, lets an account other
// than root or the running account rename or replace what it holds; nullopt when none can.
// A link on the way must be root's or ours, as another account could point its own elsewhere
// at any time. Writable by others only with the sticky bit; by its group only with the
// sticky bit or where that group holds nobody but root, us and system accounts (Ubuntu's
// /var/log is root:syslog 0775).
std::optional<std::string> refusalOfFolderAbove(const std::string& level, const struct stat& st)
{
    if (S_ISLNK(st.st_mode)) {
        if (ownedByRootOrUs(st)) {
            return std::nullopt;
        }
        return level + " is a link of account " + accountName(st.st_uid);
    }
    if (!S_ISDIR(st.st_mode)) {
        return level + " is not a folder";
    }
    if (!ownedByRootOrUs(st)) {
        return level + " may be changed by account " + accountName(st.st_uid);
    }
    if ((st.st_mode & S_ISVTX) != 0) {
        return std::nullopt;
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        return level + " may be changed by every account";
    }
    if ((st.st_mode & S_IWGRP) != 0) {
        if (const std::optional<std::string> person = personInGroup(st.st_gid)) {
            return level + " may be changed by group " + groupName(st.st_gid) + ", which " +
                   *person + " is in";
        }
    }
    return std::nullopt;
}

// The refusal of what the lookup of path failed with.
std::string refusalOfError(const std::string& path, int error)
{
    std::string refusal = path + ": " + errorText(error);
    errno = error;
    return refusal;
}

// True without a refusal; else false with it in why (when given) and errno kept.
bool accepted(std::optional<std::string> refusal, std::string* why)
{
    if (!refusal) {
        return true;
    }
    const int error = errno;
    if (why != nullptr) {
        *why = std::move(*refusal);
    }
    errno = error;
    return false;
}

// Every folder above path, up to "/", both as the path names them and as they resolve
// (path itself need not exist yet), so no other account can swap path, or a folder on the
// way, after the check. nullopt when all are safe; else why not, with errno set (EACCES for
// a folder another account could change).
std::optional<std::string> refusalOfFoldersAbove(const std::string& path)
{
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr) {
            return refusalOfError(".", errno);
        }
        absolute = std::string(cwd) + "/" + absolute;
        std::free(cwd);
    }
    std::string real;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        real = resolved;
        std::free(resolved);
    } else if (errno != ENOENT) {
        return refusalOfError(path, errno);
    } else if (char* parent = ::realpath(folderOf(absolute).c_str(), nullptr)) {
        // Not made yet: what it would be made in.
        real = std::string(parent) + "/" + baseOf(absolute);
        std::free(parent);
    } else {
        return refusalOfError(folderOf(absolute), errno);
    }
    const auto levelsAbove = [](const std::string& p, bool followed) -> std::optional<std::string> {
        for (std::string::size_type slash = p.rfind('/'); slash != std::string::npos;
             slash = slash == 0 ? std::string::npos : p.rfind('/', slash - 1)) {
            const std::string level = slash == 0 ? "/" : p.substr(0, slash);
            if (level.size() > 1 && level.back() == '/') {
                continue; // "a//b": the same level as "a/b"
            }
            struct stat st {};
            if ((followed ? ::stat(level.c_str(), &st) : ::lstat(level.c_str(), &st)) != 0) {
                return refusalOfError(level, errno);
            }
            if (std::optional<std::string> refusal = refusalOfFolderAbove(level, st)) {
                errno = EACCES;
                return refusal;
            }
        }
        return std::nullopt;
    };
    if (std::optional<std::string> refusal = levelsAbove(absolute, false)) {
        return refusal;
    }
    return levelsAbove(real, true);
}

// Why the shared folder at path may not be used, as isTrustedSharedFolder says.
std::optional<std::string> refusalOfSharedFolder(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return refusalOfError(path, errno);
    }
    if (S_ISLNK(st.st_mode)) {
        if (!ownedByRootOrUs(st)) {
            errno = EACCES;
            return path + " is a link of account " + accountName(st.st_uid);
        }
        if (::stat(path.c_str(), &st) != 0) {
            return refusalOfError(path, errno);
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return path + " is not a folder";
    }
    if (!ownedByRootOrUs(st)) {
        errno = EACCES;
        return path + " may be changed by account " + accountName(st.st_uid);
    }
    return refusalOfFoldersAbove(path);
}

} // namespace

bool ownedByRootOrUs(const struct stat& st)
{
    return st.st_uid == 0 || st.st_uid == ::geteuid();
}

bool isSharedModeFile(const struct stat& st)
{
    return S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0666 && ownedByRootOrUs(st);
}

bool moveAside(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (!isKeptAside(st)) {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string suffix = randomSuffix();
        if (suffix.empty()) {
            return false;
        }
        // Never over another name: what is there stays.
        const std::string aside = hiddenSibling(path, suffix);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            tellMovedAside(path, aside);
            return true;
        }
        if (errno == ENOENT) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

bool isTrustedSharedFolder(const std::string& path, std::string* why)
{
    return accepted(refusalOfSharedFolder(path), why);
}

bool mayMakeSharedFolder(const std::string& path, std::string* why)
{
    return accepted(refusalOfFoldersAbove(path), why);
}

namespace {

// True when the calling thread acts as root and path names an entry of the public folder,
// where any account may have made a name first.
bool isPublicEntryForRoot(const std::string& path)
{
    const std::optional<std::string> shared = publicFolder();
    struct stat folder {};
    struct stat sharedFolder {};
    return currentFsUid() == 0 && shared && ::stat(folderOf(path).c_str(), &folder) == 0 &&
           ::stat(shared->c_str(), &sharedFolder) == 0 && folder.st_dev == sharedFolder.st_dev &&
           folder.st_ino == sharedFolder.st_ino;
}

// Frees path for a new file: the calling account's own earlier file with one name there is
// deleted; anything else an account acting as root moves aside (moveAside: another
// account's only copy of a file, or a folder, is kept); any other account fails with
// EEXIST. True when nothing is at path afterwards.
bool freeNameForNew(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == currentFsUid()) {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }
    if (currentFsUid() != 0) {
        errno = EEXIST;
        return false;
    }
    return moveAside(path);
}

// What held name until the exchange put a file there, now at the hidden name outAt: the
// calling account's own earlier file with one name is deleted; another account's only copy
// of a file, or a folder, stays there, aside; anything else (a link, a FIFO, a second name)
// loses that name.
void settleSwappedOut(const std::string& outAt, const std::string& name)
{
    struct stat st {};
    if (::lstat(outAt.c_str(), &st) != 0) {
        return;
    }
    if (isKeptAside(st) && !(S_ISREG(st.st_mode) && st.st_uid == currentFsUid())) {
        tellMovedAside(name, outAt);
        return;
    }
    ::unlink(outAt.c_str());
}

} // namespace

bool deleteSharedName(const std::string& path)
{
    if (!isPublicEntryForRoot(path)) {
        return deleteFile(path) || errno == ENOENT;
    }
    return freeNameForNew(path);
}

void setMovedAsideSink(MovedAsideSink sink)
{
    g_movedAsideSink.store(sink);
}

void setBeforeSharedRename(SharedRenameHook hook)
{
    g_beforeSharedRename.store(hook);
}

bool renameOntoSharedName(const std::string& from, const std::string& to)
{
    const auto beforeRename = [&to] {
        if (const SharedRenameHook hook = g_beforeSharedRename.load()) {
            hook(to);
        }
    };
    if (!isPublicEntryForRoot(to)) {
        beforeRename();
        return renameFile(from, to);
    }
    // Never over what another account put there: its file may be its only copy.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        beforeRename();
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
        // One step that puts the file in and what holds the name out at from, so an account
        // that plants the name again and again cannot keep the file from it.
        beforeRename();
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
            settleSwappedOut(from, to);
            return true;
        }
        if (errno == ENOENT) {
            continue; // the name was freed meanwhile
        }
        // A file system without the exchange: the name is freed first.
        if ((errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) || !freeNameForNew(to)) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

int createSharedFile(const std::string& path, unsigned mode)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(mode)));
        if (fd.get() >= 0) {
            // The umask may have narrowed it; never widened beyond mode.
            ::fchmod(fd.get(), static_cast<mode_t>(mode));
            return fd.release();
        }
        if (errno != EEXIST || !freeNameForNew(path)) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

} // namespace ktPlatform

// Names in the shared folders that another account may have taken first: what holds one is
// moved out of the way, never followed, read or changed.

#include "ktPlatform/sharedFiles.h"

#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"

#include "identity.h"
#include "posixFiles.h"
#include "sharedEntry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

constexpr int kAttempts = 8;

// A folder above a shared folder: nobody but root or the running account can rename or
// replace what it holds. Writable by group or others only with the sticky bit.
bool isSafeFolderAbove(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && ownedByRootOrUs(st) &&
           ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

// Every folder above path, up to "/", both as the path names them (a link on the way must
// be root's or ours, as another account could point its own elsewhere at any time) and as
// they resolve, so no other account can swap path, or a folder on the way, after the check.
// False with errno set (EACCES for a folder another account could change).
bool foldersAboveAreSafe(const std::string& path)
{
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr) {
            return false;
        }
        absolute = std::string(cwd) + "/" + absolute;
        std::free(cwd);
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return false;
    }
    const std::string real(resolved);
    std::free(resolved);
    const auto levelsAbove = [](const std::string& p, bool followed) {
        for (std::string::size_type slash = p.rfind('/'); slash != std::string::npos;
             slash = slash == 0 ? std::string::npos : p.rfind('/', slash - 1)) {
            const std::string level = slash == 0 ? "/" : p.substr(0, slash);
            if (level.size() > 1 && level.back() == '/') {
                continue; // "a//b": the same level as "a/b"
            }
            struct stat st {};
            if ((followed ? ::stat(level.c_str(), &st) : ::lstat(level.c_str(), &st)) != 0) {
                return false;
            }
            const bool ok = S_ISLNK(st.st_mode) ? ownedByRootOrUs(st) : isSafeFolderAbove(st);
            if (!ok) {
                errno = EACCES;
                return false;
            }
        }
        return true;
    };
    return levelsAbove(absolute, false) && levelsAbove(real, true);
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
    if (!S_ISDIR(st.st_mode) && !(S_ISREG(st.st_mode) && st.st_nlink == 1)) {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string suffix = randomSuffix();
        if (suffix.empty()) {
            return false;
        }
        // Never over another name: what is there stays.
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, hiddenSibling(path, suffix).c_str(),
                        RENAME_NOREPLACE) == 0) {
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

bool isTrustedSharedFolder(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        if (!ownedByRootOrUs(st)) {
            errno = EACCES;
            return false;
        }
        if (::stat(path.c_str(), &st) != 0) {
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    if (!ownedByRootOrUs(st)) {
        errno = EACCES;
        return false;
    }
    return foldersAboveAreSafe(path);
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

} // namespace

bool deleteSharedName(const std::string& path)
{
    if (!isPublicEntryForRoot(path)) {
        return deleteFile(path) || errno == ENOENT;
    }
    return freeNameForNew(path);
}

bool renameOntoSharedName(const std::string& from, const std::string& to)
{
    if (!isPublicEntryForRoot(to)) {
        return renameFile(from, to);
    }
    // Never over what another account put there: its file may be its only copy.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EEXIST || !freeNameForNew(to)) {
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

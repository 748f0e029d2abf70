// Names in the shared folders that another account may have taken first: what holds one is
// moved out of the way, never followed, read or changed.

#include "ktPlatform/sharedFiles.h"

#include "identity.h"
#include "posixFiles.h"
#include "sharedEntry.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

constexpr int kAttempts = 8;

bool ownedByRootOrUs(const struct stat& st)
{
    return st.st_uid == 0 || st.st_uid == ::geteuid();
}

} // namespace

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
    return true;
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
        if (errno != EEXIST) {
            return -1;
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            return -1;
        }
        if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == currentFsUid()) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                return -1;
            }
            continue;
        }
        if (currentFsUid() != 0) {
            errno = EEXIST;
            return -1;
        }
        if (!moveAside(path)) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

} // namespace ktPlatform

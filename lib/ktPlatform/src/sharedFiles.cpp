#include "ktPlatform/sharedFiles.h"

#include "ktPlatform/files.h"

#include "identity.h"
#include "posixFiles.h"
#include "sharedEntry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

constexpr mode_t kSharedFolderMode = 01777;
constexpr mode_t kSharedFileMode = 0666;

constexpr int kAttempts = 8;

// Why what lstat found at a name is not a file to use.
int refusalOf(const struct stat& st)
{
    if (S_ISLNK(st.st_mode)) {
        return ELOOP;
    }
    if (S_ISDIR(st.st_mode)) {
        return EISDIR;
    }
    return S_ISREG(st.st_mode) ? EMLINK : EINVAL;
}

bool isSoleRegularFile(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// A file at a shared name that may be written, truncated or given its mode: one with one
// name, or, in the shared folders, one whose every name is every account's already.
bool isUsable(const struct stat& st, bool shared)
{
    return isSoleRegularFile(st) || (shared && isSharedModeFile(st));
}

} // namespace

int openSharedEntry(const std::string& path, int access, bool create, mode_t mode,
                    bool replacePlanted)
{
    // O_NONBLOCK keeps a FIFO swapped in meanwhile from blocking the open; it is cleared for
    // the regular file. What is at the name is judged by lstat, never by the open's error:
    // the kernel gives EACCES, EISDIR, ELOOP or ENXIO for the same planted things.
    const int flags = access | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    bool replace = false;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        struct stat seen {};
        Fd fd;
        if (::lstat(path.c_str(), &seen) != 0) {
            if (errno != ENOENT) {
                return -1;
            }
            if (!create && !replace) {
                return -1;
            }
            // Only a new file is made: with O_CREAT on an existing file of another account
            // in the sticky folder, the kernel refuses even root.
            fd.reset(::open(path.c_str(), flags | O_CREAT | O_EXCL, mode));
            if (fd.get() < 0 && errno != EEXIST) {
                return -1;
            }
        } else if (isUsable(seen, replacePlanted)) {
            fd.reset(::open(path.c_str(), flags));
            if (fd.get() < 0) {
                const int refused = errno;
                struct stat now {};
                // Still the same file: the open's refusal is the answer (no permission).
                if (::lstat(path.c_str(), &now) == 0 && now.st_ino == seen.st_ino &&
                    now.st_dev == seen.st_dev && isUsable(now, replacePlanted)) {
                    errno = refused;
                    return -1;
                }
            }
        } else if (!replacePlanted || currentFsUid() != 0) {
            // Not ours to move: nothing is written through it.
            errno = refusalOf(seen);
            return -1;
        } else {
            if (!moveAside(path)) {
                return -1;
            }
            replace = true;
        }
        if (fd.get() < 0) {
            continue; // the name changed meanwhile: look again
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            return -1;
        }
        if (!isUsable(st, replacePlanted)) {
            continue; // swapped after lstat: judged again by name
        }
        const int fl = ::fcntl(fd.get(), F_GETFL);
        if (fl >= 0) {
            ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
        }
        if (st.st_uid == currentFsUid() && (st.st_mode & 07777) != mode) {
            // Best effort: the file is still used when its mode cannot be set.
            ::fchmod(fd.get(), mode);
        }
        return fd.release();
    }
    errno = EAGAIN;
    return -1;
}

off_t newestLinesStart(int fd, std::uint64_t size, std::uint64_t maxBytes)
{
    if (size <= maxBytes) {
        return 0;
    }
    const off_t cut = static_cast<off_t>(size - maxBytes);
    char buffer[64 * 1024 + 1];
    // The byte before the cut, then what follows it.
    ssize_t n = -1;
    do {
        n = ::pread(fd, buffer, sizeof(buffer), cut - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || buffer[0] == '\n') {
        return cut;
    }
    if (const void* end = std::memchr(buffer + 1, '\n', static_cast<std::size_t>(n - 1))) {
        return cut + static_cast<off_t>(static_cast<const char*>(end) - buffer);
    }
    return cut;
}

bool createSharedFolder(const std::string& path, std::string* why)
{
    // Judged before anything is made: a folder made below another account's link or folder
    // would be root's file where that account chose.
    if (!mayMakeSharedFolder(path, why)) {
        if (errno == EACCES) {
            errno = EPERM;
        }
        return false;
    }
    // Made private first: it is opened to everyone only once it is known to be ours.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    // Another account's folder or link there would lead root's files where it chose.
    if (!isTrustedSharedFolder(path, why)) {
        errno = EPERM;
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A link (ENOTDIR with O_DIRECTORY, else ELOOP), trusted above: used as it is.
        return errno == ENOTDIR || errno == ELOOP;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && st.st_uid == currentFsUid() && (st.st_mode & 07777) != kSharedFolderMode) {
        ok = ::fchmod(fd, kSharedFolderMode) == 0;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

std::FILE* openSharedFileForAppend(const std::string& path)
{
    const int fd = openSharedEntry(path, O_WRONLY | O_APPEND, true, kSharedFileMode, true);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "a");
    if (file == nullptr) {
        closeDescriptor(fd);
    }
    return file;
}

bool copySharedFileTail(const std::string& src, const std::string& dst, std::uint64_t maxBytes)
{
    Fd in(::open(src.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) {
        return false;
    }
    // A second name could be another account's private file: its bytes stay where they are.
    if (!isUsable(st, true)) {
        errno = S_ISREG(st.st_mode) ? EMLINK : EINVAL;
        return false;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    off_t at = newestLinesStart(in.get(), size, maxBytes);
    std::uint64_t left = size - static_cast<std::uint64_t>(at);
    // Written in place, not replaced: in the sticky folder an account may not rename over
    // another account's file, but every account may write the 0666 file.
    const Fd out(openSharedEntry(dst, O_WRONLY, true, kSharedFileMode, true));
    if (out.get() < 0 || ::ftruncate(out.get(), 0) != 0) {
        return false;
    }
    char buffer[64 * 1024];
    while (left > 0) {
        const ssize_t n =
            ::pread(in.get(), buffer,
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof(buffer))), at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break; // emptied meanwhile: what was read is the copy
        }
        if (!writeAll(out.get(), buffer, static_cast<std::size_t>(n))) {
            return false;
        }
        at += n;
        left -= static_cast<std::uint64_t>(n);
    }
    return true;
}

bool emptySharedFile(const std::string& path)
{
    const Fd fd(openSharedEntry(path, O_WRONLY, false, kSharedFileMode, true));
    return fd.get() >= 0 && ::ftruncate(fd.get(), 0) == 0;
}

} // namespace ktPlatform

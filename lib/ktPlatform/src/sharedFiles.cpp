#include "ktPlatform/sharedFiles.h"

#include "ktPlatform/files.h"
#include "identity.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

constexpr mode_t kSharedFolderMode = 01777;
constexpr mode_t kSharedFileMode = 0666;

} // namespace

bool createSharedFolder(const std::string& path)
{
    // Made private first: it is opened to everyone only once it is known to be ours.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ELOOP) {
            return false;
        }
        // A link is not ours to change; it must lead to a folder.
        struct stat target {};
        if (::stat(path.c_str(), &target) != 0) {
            return false;
        }
        if (!S_ISDIR(target.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        return true;
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
    std::FILE* file = openFileNoFollow(path, "a");
    if (file == nullptr) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(::fileno(file), &st) == 0 && st.st_uid == currentFsUid() &&
        (st.st_mode & 07777) != kSharedFileMode) {
        // Best effort: the line still goes in when the mode cannot be set.
        ::fchmod(::fileno(file), kSharedFileMode);
    }
    return file;
}

} // namespace ktPlatform

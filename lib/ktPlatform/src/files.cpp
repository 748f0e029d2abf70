#include "ktPlatform/files.h"

#include "posixFiles.h"
#include "sharedEntry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ktPlatform {

namespace {

bool parseMode(const char* mode, int& flags)
{
    if (mode == nullptr) {
        return false;
    }
    const bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        flags = plus ? O_RDWR : O_RDONLY;
        return true;
    case 'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        return true;
    case 'a':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        return true;
    default:
        return false;
    }
}

OpenFileInfo fileInfoOf(const struct stat& st)
{
    OpenFileInfo info{};
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.volume = static_cast<std::uint64_t>(st.st_dev);
    info.index = static_cast<std::uint64_t>(st.st_ino);
    info.modified = static_cast<std::int64_t>(st.st_mtime);
    info.modifiedNanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    info.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec);
    info.changedNanoseconds = static_cast<std::int64_t>(st.st_ctim.tv_nsec);
    info.links = static_cast<std::uint64_t>(st.st_nlink);
    info.owner = static_cast<std::uint32_t>(st.st_uid);
    info.allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
    info.sharedMode = isSharedModeFile(st);
    info.permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
    return info;
}

mode_t currentUmask()
{
    const mode_t old = ::umask(0);
    ::umask(old);
    return old;
}

// A temporary file beside target, for a write that ends in a rename.
class TempSibling {
public:
    explicit TempSibling(const std::string& target) : m_path(hiddenSibling(target, "XXXXXX"))
    {
        m_fd = ::mkostemp(&m_path[0], O_CLOEXEC);
        m_created = m_fd >= 0;
    }
    ~TempSibling()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (m_created && !m_committed) {
            const int saved = errno;
            ::unlink(m_path.c_str());
            errno = saved;
        }
    }
    TempSibling(const TempSibling&) = delete;
    TempSibling& operator=(const TempSibling&) = delete;

    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Flushes, closes (checking the result) and renames over target.
    bool commit(const std::string& target, mode_t mode, const struct stat* old)
    {
        if (old != nullptr && ::geteuid() == 0) {
            // Best effort: keep the owner of the file being replaced.
            if (::fchown(m_fd, old->st_uid, old->st_gid) != 0) {
                // Not fatal: the content matters more than the owner.
            }
        }
        if (::fchmod(m_fd, mode) != 0 || ::fsync(m_fd) != 0) {
            return false;
        }
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            return false;
        }
        if (::rename(m_path.c_str(), target.c_str()) != 0) {
            return false;
        }
        m_committed = true;
        return true;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_created = false;
    bool m_committed = false;
};

// The mode to give a replacement: the old regular file's, else the default for new files.
mode_t replacementMode(const std::string& path, struct stat& st, bool& hadOld)
{
    hadOld = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (hadOld) {
        return st.st_mode & 07777;
    }
    return 0666 & ~currentUmask();
}

// Opens name relative to folderFd (AT_FDCWD: the current folder) as a regular file only.
std::FILE* openWith(int folderFd, const std::string& name, const char* mode, int extraFlags)
{
    int flags = 0;
    if (!parseMode(mode, flags)) {
        errno = EINVAL;
        return nullptr;
    }
    // O_NONBLOCK keeps a FIFO from blocking the open; it is cleared once the file is
    // known to be regular.
    const int fd =
        ::openat(folderFd, name.c_str(), flags | extraFlags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) {
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    std::FILE* f = ::fdopen(fd, mode);
    if (f == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return f;
}

// The levels of path below anchor, and the folder to start from: anchor when path lies
// below it (links up to and including anchor are the system's), else "/". False (EINVAL)
// for a relative path or a ".." level, which could climb out again.
bool levelsBelow(const std::string& anchor, const std::string& path, std::string& start,
                 std::vector<std::string>& levels)
{
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return false;
    }
    std::string base = anchor;
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    std::string rest;
    if (!base.empty() && base[0] == '/' && base != "/" &&
        (path == base || path.compare(0, base.size() + 1, base + "/") == 0)) {
        start = base;
        rest = path.substr(base.size());
    } else {
        start = "/";
        rest = path;
    }
    levels.clear();
    std::string::size_type from = 0;
    while (from <= rest.size()) {
        std::string::size_type to = rest.find('/', from);
        if (to == std::string::npos) {
            to = rest.size();
        }
        const std::string level = rest.substr(from, to - from);
        if (level == "..") {
            errno = EINVAL;
            return false;
        }
        if (!level.empty() && level != ".") {
            levels.push_back(level);
        }
        from = to + 1;
    }
    return true;
}

// The folder reached from start through levels, no link followed; -1 with errno set. The
// levels on the way are only passed through, which takes leave to search them, not to list
// them, as a path lookup does; the folder reached can be listed only when toList.
int openFolderThrough(const std::string& start, const std::vector<std::string>& levels,
                      std::size_t count, bool toList)
{
    const auto access = [&](std::size_t level) {
        return level == count && toList ? O_RDONLY : O_PATH;
    };
    Fd folder(::open(start.c_str(), access(0) | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t i = 0; i < count && folder.get() >= 0; ++i) {
        folder.reset(::openat(folder.get(), levels[i].c_str(),
                              access(i + 1) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return folder.release();
}
} // namespace

std::FILE* openFileNoFollow(const std::string& path, const char* mode)
{
    return openWith(AT_FDCWD, path, mode, O_NOFOLLOW);
}

std::FILE* openSingleNameFile(const std::string& path)
{
    std::FILE* file = openFileNoFollow(path, "rb");
    OpenFileInfo info{};
    if (file != nullptr && (!openFileInfo(file, info) || (info.links != 1 && !info.sharedMode))) {
        std::fclose(file);
        errno = EMLINK;
        return nullptr;
    }
    return file;
}

bool isSparseFileAnotherAccountMayWrite(const OpenFileInfo& info)
{
    const bool othersMayWrite = (info.permissions & (S_IWGRP | S_IWOTH)) != 0 ||
                                (info.owner != 0 && info.owner != ::geteuid());
    return othersMayWrite && info.allocated < info.size / 2;
}

std::int64_t streamPosition(std::FILE* file)
{
    return file == nullptr ? -1 : static_cast<std::int64_t>(::ftello(file));
}

bool seekToNewestLines(std::FILE* file, std::uint64_t size, std::uint64_t maxBytes)
{
    if (file == nullptr) {
        errno = EINVAL;
        return false;
    }
    return ::fseeko(file, newestLinesStart(::fileno(file), size, maxBytes), SEEK_SET) == 0;
}

std::FILE* openRegularFile(const std::string& path, const char* mode)
{
    return openWith(AT_FDCWD, path, mode, 0);
}

std::FILE* openFileBeneath(const std::string& anchor, const std::string& path)
{
    std::string start;
    std::vector<std::string> levels;
    if (!levelsBelow(anchor, path, start, levels)) {
        return nullptr;
    }
    if (levels.empty()) {
        errno = EISDIR;
        return nullptr;
    }
    const Fd folder(openFolderThrough(start, levels, levels.size() - 1, false));
    if (folder.get() < 0) {
        return nullptr;
    }
    return openWith(folder.get(), levels.back(), "rb", O_NOFOLLOW);
}

bool listFilesBeneath(const std::string& anchor, const std::string& folder,
                      std::vector<std::string>& names)
{
    std::string start;
    std::vector<std::string> levels;
    if (!levelsBelow(anchor, folder, start, levels)) {
        return false;
    }
    const int fd = openFolderThrough(start, levels, levels.size(), true);
    if (fd < 0) {
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    names.clear();
    errno = 0;
    while (const struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        struct stat st {};
        if (name != "." && name != ".." &&
            ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode)) {
            names.push_back(name);
        }
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    errno = readError;
    return readError == 0;
}

bool regularFileSize(const std::string& path, std::uint64_t& size)
{
    OpenFileInfo info{};
    if (!regularFileInfo(path, info)) {
        return false;
    }
    size = info.size;
    return true;
}

bool openFileInfo(std::FILE* file, OpenFileInfo& info)
{
    struct stat st {};
    if (file == nullptr) {
        errno = EBADF;
        return false;
    }
    if (::fstat(::fileno(file), &st) != 0) {
        return false;
    }
    info = fileInfoOf(st);
    return true;
}

bool regularFileInfo(const std::string& path, OpenFileInfo& info)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    info = fileInfoOf(st);
    return true;
}

bool fileModifiedTime(const std::string& path, std::int64_t& seconds)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return false;
    }
    seconds = static_cast<std::int64_t>(st.st_mtime);
    return true;
}

ReplaceStatus replaceFileAtomically(const std::string& path, const std::string& data)
{
    return replaceFileAtomically(path, data, std::string());
}

ReplaceStatus replaceFileAtomically(const std::string& path, const std::string& data,
                                    const std::string& modeOf)
{
    struct stat old {};
    bool hadOld = false;
    mode_t mode = replacementMode(path, old, hadOld);
    struct stat model {};
    if (!hadOld && !modeOf.empty() && ::lstat(modeOf.c_str(), &model) == 0 &&
        S_ISREG(model.st_mode)) {
        mode = model.st_mode & 07777;
    }
    TempSibling temp(path);
    if (!temp.ok()) {
        return ReplaceStatus::openFailed;
    }
    if (!writeAll(temp.fd(), data.data(), data.size()) ||
        !temp.commit(path, mode, hadOld ? &old : nullptr)) {
        return ReplaceStatus::writeFailed;
    }
    return ReplaceStatus::ok;
}

std::FILE* openDescriptor(int fd, const char* mode)
{
    return ::fdopen(fd, mode);
}

void closeDescriptor(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

bool flushToDisk(std::FILE* file)
{
    return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

bool renameFile(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool probeFolderWritable(const std::string& folder)
{
    std::string name = (folder.empty() ? std::string(".") : folder) + "/.ktdiag-probe-XXXXXX";
    const int fd = ::mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::unlink(name.c_str());
    return true;
}

bool deleteFile(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

bool createDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool createDirectoryTree(const std::string& path)
{
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        errno = S_ISDIR(st.st_mode) ? EEXIST : ENOTDIR;
        return false;
    }
    // Each level in turn; one made meanwhile by someone else is fine.
    std::string::size_type end = 0;
    while (end != std::string::npos) {
        end = path.find('/', end + 1);
        const std::string level = path.substr(0, end);
        if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
            return false;
        }
    }
    if (::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool shortPathName(const std::string& path, std::string& shortPath)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        if (path.empty()) {
            errno = ENOENT;
        }
        return false;
    }
    shortPath = path;
    return true;
}

std::string temporaryRoot()
{
    const char* tmp = std::getenv("TMPDIR");
    return (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
}

int lastError()
{
    return errno;
}

std::string errorText(int code)
{
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not live in buffer.
    return std::string(::strerror_r(code, buffer, sizeof(buffer)));
}

} // namespace ktPlatform

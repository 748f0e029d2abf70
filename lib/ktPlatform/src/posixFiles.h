#pragma once
// Descriptors and path pieces shared by the Linux files of the platform layer.

#include <cerrno>
#include <cstddef>
#include <string>
#include <unistd.h>

namespace ktPlatform {

// Owns one descriptor; closing it keeps errno.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd)
    {
        close();
        m_fd = fd;
    }

private:
    void close()
    {
        if (m_fd >= 0) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
    }

    int m_fd;
};

// Writes all of data, retrying interrupted writes; false with errno set.
inline bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The folder of path: "." without a "/", "/" for a name right below the root.
inline std::string folderOf(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

// The last element of path.
inline std::string baseOf(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of a temporary file beside path: "." + its last element + "." + suffix.
inline std::string hiddenSibling(const std::string& path, const std::string& suffix)
{
    return folderOf(path) + "/." + baseOf(path) + "." + suffix;
}

} // namespace ktPlatform

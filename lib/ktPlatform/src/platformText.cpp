#include "platformText.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

bool parseUnsigned(const std::string& text, std::uint64_t limit, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (v > (limit - digit) / 10) {
            return false;
        }
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

bool parseUint32(const std::string& text, std::uint32_t& value)
{
    std::uint64_t v = 0;
    if (!parseUnsigned(text, 0xFFFFFFFFu, v)) {
        return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

bool readSmallFile(const std::string& path, std::string& text, std::size_t limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return false;
    }
    // Files of /proc and /sys report a size of 0 or 4096: read to the end, bounded.
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        if (n == 0) {
            break;
        }
        if (data.size() + static_cast<std::size_t>(n) > limit) {
            ::close(fd);
            errno = EFBIG;
            return false;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    text.swap(data);
    return true;
}

std::string trimLineEnd(const std::string& text)
{
    std::string::size_type end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' ' ||
                       text[end - 1] == '\t')) {
        --end;
    }
    return text.substr(0, end);
}

} // namespace ktPlatform

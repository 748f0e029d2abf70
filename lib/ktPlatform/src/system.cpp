#include "ktPlatform/system.h"

#include <chrono>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace ktPlatform {

std::uint32_t currentProcessId()
{
    return static_cast<std::uint32_t>(::getpid());
}

std::uint32_t currentThreadId()
{
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

LocalTime localTime()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    ::localtime_r(&seconds, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,          tm.tm_hour,
                     tm.tm_min,         tm.tm_sec,     static_cast<int>(ms)};
}

bool localTimeOf(std::int64_t seconds, LocalTime& out)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr) {
        return false;
    }
    out = LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                    tm.tm_min,         tm.tm_sec,     0};
    return true;
}

bool localZoneOffset(std::int64_t seconds, std::string& text)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char buffer[16] = {};
    if (::localtime_r(&t, &tm) == nullptr ||
        std::strftime(buffer, sizeof(buffer), "%z", &tm) == 0) {
        return false;
    }
    text = buffer;
    return true;
}

bool hostName(std::string& name)
{
    char buffer[2048] = {};
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
        return false;
    }
    name = buffer;
    return true;
}

bool isWow64Process()
{
    return false;
}

} // namespace ktPlatform

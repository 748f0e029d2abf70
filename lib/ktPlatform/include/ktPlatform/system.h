#pragma once
// Process, thread, time and host facts.

#include <cstdint>
#include <string>

namespace ktPlatform {

// Stands for GetCurrentProcessId.
std::uint32_t currentProcessId();
// Stands for GetCurrentThreadId: the kernel thread id.
std::uint32_t currentThreadId();

struct LocalTime {
    int year, month, day, hour, minute, second, milliseconds;
};
// Stands for GetLocalTime.
LocalTime localTime();
// Stands for _localtime64_s: localtime_r of seconds since 1970 (milliseconds 0). False
// when the value cannot be converted.
bool localTimeOf(std::int64_t seconds, LocalTime& out);
// Stands for strftime's "%z" of _localtime64_s: the local zone's offset from UTC at that
// moment, as "+hhmm" or "-hhmm". False when the value cannot be converted.
bool localZoneOffset(std::int64_t seconds, std::string& text);

// Stands for gethostname on Windows Sockets: false with errno set on failure.
bool hostName(std::string& name);

// Stands for IsWow64Process: a native 64-bit process on Linux has no file-system
// redirection, so this is always false.
bool isWow64Process();

} // namespace ktPlatform

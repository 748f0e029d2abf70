#include "ktUtils/version.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/registry.h"

#include <cstdint>
#include <cstdio>

static const char* const kLogModule = "ktUtils";

bool getKernel32FileVersion(unsigned int& major, unsigned int& minor)
{
    std::uint32_t high = 0;
    std::uint32_t low = 0;
    if (!ktPlatform::systemFileVersion(high, low)) {
        KTLOG(KT_LOG_ERROR, "Query failed to get file version of kernel32.dll with error: %d",
              ktPlatform::lastError());
        return false;
    }
    major = high & 0xFF;
    minor = low & 0xFF;
    return true;
}

bool getOSVersionNumber(std::string& version)
{
    unsigned int major = 0;
    unsigned int minor = 0;
    getKernel32FileVersion(major, minor);
    char buffer[260] = {};
    std::snprintf(buffer, sizeof(buffer), "%d.%d", static_cast<int>(major),
                  static_cast<int>(minor));
    version = buffer;
    return true;
}

bool isWindowsServer()
{
    return !ktPlatform::isWorkstationProduct();
}

std::string getOSVersionString()
{
    std::string number;
    getOSVersionNumber(number);
    const char* format = isWindowsServer() ? "Windows Server %s" : "Windows NT %s";
    char buffer[2048] = {};
    std::snprintf(buffer, sizeof(buffer), format, number.c_str());
    return buffer;
}

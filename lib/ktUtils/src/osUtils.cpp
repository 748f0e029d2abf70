#include "ktUtils/osUtils.h"

#include "ktLog/ktLog.h"
#include "ktUtils/registry.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

static const char* const kLogModule = "ktUtil";

namespace {

const char* const kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::uint32_t kValueRoom = 260;

// The text up to its first zero, never past the bytes the registry returned.
std::string boundedText(const char* buffer, std::uint32_t size)
{
    return std::string(buffer, ::strnlen(buffer, size));
}

} // namespace

int getReleaseId()
{
    char buffer[kValueRoom] = {};
    std::uint32_t size = kValueRoom;
    long status = readRegValue(ktPlatform::RegRoot::localMachine, kCurrentVersionKey, 0,
                               "ReleaseId", buffer, &size, nullptr);
    if (status != ktPlatform::kErrorSuccess) {
        std::memset(buffer, 0, sizeof(buffer));
        size = kValueRoom;
        status = readRegValue(ktPlatform::RegRoot::localMachine, kCurrentVersionKey, 1, "ReleaseId",
                              buffer, &size, nullptr);
    }
    if (status != ktPlatform::kErrorSuccess) {
        KTLOG(KT_LOG_ERROR, "Failed to get device vendor from registry, error %d",
              static_cast<int>(status));
        return 0;
    }
    // As atoi reads it, but an out-of-range number is clamped instead of undefined.
    const long value = std::strtol(boundedText(buffer, size).c_str(), nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

bool getProductId(std::string& productId)
{
    ktPlatform::RegKey key;
    if (ktPlatform::regOpenKey(ktPlatform::RegRoot::localMachine, kCurrentVersionKey,
                               ktPlatform::RegView::view64, key) != ktPlatform::kErrorSuccess) {
        KTLOG(KT_LOG_ERROR, "failed to open registry key %s", kCurrentVersionKey);
        return false;
    }
    char buffer[kValueRoom] = {};
    std::uint32_t size = kValueRoom;
    if (ktPlatform::regGetValue(key, "ProductId", nullptr, buffer, &size) !=
        ktPlatform::kErrorSuccess) {
        KTLOG(KT_LOG_ERROR, "failed to query registry key %s", kCurrentVersionKey);
        return false;
    }
    productId = boundedText(buffer, size);
    return true;
}

#include "ktConfig/deviceInfo.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/strings.h"
#include "ktUtils/hostUtil.h"
#include "ktUtils/osUtils.h"
#include "ktUtils/registry.h"
#include "ktUtils/version.h"

#include <cstdint>
#include <cstring>

static const char* const kLogModule = "deviceInfo";

namespace {

const char* const kSystemInformationKey = "SYSTEM\\CurrentControlSet\\Control\\SystemInformation";
const char* const kProvisioningKey = "SOFTWARE\\Kestrani\\Provisioning\\";
const char* const kMdmDeviceIdKey = "SOFTWARE\\Microsoft\\Provisioning\\OMADM\\MDMDeviceID";
constexpr int kView32 = 0;
constexpr int kView64 = 1;
constexpr std::uint32_t kValueRoom = 260;

// One text value, bounded by the size the registry returned and cut at its first NUL.
// Device strings go into every client-status message, which must be valid JSON text: bytes
// that are not UTF-8 (a maker read from the firmware, say) become U+FFFD.
long readText(const char* key, int view, const char* name, std::string& text)
{
    char buffer[kValueRoom] = {};
    std::uint32_t size = sizeof(buffer);
    const long status =
        readRegValue(ktPlatform::RegRoot::localMachine, key, view, name, buffer, &size, nullptr);
    if (status != 0) {
        return status;
    }
    const std::size_t length = size < sizeof(buffer) ? size : sizeof(buffer);
    text = ktPlatform::toValidUtf8(std::string(buffer, strnlen(buffer, length)));
    return 0;
}

// The 32-bit view, then the 64-bit view.
long readSystemInformation(const char* name, std::string& text)
{
    const long status = readText(kSystemInformationKey, kView32, name, text);
    return status == 0 ? 0 : readText(kSystemInformationKey, kView64, name, text);
}

} // namespace

bool getDeviceMake(deviceInfo& info)
{
    const long status = readSystemInformation("SystemManufacturer", info.m_manufacturer);
    if (status != 0) {
        KTLOG(KT_LOG_ERROR, "Failed to get device vendor from registry, error %d",
              static_cast<int>(status));
        return false;
    }
    KTLOG(KT_LOG_INFO, "Device Make: %s", info.m_manufacturer.c_str());
    return true;
}

bool getDeviceModel(deviceInfo& info)
{
    const long status = readSystemInformation("SystemProductName", info.m_model);
    if (status != 0) {
        KTLOG(KT_LOG_ERROR, "Failed to get Hardware model from registry, error %d",
              static_cast<int>(status));
        return false;
    }
    KTLOG(KT_LOG_INFO, "Device Model: %s", info.m_model.c_str());
    return true;
}

void getDeviceInfo(deviceInfo& info)
{
    std::string host;
    if (getComputerName(host)) {
        info.m_hostName = ktPlatform::toValidUtf8(host);
    }
    info.m_osName = isWindowsServer() ? "Windows Server" : "Windows";
    std::string guid;
    if (readMachineGuid(guid)) {
        info.m_machineGuid = guid;
    }
    getOSVersionNumber(info.m_osVersion);
    unsigned int major = 0;
    unsigned int minor = 0;
    if (getKernel32FileVersion(major, minor) && major >= 10) {
        info.m_osVersion += " (" + std::to_string(getReleaseId()) + ")";
    }
    getDeviceMake(info);
    getDeviceModel(info);
    // The client's own keys are in the 64-bit view only for a 32-bit process on 64-bit.
    const int view = isWow64Process() ? kView64 : kView32;
    if (readText(kProvisioningKey, view, "ktdeviceuid", info.m_deviceUid) == 0) {
        KTLOG(KT_LOG_INFO, "DeviceId, ktDeviceUid: [%s]", info.m_deviceUid.c_str());
    } else {
        KTLOG_M("ktUtil", KT_LOG_ERROR, "ktdeviceuid is empty");
    }
    if (readText(kMdmDeviceIdKey, view, "DeviceClientId", info.m_managementId) == 0) {
        KTLOG(KT_LOG_INFO, "DeviceId, managementID: [%s]", info.m_managementId.c_str());
    } else {
        KTLOG_M("ktUtil", KT_LOG_INFO, "managementID is empty");
    }
}

#pragma once
// The description of the machine sent with the client status: gathered once, then fixed.
// A value that cannot be read stays empty.

#include <string>

struct deviceInfo {
    std::string m_hostName;
    std::string m_osName;    // "Windows Server" on a server product, else "Windows"
    std::string m_osVersion; // "10.0 (2009)": major.minor, with the release id from 10 on
    std::string m_manufacturer;
    std::string m_model;
    std::string m_machineGuid;
    std::string m_deviceUid;    // the client's device id
    std::string m_managementId; // the MDM management id
};

// Fills every field of info from the host and the registry; logs what it cannot read.
void getDeviceInfo(deviceInfo& info);
// Fill m_manufacturer and m_model ("SystemManufacturer", "SystemProductName"; 32-bit view,
// then 64-bit); false, logged, when neither view has the value.
bool getDeviceMake(deviceInfo& info);
bool getDeviceModel(deviceInfo& info);

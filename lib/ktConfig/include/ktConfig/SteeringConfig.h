#pragma once
// The steering configuration of ktsteering.json. Config owns one; the values it sets and
// reads while it loads are here.

#include <cstdint>
#include <string>

class ktConfigSec;

class SteeringConfig {
public:
    // secFile: Config's protected-or-plain reader; not owned, outlives this object.
    explicit SteeringConfig(ktConfigSec* secFile) : m_secFile(secFile) {}

    void setDataDir(const std::string& dir) { m_dataDir = dir; }
    const std::string& dataDir() const { return m_dataDir; }
    // True: the digest of ktsteering.json is not checked (the developer mode).
    void setSkipIntegrityCheck(bool skip) { m_skipIntegrityCheck = skip; }
    bool skipIntegrityCheck() const { return m_skipIntegrityCheck; }

    // 1 cloud applications, 2 web, 3 all.
    std::int32_t trafficMode() const { return m_trafficMode; }
    bool isDynamicSteeringEnabled() const { return m_dynamicSteering; }
    // Reads ktsteering.json from the data folder; false when it could not be read.
    bool readConfig() { return false; }
    bool privateAppsEnabled() const { return m_privateAppsEnabled; }
    bool privateAppsOffPrem() const { return m_privateAppsOffPrem; }
    bool privateAppsOnPrem() const { return m_privateAppsOnPrem; }

    // The reader the steering file is read through.
    ktConfigSec* secFile() const { return m_secFile; }

private:
    std::string m_dataDir;
    bool m_skipIntegrityCheck = false;
    std::int32_t m_trafficMode = 1;
    bool m_dynamicSteering = false;
    bool m_privateAppsEnabled = false;
    bool m_privateAppsOffPrem = false;
    bool m_privateAppsOnPrem = false;
    ktConfigSec* m_secFile;
};

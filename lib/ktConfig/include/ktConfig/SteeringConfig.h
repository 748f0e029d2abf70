#pragma once
// The steering configuration of ktsteering.json. Config owns one; the values it sets and
// reads while it loads are here.

#include <boost/optional/optional_fwd.hpp>
#include <boost/property_tree/ptree_fwd.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class ktConfigSec;
struct SteeringValues;

// A port rule: {a, b} for the range a-b, {p, 0} for the single port p.
struct PortRange {
    std::uint16_t first = 0;
    std::uint16_t last = 0;
    bool operator==(const PortRange& other) const
    {
        return first == other.first && last == other.last;
    }
};

// The domains of one rule (first) and its ports (second).
using DomainPortRule = std::pair<std::vector<std::string>, std::vector<PortRange>>;

class SteeringConfig {
public:
    // secFile: Config's protected-or-plain reader; not owned, outlives this object.
    explicit SteeringConfig(ktConfigSec* secFile) : m_secFile(secFile) {}

    // The folder of ktsteering.json and ktinternal.json, UTF-8.
    void setDataDir(const std::string& dir) { m_dataDir = dir; }
    const std::string& dataDir() const { return m_dataDir; }
    // True: the digest of ktsteering.json is not checked (the developer mode).
    void setSkipIntegrityCheck(bool skip) { m_skipIntegrityCheck = skip; }
    bool skipIntegrityCheck() const { return m_skipIntegrityCheck; }

    // Reads ktsteering.json from the data folder, its digest checked on the bytes parsed:
    // 0 when read, 1 on any failure (logged), which leaves every value as it was. Takes no
    // lock: callers keep other threads away while it runs.
    int readConfig();

    // 1 cloud applications, 2 web, 3 all.
    std::int32_t trafficMode() const { return m_trafficMode; }
    bool isDynamicSteeringEnabled() const { return m_dynamicSteering; }
    // The traffic modes used on and off premises while dynamic steering is on.
    std::int32_t onPremSteeringMethod() const { return m_onPremSteeringMethod; }
    std::int32_t offPremSteeringMethod() const { return m_offPremSteeringMethod; }
    bool privateAppsEnabled() const { return m_privateAppsEnabled; }
    bool privateAppsOffPrem() const { return m_privateAppsOffPrem; }
    bool privateAppsOnPrem() const { return m_privateAppsOnPrem; }
    bool privateAppsOtherSteeringMethod() const { return m_privateAppsOtherSteeringMethod; }
    const std::string& name() const { return m_name; }
    const std::vector<std::string>& domains() const { return m_domains; }
    const std::vector<DomainPortRule>& domainPorts() const { return m_domainPorts; }
    // The ports of every rule, in rule order.
    const std::vector<PortRange>& ports() const { return m_ports; }

    // The reader the steering file is read through.
    ktConfigSec* secFile() const { return m_secFile; }

    // Appends the non-empty texts among the children of node; others are logged and skipped.
    static void readDomains(const boost::property_tree::ptree& node,
                            std::vector<std::string>& domains);
    // Appends one rule per element of the "domain_ports" node (none when absent). Throws
    // the property tree's error for an element without "ports".
    static void readTagLists(boost::optional<const boost::property_tree::ptree&> node,
                             std::vector<DomainPortRule>& rules);
    // Appends the port or range that text gives ("443", "8000-8080"), each port 1 to 65535
    // and a range not reversed; anything else is logged and skipped.
    static void parsePortRange(std::string text, std::vector<PortRange>& ports);

private:
    // The steps of readConfig that touch the object: the digest check of the bytes as read,
    // and the values stored once everything passed.
    bool digestAccepted(const std::string& content) const;
    void store(SteeringValues&& values);

    std::string m_dataDir;
    bool m_skipIntegrityCheck = false;
    std::vector<std::string> m_domains;
    std::vector<DomainPortRule> m_domainPorts;
    std::vector<PortRange> m_ports;
    std::int32_t m_trafficMode = 1;
    bool m_dynamicSteering = false;
    std::int32_t m_onPremSteeringMethod = 1;
    std::int32_t m_offPremSteeringMethod = 2;
    bool m_privateAppsEnabled = false;
    std::string m_name;
    bool m_privateAppsOffPrem = false;
    bool m_privateAppsOnPrem = false;
    bool m_privateAppsOtherSteeringMethod = false;
    ktConfigSec* m_secFile;
};

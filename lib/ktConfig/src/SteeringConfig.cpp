#include "ktConfig/SteeringConfig.h"

#include "configValue.h"
#include "ktCrypto/ktConfigSec.h"
#include "ktCrypto/ktEncryptedFile.h"
#include "ktLog/ktLog.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"
#include "ktUtils/jsonUtil.h"
#include "ktUtils/version.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/optional/optional.hpp>
#include <boost/property_tree/ptree.hpp>

#include <charconv>
#include <exception>
#include <optional>
#include <utility>

static const char* const kLogModule = "SteeringConfig";

namespace {

namespace pt = boost::property_tree;
using namespace ktConfigValue;

const char* const kSteeringFile = "ktsteering.json";
const char* const kFirewallTrafficMode = "firewall_traffic_mode";
const char* const kTrafficMode = "traffic_mode";
const char* const kCloud = "cloud";
const char* const kWeb = "web";
const char* const kAll = "all";
const char* const kDynamicSteering = "dynamic_steering";
const char* const kOnPremMethod = "onprem_steering_method";
const char* const kOffPremMethod = "offprem_steering_method";
const char* const kPrivateAppsEnabled = "private_apps_enabled";
const char* const kPrivateAppsOffPrem = "private_apps_off_prem";
const char* const kPrivateAppsOnPrem = "private_apps_on_prem";
const char* const kPrivateAppsOther = "private_apps_other_steering_method";
const char* const kConfigName = "steering_config_name";
const char* const kDomains = "domains";
const char* const kDomainPorts = "domain_ports";
const char* const kPorts = "ports";
const char* const kDigestKey = "d1";

constexpr std::int32_t kModeCloud = 1;
constexpr std::int32_t kModeWeb = 2;
constexpr std::int32_t kModeAll = 3;

// The leading decimal integer of text as the C library's atoi reads it (blanks and a sign
// first, then digits up to the first other character; 0 when there are none), without its
// overflow: a value beyond 64 bits gives -1, which no port accepts.
std::int64_t leadingInteger(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::size_t end = i;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    if (end == i) {
        return 0;
    }
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data() + i, text.data() + end, value, 10);
    if (result.ec != std::errc()) {
        return -1;
    }
    return negative ? -value : value;
}

bool isPort(std::int64_t value)
{
    return value >= 1 && value <= 65535;
}

} // namespace

// What one read of ktsteering.json found; stored only once the whole file passed.
struct SteeringValues {
    std::string modeText;
    std::int32_t mode = kModeCloud;
    bool dynamic = false;
    std::int32_t onPrem = kModeCloud;
    std::int32_t offPrem = kModeWeb;
    bool privateApps = false, privateAppsOffPrem = false, privateAppsOnPrem = false,
         privateAppsOther = false;
    std::vector<std::string> domains;
    std::vector<DomainPortRule> rules;
    std::string name;
};

namespace {

// The traffic mode, "firewall_traffic_mode" before "traffic_mode"; false, logged, when it
// names none.
bool readTrafficMode(const pt::ptree& tree, SteeringValues& values)
{
    values.modeText = text(tree, kFirewallTrafficMode).value_or(std::string());
    if (values.modeText.empty()) {
        values.modeText = text(tree, kTrafficMode).value_or(std::string());
    }
    if (boost::algorithm::iequals(values.modeText, kWeb)) {
        values.mode = kModeWeb;
    } else if (boost::algorithm::iequals(values.modeText, kCloud)) {
        values.mode = kModeCloud;
    } else if (boost::algorithm::iequals(values.modeText, kAll)) {
        values.mode = kModeAll;
    } else {
        KTLOG(KT_LOG_ERROR, "Invalid traffic mode %s in steering config", values.modeText.c_str());
        return false;
    }
    return true;
}

// One steering method of dynamic steering at key: fallback when absent or 0; false, logged
// with premises ("on-prem", "off-prem"), when out of range.
bool readSteeringMethod(const pt::ptree& tree, const char* key, std::int32_t fallback,
                        const char* premises, std::int32_t& method)
{
    method = getNumber<std::int32_t>(tree, key).value_or(fallback);
    if (method < 0 || method > kModeAll) {
        KTLOG(KT_LOG_ERROR, "Invalid %s traffic mode %d in steering config", premises, method);
        return false;
    }
    if (method == 0) {
        method = fallback;
    }
    return true;
}

// The dynamic-steering flag and, when it is on, the methods on and off premises.
bool readDynamicSteering(const pt::ptree& tree, SteeringValues& values)
{
    values.dynamic = getBool(tree, kDynamicSteering).value_or(false);
    return !values.dynamic ||
           (readSteeringMethod(tree, kOnPremMethod, kModeCloud, "on-prem", values.onPrem) &&
            readSteeringMethod(tree, kOffPremMethod, kModeWeb, "off-prem", values.offPrem));
}

// Parses json into values; false, logged, when it is not JSON, a value is refused or a
// required member ("domains", a rule's "ports") is missing.
bool parseSteering(const std::string& json, SteeringValues& values)
{
    try {
        pt::ptree tree;
        readJsonBounded(json, tree);
        if (!readTrafficMode(tree, values) || !readDynamicSteering(tree, values)) {
            return false;
        }
        values.privateApps = getBool(tree, kPrivateAppsEnabled).value_or(false);
        values.privateAppsOffPrem = getBool(tree, kPrivateAppsOffPrem).value_or(false);
        values.privateAppsOnPrem = getBool(tree, kPrivateAppsOnPrem).value_or(false);
        values.privateAppsOther = getBool(tree, kPrivateAppsOther).value_or(false);
        SteeringConfig::readDomains(tree.get_child(kDomains), values.domains);
        SteeringConfig::readTagLists(std::as_const(tree).get_child_optional(kDomainPorts),
                                     values.rules);
        values.name = text(tree, kConfigName).value_or(std::string());
        KTLOG(KT_LOG_INFO, "Steering Config name: %s Traffic Mode: %s Dynamic steering %d",
              values.name.c_str(), values.modeText.c_str(), values.dynamic ? 1 : 0);
        return true;
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "read_json failed, error: %s", e.what());
        return false;
    }
}

// The mode "all" needs the firewall of Windows 10 or later, and with dynamic steering it
// applies off premises too.
void enforceModeLimits(SteeringValues& values)
{
    if (values.mode == kModeAll) {
        unsigned int major = 0, minor = 0;
        if (!getKernel32FileVersion(major, minor) || major < 10) {
            KTLOG(KT_LOG_INFO,
                  "Firewall mode is not supported for Windows 7/8/8.1. Enforcing web mode.");
            values.mode = kModeWeb;
        }
    }
    if (values.dynamic && values.mode == kModeAll) {
        values.offPrem = kModeAll;
        KTLOG(KT_LOG_INFO, "Enforcing off-prem steering traffic mode to app-cfw.");
    }
}

} // namespace

int SteeringConfig::readConfig()
{
    const std::string path = m_dataDir + "/" + kSteeringFile;
    KTLOG(KT_LOG_DEBUG, "reading steering config file: %s", path.c_str());
    // Read once: the digest is checked on these very bytes.
    std::string content;
    if (!m_secFile->readFile(path, content)) {
        KTLOG(KT_LOG_ERROR, "Failed to read steering config file.");
        return 1;
    }
    SteeringValues values;
    if (!parseSteering(protectedText(content), values)) {
        return 1;
    }
    if (!digestAccepted(content)) {
        KTLOG(KT_LOG_ERROR, "Failed to validate integrity of steering config.");
        return 1;
    }
    enforceModeLimits(values);
    store(std::move(values));
    KTLOG(KT_LOG_INFO, "Successfully read steering config.");
    return 0;
}

bool SteeringConfig::digestAccepted(const std::string& content) const
{
    // A protected file is vouched for by the machine's key; the developer mode checks none.
    return m_skipIntegrityCheck || m_secFile->encrypted() ||
           validateDigest(ktPlatform::toWide(m_dataDir), content, kDigestKey);
}

void SteeringConfig::store(SteeringValues&& values)
{
    m_dynamicSteering = values.dynamic;
    m_onPremSteeringMethod = values.onPrem;
    m_offPremSteeringMethod = values.offPrem;
    m_trafficMode = values.mode;
    m_privateAppsEnabled = values.privateApps;
    m_domains = std::move(values.domains);
    m_domainPorts = std::move(values.rules);
    m_ports.clear();
    for (const DomainPortRule& rule : m_domainPorts) {
        m_ports.insert(m_ports.end(), rule.second.begin(), rule.second.end());
    }
    m_name = std::move(values.name);
    m_privateAppsOffPrem = values.privateAppsOffPrem;
    m_privateAppsOnPrem = values.privateAppsOnPrem;
    m_privateAppsOtherSteeringMethod = values.privateAppsOther;
}

void SteeringConfig::readDomains(const pt::ptree& node, std::vector<std::string>& domains)
{
    for (const auto& child : node) {
        if (!child.second.data().empty()) {
            domains.push_back(child.second.data());
        } else {
            KTLOG(KT_LOG_ERROR, "Invalid domain entry found, skipping it.");
        }
    }
}

void SteeringConfig::readTagLists(boost::optional<const pt::ptree&> node,
                                  std::vector<DomainPortRule>& rules)
{
    if (!node) {
        KTLOG(KT_LOG_DEBUG, "%s tag is not provided.", kDomainPorts);
        return;
    }
    for (const auto& element : *node) {
        DomainPortRule rule;
        if (const auto ruleDomains = element.second.get_child_optional(kDomains)) {
            for (const auto& domain : *ruleDomains) {
                rule.first.push_back(domain.second.data());
            }
        } else {
            rule.first.push_back("*");
        }
        for (const auto& port : element.second.get_child(kPorts)) {
            parsePortRange(port.second.data(), rule.second);
        }
        rules.push_back(std::move(rule));
    }
}

void SteeringConfig::parsePortRange(std::string text, std::vector<PortRange>& ports)
{
    std::vector<std::string> pieces(1);
    for (const char c : text) {
        if (c == '-') {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    if (pieces.size() == 1) {
        const std::int64_t port = leadingInteger(pieces[0]);
        if (isPort(port)) {
            ports.push_back(PortRange{static_cast<std::uint16_t>(port), 0});
            return;
        }
    } else if (pieces.size() == 2) {
        const std::int64_t first = leadingInteger(pieces[0]);
        const std::int64_t last = leadingInteger(pieces[1]);
        if (isPort(first) && isPort(last) && first <= last) {
            ports.push_back(
                PortRange{static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)});
            return;
        }
    }
    KTLOG(KT_LOG_ERROR, "Skipping invalid port range: %s", text.c_str());
}

#include "ktConfig/clientStatusHandler.h"

#include "configInternal.h"
#include "ktConfig/productVersion.h"
#include "ktLog/ktLog.h"
#include "ktRestApi/addonmanapi.h"
#include "ktWinUtils/impersonate.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <exception>
#include <sstream>

static const char* const kLogModule = "clientStatusHandler";

namespace {

namespace pt = boost::property_tree;

constexpr int kTunnelUp = 17;

// The event and actor texts of a tunnel status code; false for a code that has none.
bool eventAndActor(int code, int actor, std::string& event, std::string& actorText)
{
    static const char* const kEvents[] = {
        "Tunnel Down",
        "User Disabled",
        "Admin Disabled",
        "Tunnel down due to secure forwarder",
        "Tunnel down due to GRE",
        "Tunnel down due to IPSec",
        "Tunnel down due to Data Plane on-premises",
        "Tunnel down due to error",
        "Tunnel down due to config error",
        "Uninstalled",
        nullptr,
        "Change in network",
        "System shutdown",
    };
    if (code == kTunnelUp) {
        event = actor == 2 ? "User Enabled" : actor == 3 ? "Admin Enabled" : "Tunnel Up";
        actorText = actor == 2 ? "User" : actor == 3 ? "Admin" : "System";
        return true;
    }
    if (code < 0 || code >= static_cast<int>(sizeof(kEvents) / sizeof(kEvents[0])) ||
        kEvents[code] == nullptr) {
        return false;
    }
    event = kEvents[code];
    actorText = code == 1 ? "User" : code == 2 ? "Admin" : "System";
    return true;
}

std::int64_t systemNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool ClientStatusHandler::init(Config::Impl* config, const std::wstring& folder,
                               const std::wstring& fileName,
                               const std::optional<std::string>& userHome)
{
    m_config = config;
    m_usersFolder = userHome.has_value();
    return m_eventCache.load(folder, fileName, std::string(), userHome);
}

bool ClientStatusHandler::handleClientStatus(CUserConfigCommon* session, const std::string& status)
{
    if (session == nullptr) {
        KTLOG(KT_LOG_ERROR, "Client Status user config Object not provided");
        return false;
    }
    const int code = session->getTunnelStatus();
    if (code == 14 || code == 16 || code < 0) {
        KTLOG(KT_LOG_ERROR, "Invalid tunnel status: %d for client status", code);
        return false;
    }
    // Strictly increasing within one handler, running ahead of the clock when needed.
    const std::int64_t now = m_clock ? m_clock() : systemNow();
    const std::int64_t timestamp = m_lastTimestamp >= now ? m_lastTimestamp + 1 : now;
    m_lastTimestamp = timestamp;
    const long long time = timestamp;

    const std::string statusText = !status.empty()     ? status
                                   : code == kTunnelUp ? "Enabled"
                                                       : "Disabled";
    std::string event;
    std::string actor;
    if (!eventAndActor(code, session->getActor(), event, actor)) {
        KTLOG(KT_LOG_ERROR, "Invalid actor or event string");
        return false;
    }
    const int sessionId = session->getSessionId();
    // While fail-close holds, only its own report of a tunnel that is down goes out.
    if (session->isFailCloseActive() && (code == 0 || code == 7) && statusText != "Fail Closed") {
        KTLOG(KT_LOG_INFO,
              "FailClosed:[sessId %d] discarded client status event: %s, client status: %s, "
              "actor: %s, time: %lld",
              sessionId, event.c_str(), statusText.c_str(), actor.c_str(), time);
        return false;
    }

    std::string message;
    if (!prepareClientStatusMessage(message, m_config, session->getDeviceClassificationStatus(),
                                    timestamp, statusText, event, actor)) {
        KTLOG(KT_LOG_ERROR,
              "[sessId %d] Failed to prepare client status message, event: %s, client status: "
              "%s, actor: %s, time: %lld",
              sessionId, event.c_str(), statusText.c_str(), actor.c_str(), time);
        return false;
    }
    if (postClientStatus(m_config, sessionId, session->getUserKey(), message)) {
        return true;
    }

    KTLOG(KT_LOG_ERROR,
          "[sessId %d] Failed to post client status, message will be cache in event queue",
          sessionId);
    // A folder of the session's user is written as that user or not at all.
    ImpersonationGuard impersonation;
    if (m_usersFolder &&
        !impersonateActiveUser(impersonation, static_cast<std::uint32_t>(sessionId))) {
        KTLOG(KT_LOG_ERROR,
              "[sessId %d] Failed to cache client status, event: %s, time: %lld: the session's "
              "user cannot be acted as",
              sessionId, event.c_str(), time);
        return false;
    }
    KTLOG(KT_LOG_INFO,
          "[sessId %d] Caching client status, event: %s, client status: %s, actor: %s, "
          "time: %lld",
          sessionId, event.c_str(), statusText.c_str(), actor.c_str(), time);
    const bool cached = m_eventCache.push(message) && m_eventCache.save();
    revertImpersonation(impersonation);
    if (!cached) {
        KTLOG(KT_LOG_ERROR, "[sessId %d] Failed to cache client status, event: %s, time: %lld",
              sessionId, event.c_str(), time);
    }
    return cached;
}

bool prepareClientStatusMessage(std::string& message, Config::Impl* config,
                                const std::string& deviceClassificationStatus,
                                std::int64_t timestamp, const std::string& status,
                                const std::string& event, const std::string& actor)
{
    if (config == nullptr) {
        KTLOG(KT_LOG_ERROR,
              "Client Status Common config Object not provided to prepare client status message");
        return false;
    }
    try {
        const deviceInfo& device = config->device();
        if (device.m_hostName.empty()) {
            KTLOG(KT_LOG_ERROR, "Hostname is empty");
            return false;
        }
        pt::ptree tree;
        tree.put("client_status.type", "Event");
        tree.put("client_status.timestamp", timestamp);
        tree.put("client_status.client_version", std::string(kProductVersion));
        tree.put("client_status.status", status);

        std::int32_t sessionId = 0;
        if (!config->getActiveUserSessionId(sessionId)) {
            KTLOG(KT_LOG_ERROR, "Failed to get Active User Session ID");
            sessionId = 0;
        }
        // Both are asked whatever the outcome.
        const bool certPresent = config->isQpaCertPresent(static_cast<std::uint32_t>(sessionId));
        const bool steeringEnabled = config->isQpaSteeringEnabled();
        tree.put("client_status.qpa_status",
                 qpaStatusText(config->clientConfig().secureAccess, steeringEnabled, certPresent,
                               config->qpaEnrollFailed(), config->qpaTunnelState()));
        tree.put("client_status.device_classification_status", deviceClassificationStatus);

        if (device.m_osName.empty()) {
            KTLOG(KT_LOG_ERROR, "OS name is empty");
        }
        if (device.m_osVersion.empty()) {
            KTLOG(KT_LOG_ERROR, "OS version is empty");
        }
        if (device.m_manufacturer.empty()) {
            KTLOG(KT_LOG_ERROR, "Device manufacturer is empty");
        }
        if (device.m_model.empty()) {
            KTLOG(KT_LOG_ERROR, "Device model is empty");
        }
        tree.put("client_status.host_info.hostname", device.m_hostName);
        tree.put("client_status.host_info.os", device.m_osName);
        tree.put("client_status.host_info.os_version", device.m_osVersion);
        tree.put("client_status.host_info.device_make", device.m_manufacturer);
        tree.put("client_status.host_info.device_model", device.m_model);
        if (config->clientConfig().deviceUniqueID) {
            if (device.m_deviceUid.empty()) {
                KTLOG(KT_LOG_ERROR, "unique device id is empty");
            }
            if (device.m_managementId.empty()) {
                KTLOG(KT_LOG_INFO, "MDM device id (managementID) is empty");
            }
            tree.put("client_status.host_info.ktdeviceuid", device.m_deviceUid);
            tree.put("client_status.host_info.managementID", device.m_managementId);
        }
        tree.put("client_status.event", event);
        tree.put("client_status.actor", actor);

        std::ostringstream out;
        pt::write_json(out, tree, true);
        message = out.str();
        return true;
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "error preparing client status msg: %s", e.what());
        return false;
    }
}

bool postClientStatus(Config::Impl* config, std::int32_t sessionId, const std::string& userKey,
                      const std::string& message)
{
    const std::string compact = compactJsonText(message);
    KTLOG(KT_LOG_INFO, "client status message: %s", compact.c_str());
    bool posted = false;
    CAddonManApi* api = config != nullptr ? config->addonManApi() : nullptr;
    if (api != nullptr) {
        std::string reply;
        posted = api->postClientStatus(userKey, config->branding().orgKey, compact, reply);
    }
    if (!posted) {
        KTLOG(KT_LOG_ERROR, "[sessId %d] Failed to post Client status", sessionId);
        return false;
    }
    KTLOG(KT_LOG_INFO, "[sessId %d] Client status posted successfully", sessionId);
    return true;
}

std::string compactJsonText(const std::string& indented)
{
    std::string out;
    out.reserve(indented.size());
    bool inString = false;
    // Outside strings a run of blanks keeps one blank when its length is odd: the
    // indentation (four a level) goes, the blank after a colon stays.
    std::size_t blanks = 0;
    for (std::size_t i = 0; i < indented.size(); ++i) {
        const char c = indented[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < indented.size()) {
                out += indented[++i];
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '\n') {
            continue;
        }
        if (c == ' ') {
            ++blanks;
            continue;
        }
        if (blanks % 2 != 0) {
            out += ' ';
        }
        blanks = 0;
        out += c;
        inString = c == '"';
    }
    if (blanks % 2 != 0) {
        out += ' ';
    }
    return out;
}

const char* qpaStatusText(bool secureAccess, bool steeringEnabled, bool certPresent,
                          bool enrollFailed, std::int32_t tunnelState)
{
    if (!secureAccess) {
        return "Disabled";
    }
    if (!steeringEnabled) {
        return "Steering Disabled";
    }
    if (!certPresent) {
        return enrollFailed ? "Unable to Enroll" : "Allowed";
    }
    return tunnelState == 4 ? "Connected" : tunnelState == 6 ? "Disconnected" : "Enabled";
}

bool Config::Impl::isQpaSteeringEnabled()
{
    if (isDynamicSteeringActive()) {
        boost::mutex::scoped_lock lock(m_configMutex);
        return m_client.secureAccess &&
               (m_steeringConfig->privateAppsOffPrem() || m_steeringConfig->privateAppsOnPrem());
    }
    if (!m_client.secureAccess) {
        return false;
    }
    boost::mutex::scoped_lock lock(m_configMutex);
    if (!m_steeringConfig->privateAppsEnabled()) {
        m_steeringConfig->readConfig();
    }
    return m_steeringConfig->privateAppsEnabled();
}

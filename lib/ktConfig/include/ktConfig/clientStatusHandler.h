#pragma once
// A session's client-status reports to the add-on service; what cannot be posted is
// queued in the session's event cache. The message and its rules are in
// docs/client-status.md. Every call runs on the thread that sets up the session.

#include "ktConfig/EventCache.h"
#include "ktConfig/config.h"
#include "ktConfig/userConfigCommon.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

class ClientStatusHandler {
public:
    // Seconds since 1 January 1970 UTC.
    using Clock = std::function<std::int64_t()>;

    // config: the owning configuration, not owned. Loads the event cache of folder; its
    // result. userHome: set when folder is the session user's own (CUserConfig::m_userHome),
    // which is then read and written only as that user.
    bool init(Config::Impl* config, const std::wstring& folder, const std::wstring& fileName,
              const std::optional<std::string>& userHome = std::nullopt);
    // Builds the message of the session's current state and posts it, or queues it when
    // the post fails. True when posted, or queued and the cache saved.
    bool handleClientStatus(CUserConfigCommon* session, const std::string& status);

    // Replaces the clock the time stamps are taken from (the system clock by default).
    void setClock(Clock clock) { m_clock = std::move(clock); }

    const EventCache& eventCache() const { return m_eventCache; }

private:
    Config::Impl* m_config = nullptr;
    bool m_usersFolder = false; // the cache lies in the session user's own folder
    std::int64_t m_lastTimestamp = 0;
    EventCache m_eventCache;
    Clock m_clock;
};

// Fills message with the indented JSON of one client-status message built from config's
// device information and QPA state; false, logged, without a config or a host name.
bool prepareClientStatusMessage(std::string& message, Config::Impl* config,
                                const std::string& deviceClassificationStatus,
                                std::int64_t timestamp, const std::string& status,
                                const std::string& event, const std::string& actor);

// Posts message, compacted, through config's add-on service client with the branding's
// organisation key. False, logged, when there is no client or the post fails.
bool postClientStatus(Config::Impl* config, std::int32_t sessionId, const std::string& userKey,
                      const std::string& message);

// The indented JSON text on one line: line breaks and indentation go, the blank after
// each colon stays, the text inside strings is kept as it is.
std::string compactJsonText(const std::string& indented);

// The "qpa_status" text: the first rule that holds of secure access off ("Disabled"),
// steering off ("Steering Disabled"), no certificate ("Unable to Enroll" after a failed
// enrolment, else "Allowed"), then the tunnel state (4 "Connected", 6 "Disconnected",
// otherwise "Enabled").
const char* qpaStatusText(bool secureAccess, bool steeringEnabled, bool certPresent,
                          bool enrollFailed, std::int32_t tunnelState);

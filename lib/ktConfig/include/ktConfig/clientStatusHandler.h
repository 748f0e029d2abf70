#pragma once
// A session's client-status reports to the add-on service; what cannot be posted is
// queued in the session's event cache.

#include "ktConfig/EventCache.h"
#include "ktConfig/userConfigCommon.h"

#include <cstdint>
#include <string>

class Config;

class ClientStatusHandler {
public:
    // config: the owning configuration, not owned. Loads the event cache of folder; its
    // result.
    bool init(Config* config, const std::wstring& folder, const std::wstring& fileName);
    // Builds the message of the session's current state and posts it, or queues it when
    // the post fails. True when posted or queued.
    bool handleClientStatus(CUserConfigCommon* session, const std::string& status);

    const EventCache& eventCache() const { return m_eventCache; }

private:
    Config* m_config = nullptr;
    std::int64_t m_lastTimestamp = 0;
    EventCache m_eventCache;
};

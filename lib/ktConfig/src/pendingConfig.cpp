// Stand-ins for the operations still being written, so that their callers build.

#include "ktConfig/clientStatusHandler.h"
#include "ktConfig/config.h"

EventCache::EventCache() : m_mutex(new boost::recursive_mutex) {}
bool EventCache::load(std::wstring, const std::wstring&, const std::string&) { return false; }
bool EventCache::push(const std::string&) { return false; }
bool EventCache::save() { return false; }
std::list<std::string> EventCache::events() const { return m_events; }

bool ClientStatusHandler::init(Config* config, const std::wstring&, const std::wstring&)
{
    m_config = config;
    return false;
}
bool ClientStatusHandler::handleClientStatus(CUserConfigCommon*, const std::string&)
{
    return false;
}

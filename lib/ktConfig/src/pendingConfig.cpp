// Stand-ins for the operations still being written, so that their callers build.

#include "ktConfig/clientStatusHandler.h"
#include "ktConfig/config.h"

std::wstring Config::createUserConfig(std::uint32_t) { return m_configLocation; }
std::wstring Config::getConfigLocation(std::uint32_t) { return m_configLocation; }
std::string Config::getUserEmail(std::uint32_t) { return m_branding.userEmail; }
bool Config::getActiveUserSessionId(std::int32_t&) { return false; }
bool Config::isQpaCertPresent(std::uint32_t) { return false; }

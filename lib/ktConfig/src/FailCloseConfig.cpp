#include "ktConfig/FailCloseConfig.h"

#include "configValue.h"
#include "ktLog/ktLog.h"

#include <exception>

static const char* const kLogModule = "FailCloseConfig";

using namespace ktConfigValue;

bool FailCloseConfig::readConfig(const boost::property_tree::ptree& tree)
{
    boost::mutex::scoped_lock lock(m_mutex);
    try {
        keepBool(tree, "failClose.fail_close", m_values.failClose);
        keepBool(tree, "failClose.exclude_qpa", m_values.excludeQpa);
        keepBool(tree, "failClose.notification", m_values.notification);
        keepNumber(tree, "failClose.captive_portal_timeout", m_values.captivePortalTimeout);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "json error while parsing node %s", e.what());
        return false;
    }
    return true;
}

bool FailCloseConfig::readUserConfig(const boost::property_tree::wptree& tree)
{
    boost::mutex::scoped_lock lock(m_mutex);
    try {
        keepBool(tree, "ktUserConfig.failClose.disable", m_values.userDisable);
        KTLOG(KT_LOG_INFO, "userconfig failcloseDisable: %d", m_values.userDisable ? 1 : 0);
        keepBool(tree, "ktUserConfig.failClose.exclude_qpa", m_values.userExcludeQpa);
        KTLOG(KT_LOG_INFO, "userconfig failcloseDisableForQPA: %d",
              m_values.userExcludeQpa ? 1 : 0);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "json error while parsing node %s", e.what());
        return false;
    }
    return true;
}

bool FailCloseConfig::isFailCloseEnabled()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_values.failClose && !m_values.disabled && !m_values.userDisable;
}

bool FailCloseConfig::excludeQpa()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_values.excludeQpa;
}

bool FailCloseConfig::notification()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_values.notification;
}

std::int32_t FailCloseConfig::captivePortalTimeout()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_values.captivePortalTimeout;
}

bool FailCloseConfig::userDisable()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_values.userDisable;
}

bool FailCloseConfig::userExcludeQpa()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_values.userExcludeQpa;
}

FailCloseConfig::Values FailCloseConfig::values()
{
    boost::mutex::scoped_lock lock(m_mutex);
    return m_values;
}

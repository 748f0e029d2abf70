#pragma once
// The fail-close policy: its values from the client configuration ("failClose") and the
// user's overrides from ktuserconfig.json. Every member is guarded by its own lock.

#include <boost/property_tree/ptree.hpp>
#include <boost/thread/mutex.hpp>

#include <cstdint>

class FailCloseConfig {
public:
    FailCloseConfig() = default;
    FailCloseConfig(const FailCloseConfig&) = delete;
    FailCloseConfig& operator=(const FailCloseConfig&) = delete;

    // Reads "failClose.*" of the client configuration; an absent or unconvertible key keeps
    // its value. False, logged, on a JSON error.
    bool readConfig(const boost::property_tree::ptree& tree);
    // Reads "ktUserConfig.failClose.*" of ktuserconfig.json; false, logged, on a JSON error.
    bool readUserConfig(const boost::property_tree::wptree& tree);

    // True when the policy is on and neither disable switch is set.
    bool isFailCloseEnabled();

    bool excludeQpa();
    bool notification();
    std::int32_t captivePortalTimeout();
    bool userDisable();
    bool userExcludeQpa();

private:
    bool m_failClose = false;
    bool m_excludeQpa = false;
    bool m_notification = true;
    std::int32_t m_captivePortalTimeout = 0;
    bool m_userDisable = false;
    bool m_userExcludeQpa = false;
    bool m_disabled = false; // a third disable switch; nothing here sets it
    boost::mutex m_mutex;
};

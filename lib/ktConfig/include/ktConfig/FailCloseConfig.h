#pragma once
// The fail-close policy: its values from the client configuration ("failClose") and the
// user's overrides from ktuserconfig.json. Every member is guarded by its own lock.

#include "ktConfig/compareWhole.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/thread/mutex.hpp>

#include <cstdint>

class FailCloseConfig {
public:
    // Everything the policy holds, with its starting values.
    struct Values {
        bool failClose = false;
        bool excludeQpa = false;
        bool notification = true;
        std::int32_t captivePortalTimeout = 0;
        bool userDisable = false;
        bool userExcludeQpa = false;
        bool disabled = false; // a third disable switch; nothing here sets it
    };

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
    // A copy of every value, taken under the lock.
    Values values();

private:
    Values m_values;
    boost::mutex m_mutex;
};

// Whole values compare member by member; the build fails while the list misses a member.
KT_COMPARE_WHOLE(FailCloseConfig::Values, failClose, excludeQpa, notification, captivePortalTimeout,
                 userDisable, userExcludeQpa, disabled);

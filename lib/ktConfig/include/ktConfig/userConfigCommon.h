#pragma once
// What a session's client-status handler reads of its session.

#include <string>

class CUserConfigCommon {
public:
    virtual ~CUserConfigCommon() = default;

    virtual std::string getUserKey() const = 0;
    // 0 tunnel down, 1 user disabled, 2 admin disabled, ... 17 tunnel up.
    virtual int getTunnelStatus() const = 0;
    virtual int getSessionId() const = 0;
    // 2 user, 3 administrator, any other value the system.
    virtual int getActor() const = 0;
    virtual std::string getDeviceClassificationStatus() const = 0;
    virtual bool isFailCloseActive() const = 0;
};

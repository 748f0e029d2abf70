#pragma once
// The configuration, log and capture requests of the tool to the client service. Each
// request method builds one message with the common items "sessionID" (the tool's own
// session) and "clientName" (the name passed in) and hands it to the command's CKTCom2;
// sendMessage hands over a message the tool built itself. None waits for a reply: replies
// reach the CKTCom2 listener on its worker thread.
//
// Every method returns true when the message was sent or queued, false when it was not
// (null client, session id not found, message not written, not connected). Called on the
// command's thread. Does not own the client, which must outlive this object.

#include "ktLog/ktLog.h"

#include <functional>
#include <string>

class CKTCom2;
class KTMsg2;

class CConfigSync {
public:
    explicit CConfigSync(CKTCom2* ktcom) : m_ktcom(ktcom) {}
    virtual ~CConfigSync() = default;

    // 127 IS_CONFIG_UPDATE_AVAILABLE, answered by 128 CONFIG_UPDATE_AVAILABLE.
    bool checkForConfigUpdate(const std::string& clientName);
    // 125 FORCE_UPDATE_CONFIG, answered by 126 UPDATE_CONFIG_DONE.
    bool synchronizeConfig(const std::string& clientName);
    // 158 SET_USER_LOG_LEVEL_KTDIAG with "logLevel" as the level's number; no answer.
    bool setLogLevel(const std::string& clientName, KtLogLevel level);
    // 159 SET_USER_LOG_SIZE_KTDIAG with "logsize" in megabytes, unchanged; no answer.
    bool setLogSize(const std::string& clientName, int size);
    // 134 START_OUTER_PKT_CAPTURE with "Capture" and "captureSize", unchanged; answer 135.
    bool startOuterPacketCapture(const std::string& clientName, const std::string& fileName,
                                 int size);
    // 136 STOP_OUTER_PKT_CAPTURE; answer 137.
    bool stopOuterPacketCapture(const std::string& clientName);
    // 138 OUTER_PKT_CAPTURE_STATUS; answer 139.
    bool getOuterPacketCaptureStatus(const std::string& clientName);
    // 130 START_DRIVER_LOG_CAPTURE with "driverCaptureLogFile"; answer 131.
    bool startDriverLogCapture(const std::string& clientName, const std::string& fileName);
    // 132 STOP_DRIVER_LOG_CAPTURE; answer 133.
    bool stopDriverLogCapture(const std::string& clientName);
    // 140 DRIVER_LOG_CAPTURE_STATUS; answer 141.
    bool getDriverLogCaptureStatus(const std::string& clientName);

    // Sends msg as it stands: no item added, no line logged but a failure's. Empties msg.
    bool sendMessage(KTMsg2& msg);

protected:
    // Writes msg as text (KTMsg2::detach); a test overrides it to make the step fail.
    virtual bool detachMessage(KTMsg2& msg, std::string& text);

private:
    // Checks the client, logs logLine, finds the session id, lets addItems add the items in
    // order, writes the message and sends it; nothing is sent when a step fails.
    bool send(const char* logLine, int id,
              const std::function<void(KTMsg2&, unsigned long)>& addItems);

    CKTCom2* m_ktcom; // not owned
};

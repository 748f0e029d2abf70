#include "ktConfig/ConfigSync.h"

#include "ktWinUtils/launchApp.h"
#include "ktcom2/KTCom2.h"
#include "ktmsg2/KTMsg2.h"

#include <cstdint>

static const char* const kLogModule = "CConfigSync";

bool CConfigSync::detachMessage(KTMsg2& msg, std::string& text)
{
    return msg.detach(text);
}

bool CConfigSync::send(const char* logLine, int id,
                       const std::function<void(KTMsg2&, unsigned long)>& addItems)
{
    if (m_ktcom == nullptr) {
        KTLOG(KT_LOG_ERROR, "invalid ktcom client object");
        return false;
    }
    KTLOG(KT_LOG_INFO, "%s", logLine);
    const std::optional<std::uint32_t> sessionId =
        getProcessSessionId(SessionIdFailureLine::lastError, kLogModule, KT_LOG_ERROR);
    if (!sessionId) {
        return false;
    }
    KTMsg2 msg;
    msg.m_msgId = id;
    // A failed AddItem is logged by KTMsg2; the item is then simply missing.
    addItems(msg, *sessionId);
    return sendMessage(msg);
}

bool CConfigSync::sendMessage(KTMsg2& msg)
{
    if (m_ktcom == nullptr) {
        KTLOG(KT_LOG_ERROR, "invalid ktcom client object");
        return false;
    }
    std::string text;
    // An empty text would reach the service as a unit without a message.
    if (!detachMessage(msg, text)) {
        return false;
    }
    return m_ktcom->SendMsg(text, std::string());
}

bool CConfigSync::checkForConfigUpdate(const std::string& clientName)
{
    return send("check for configuration update started", IS_CONFIG_UPDATE_AVAILABLE,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("sessionID", sessionId);
                    msg.AddItem("clientName", clientName);
                });
}

bool CConfigSync::synchronizeConfig(const std::string& clientName)
{
    return send("Synchronize Configuration started", FORCE_UPDATE_CONFIG,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("sessionID", sessionId);
                    msg.AddItem("clientName", clientName);
                });
}

bool CConfigSync::setLogLevel(const std::string& clientName, KtLogLevel level)
{
    return send("Set log level from KTDiag started", SET_USER_LOG_LEVEL_KTDIAG,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("clientName", clientName);
                    msg.AddItem("logLevel", level);
                    msg.AddItem("sessionID", sessionId);
                });
}

bool CConfigSync::setLogSize(const std::string& clientName, int size)
{
    const std::string line = "Set log size from KTDiag started " + std::to_string(size);
    return send(line.c_str(), SET_USER_LOG_SIZE_KTDIAG, [&](KTMsg2& msg, unsigned long sessionId) {
        msg.AddItem("clientName", clientName);
        msg.AddItem("logsize", size);
        msg.AddItem("sessionID", sessionId);
    });
}

bool CConfigSync::startOuterPacketCapture(const std::string& clientName,
                                          const std::string& fileName, int size)
{
    return send("start outer packet capture started", START_OUTER_PKT_CAPTURE,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("Capture", fileName);
                    msg.AddItem("sessionID", sessionId);
                    msg.AddItem("clientName", clientName);
                    msg.AddItem("captureSize", size);
                });
}

bool CConfigSync::stopOuterPacketCapture(const std::string& clientName)
{
    return send("stop outer packet capture started", STOP_OUTER_PKT_CAPTURE,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("clientName", clientName);
                    msg.AddItem("sessionID", sessionId);
                });
}

bool CConfigSync::getOuterPacketCaptureStatus(const std::string& clientName)
{
    return send("get outer packet capture status started", OUTER_PKT_CAPTURE_STATUS,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("clientName", clientName);
                    msg.AddItem("sessionID", sessionId);
                });
}

bool CConfigSync::startDriverLogCapture(const std::string& clientName, const std::string& fileName)
{
    return send("start driver log packet capture started", START_DRIVER_LOG_CAPTURE,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("driverCaptureLogFile", fileName);
                    msg.AddItem("sessionID", sessionId);
                    msg.AddItem("clientName", clientName);
                });
}

bool CConfigSync::stopDriverLogCapture(const std::string& clientName)
{
    return send("stop driver log packet capture started", STOP_DRIVER_LOG_CAPTURE,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("sessionID", sessionId);
                    msg.AddItem("clientName", clientName);
                });
}

bool CConfigSync::getDriverLogCaptureStatus(const std::string& clientName)
{
    return send("get driver log capture status started", DRIVER_LOG_CAPTURE_STATUS,
                [&](KTMsg2& msg, unsigned long sessionId) {
                    msg.AddItem("clientName", clientName);
                    msg.AddItem("sessionID", sessionId);
                });
}

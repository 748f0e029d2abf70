#include "CKTDiag.h"

#include "ktLog/ktLog.h"
#include "ktLog/peerLines.h"
#include "ktPlatform/files.h"
#include "ktWinUtils/launchApp.h"
#include "ktmsg2/KTMsg2.h"
#include "ktmsg2/KTMsgIds.h"

#include <boost/chrono/duration.hpp>

#include <cstdint>
#include <cstdio>

static const char* const kLogModule = "CKTDiag";

CKTDiag::CKTDiag() = default;

CKTDiag::~CKTDiag()
{
    // The worker calls into this object; it must be gone before any field is.
    m_ktcom.stop();
}

bool CKTDiag::start()
{
    const std::uint32_t sessionId =
        getProcessSessionId(SessionIdFailureLine::lastError, kLogModule, KT_LOG_WARNING)
            .value_or(0);
    m_ktcom.start(this, "ktDiag_s" + std::to_string(sessionId));
    m_config.initConfigLocation();
    return true;
}

bool CKTDiag::awaitReady()
{
    boost::unique_lock<boost::mutex> lock(m_mutex);
    // A failure since start counts: the first attempt may fail before this wait begins.
    if (!m_ready) {
        m_cond.wait_for(lock, boost::chrono::milliseconds(m_timeouts.readyMs),
                        [this] { return m_ready || m_linkFailed; });
    }
    return m_ready;
}

bool CKTDiag::waitForService()
{
    if (awaitReady()) {
        return true;
    }
    std::printf("Failed to connect with Service.\n");
    KTLOG(KT_LOG_ERROR, "KTCOM is not ready.");
    return false;
}

void CKTDiag::expectReply(int replyId)
{
    boost::lock_guard<boost::mutex> lock(m_mutex);
    m_awaitedId = replyId;
    m_awaitedCame = false;
    m_linkFailed = false;
}

bool CKTDiag::waitForReply(int timeoutMs)
{
    boost::unique_lock<boost::mutex> lock(m_mutex);
    m_cond.wait_for(lock, boost::chrono::milliseconds(timeoutMs),
                    [this] { return m_awaitedCame || m_linkFailed; });
    const bool succeeded = m_awaitedCame && m_awaitedStatus;
    m_awaitedId = 0;
    return succeeded;
}

bool CKTDiag::readField(const bool& field)
{
    boost::lock_guard<boost::mutex> lock(m_mutex);
    return field;
}

void CKTDiag::clearField(bool& field)
{
    boost::lock_guard<boost::mutex> lock(m_mutex);
    field = false;
}

void CKTDiag::onConnected()
{
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_ready = true;
    }
    m_cond.notify_all();
}

void CKTDiag::onError(int /*code*/, const std::string& /*peer*/)
{
    KTLOG(KT_LOG_ERROR, "KTCOM2 communication error triggered.");
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_ready = false;
        m_linkFailed = true;
    }
    m_cond.notify_all();
}

void CKTDiag::onDisconnected(int /*code*/, const std::string& /*peer*/)
{
    // No reply can come on a closed connection: it ends the waits like an error.
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_ready = false;
        m_linkFailed = true;
    }
    m_cond.notify_all();
}

void CKTDiag::onMessage(const std::string& message, const std::string& /*peer*/)
{
    // Lines about the service's replies are bounded per connection (ktLog/peerLines.h): a
    // service may send them without end.
    KTMsg2 msg;
    if (!msg.attach(message)) {
        KTLOG_PEER(KT_LOG_ERROR, "%s", "");
        return;
    }
    const int id = msg.m_msgId;
    bool status = false;
    boost::unique_lock<boost::mutex> lock(m_mutex, boost::defer_lock);
    // Reads "status" of a capture reply into field, keeping the field when it is missing.
    auto captureReply = [&](bool& field, const char* logLine) {
        bool value = false;
        const bool present = msg.GetItem("status", value);
        KTLOG_PEER(KT_LOG_INFO, logLine, value ? 1 : 0);
        lock.lock();
        if (present) {
            field = value;
        }
        m_replyReceived = field;
    };
    switch (id) {
    case SET_STATUS:
        KTLOG_PEER(KT_LOG_INFO, "Response for GET_STATUS");
        // Read straight into the fields: GetItem leaves a field as it was when its item
        // is missing.
        lock.lock();
        msg.GetItem("tunnelstatus", m_tunnelStatus);
        // Taken, not copied: a reply may carry megabytes of text.
        msg.TakeItem("status", m_clientStatus);
        msg.TakeItem("onpremStatus", m_onpremStatus);
        msg.TakeItem("gatewayHost", m_gatewayHost);
        msg.TakeItem("gtwIP", m_gtwIP);
        msg.TakeItem("tunnelProtocol", m_tunnelProtocol);
        msg.TakeItem("explicitProxy", m_explicitProxy);
        m_replyReceived = true;
        break;
    case ACK_STATUS: {
        int tunnelStatus = 0;
        msg.GetItem("tunnelstatus", tunnelStatus);
        KTLOG_PEER(KT_LOG_INFO, "client tunnel status = %d", tunnelStatus);
        lock.lock();
        m_replyReceived = true;
        break;
    }
    case RESP_DIAG:
        msg.GetItem("status", status);
        KTLOG_PEER(KT_LOG_INFO, "Response for GET_DIAG received from server, status: %d",
                   status ? 1 : 0);
        lock.lock();
        m_replyReceived = status;
        break;
    case RESP_START_PKT_CAPTURE:
        msg.GetItem("status", status);
        KTLOG_PEER(KT_LOG_INFO,
                   "Response for RESP_START_PKT_CAPTURE received from server, status: %d",
                   status ? 1 : 0);
        lock.lock();
        m_replyReceived = status;
        break;
    case RESP_STOP_PKT_CAPTURE:
        msg.GetItem("status", status);
        KTLOG_PEER(KT_LOG_INFO,
                   "Response for RESP_STOP_PKT_CAPTURE received from server, status: %d",
                   status ? 1 : 0);
        lock.lock();
        m_replyReceived = status;
        break;
    case UPDATE_CONFIG_DONE: {
        bool updated = false;
        const bool present = msg.GetItem("updateStatus", updated);
        lock.lock();
        if (present)
            m_updateStatus = updated;
        m_replyReceived = true;
        break;
    }
    case CONFIG_UPDATE_AVAILABLE: {
        bool available = false, checked = false;
        const bool hasAvailable = msg.GetItem("updateStatus", available);
        const bool hasChecked = msg.GetItem("updateCheckStatus", checked);
        lock.lock();
        if (hasAvailable)
            m_updateAvailable = available;
        if (hasChecked)
            m_updateStatus = checked;
        m_replyReceived = true;
        break;
    }
    case RESP_START_DRIVER_LOG_CAPTURE:
        captureReply(m_driverCaptureStatus, "Response for RESP_START_DRIVER_LOG_CAPTURE "
                                            "received from server. status: %d");
        break;
    case RESP_STOP_DRIVER_LOG_CAPTURE:
        captureReply(m_driverCaptureStatus, "Response for RESP_STOP_DRIVER_LOG_CAPTURE "
                                            "received from server. status: %d");
        break;
    case RESP_START_OUTER_PKT_CAPTURE:
        captureReply(m_outerCaptureStatus, "Response for RESP_START_OUTER_PKT_CAPTURE "
                                           "received from server, status: %d");
        break;
    case RESP_STOP_OUTER_PKT_CAPTURE:
        captureReply(m_outerCaptureStatus, "Response for RESP_STOP_OUTER_PACKET_CAPTURE "
                                           "received from server. status: %d");
        break;
    case RESP_OUTER_PKT_CAPTURE_STATUS:
        captureReply(m_outerCaptureStatus, "Response for RESP_OUTER_PKT_CAPTURE_STATUS "
                                           "received from server, status: %d");
        break;
    case RESP_DRIVER_LOG_CAPTURE_STATUS:
        captureReply(m_driverCaptureStatus, "Response for RESP_DRIVER_LOG_CAPTURE_STATUS "
                                            "received from server. status: %d");
        break;
    case SET_QPA_STATUS:
        lock.lock();
        msg.TakeItem("qpaStatus", m_qpaStatus);
        m_replyReceived = true;
        break;
    case RESP_SET_PKT_ACTION: {
        bool value = false;
        const bool present = msg.GetItem("status", value);
        KTLOG_PEER(KT_LOG_INFO, "Response for SET_PKT_ACTION received from server. status: %d",
                   value ? 1 : 0);
        lock.lock();
        if (present)
            m_pktActionStatus = value;
        m_replyReceived = m_pktActionStatus;
        break;
    }
    default:
        return;
    }
    if (id == m_awaitedId) {
        // Kept now: a later reply of another kind may set m_replyReceived again.
        m_awaitedCame = true;
        m_awaitedStatus = m_replyReceived;
    }
    m_cond.notify_all();
}

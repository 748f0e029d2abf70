#include "CKTDiag.h"

#include "ktConfig/ConfigSync.h"
#include "ktLog/ktLog.h"
#include "ktLog/peerLines.h"
#include "ktWinUtils/launchApp.h"
#include "ktmsg2/KTMsg2.h"
#include "ktmsg2/KTMsgIds.h"

#include <boost/chrono/duration.hpp>

#include <cstdint>
#include <cstdio>

static const char* const kLogModule = "CKTDiag";

namespace {

// The bool item at key: false when it is missing or no bool; none only when the message
// cannot be read, and then the field it is meant for stays as it was.
std::optional<bool> flagItem(KTMsg2& msg, const char* key)
{
    bool value = false;
    if (!msg.GetItem(key, value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace

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
    const StatusReply* reply = findStatusReply(replyId);
    boost::lock_guard<boost::mutex> lock(m_mutex);
    m_awaitedId = replyId;
    m_awaitedCame = false;
    m_linkFailed = false;
    if (reply != nullptr && reply->field != nullptr) {
        // An answer without its status item then reads as no, whatever came before.
        this->*reply->field = false;
    }
}

CKTDiag::Outcome CKTDiag::waitForReply(int timeoutMs)
{
    boost::unique_lock<boost::mutex> lock(m_mutex);
    m_cond.wait_for(lock, boost::chrono::milliseconds(timeoutMs),
                    [this] { return m_awaitedCame || m_linkFailed; });
    m_awaitedId = 0;
    if (!m_awaitedCame) {
        return Outcome::noAnswer;
    }
    return m_awaitedStatus ? Outcome::granted : Outcome::refused;
}

CKTDiag::Outcome CKTDiag::request(const std::function<bool(CConfigSync&)>& send, int replyId,
                                  int timeoutMs, Readiness readiness)
{
    if (readiness == Readiness::reported && !waitForService()) {
        return Outcome::notReady;
    }
    if (readiness == Readiness::quiet) {
        // start does not wait for the link; a send before it is up could never succeed.
        awaitReady();
    }
    if (replyId != kNoReply) {
        expectReply(replyId);
    }
    CConfigSync sync(&m_ktcom);
    if (!send(sync)) {
        return Outcome::notSent;
    }
    return replyId == kNoReply ? Outcome::sent : waitForReply(timeoutMs);
}

CKTDiag::Outcome CKTDiag::request(KTMsg2& msg, int replyId, int timeoutMs, Readiness readiness)
{
    return request([&msg](CConfigSync& sync) { return sync.sendMessage(msg); }, replyId, timeoutMs,
                   readiness);
}

bool CKTDiag::succeeded(Outcome outcome, const RequestReports& reports)
{
    switch (outcome) {
    case Outcome::notReady:
        report(reports.notReady);
        return false;
    case Outcome::notSent:
        report(reports.notSent);
        return false;
    case Outcome::noAnswer:
    case Outcome::refused:
        report(reports.failed);
        return false;
    case Outcome::sent:
    case Outcome::granted:
        break;
    }
    return true;
}

void CKTDiag::report(const RequestReport& lines)
{
    if (lines.printed != nullptr) {
        std::fputs(lines.printed, stdout);
    }
    if (lines.logged != nullptr) {
        KTLOG(KT_LOG_ERROR, "%s", lines.logged);
    }
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
    ReplyLock lock(m_mutex, boost::defer_lock);
    const std::optional<bool> answer = storeReply(msg, lock);
    if (!answer) {
        return;
    }
    m_replyReceived = *answer;
    if (msg.m_msgId == m_awaitedId) {
        // Kept now: a later reply of another kind may set m_replyReceived again.
        m_awaitedCame = true;
        m_awaitedStatus = m_replyReceived;
    }
    m_cond.notify_all();
}

std::optional<bool> CKTDiag::storeReply(KTMsg2& msg, ReplyLock& lock)
{
    if (const StatusReply* reply = findStatusReply(msg.m_msgId)) {
        return storeStatusReply(msg, *reply, lock);
    }
    switch (msg.m_msgId) {
    case SET_STATUS:
        return storeClientStatus(msg, lock);
    case ACK_STATUS:
        return logTunnelStatus(msg, lock);
    case UPDATE_CONFIG_DONE:
    case CONFIG_UPDATE_AVAILABLE:
        return storeUpdateReply(msg, lock);
    case SET_QPA_STATUS:
        return storeQpaStatus(msg, lock);
    default:
        return std::nullopt;
    }
}

const CKTDiag::StatusReply* CKTDiag::findStatusReply(int id)
{
    static const StatusReply replies[] = {
        {RESP_DIAG, nullptr, "Response for GET_DIAG received from server, status: %d"},
        {RESP_START_PKT_CAPTURE, nullptr,
         "Response for RESP_START_PKT_CAPTURE received from server, status: %d"},
        {RESP_STOP_PKT_CAPTURE, nullptr,
         "Response for RESP_STOP_PKT_CAPTURE received from server, status: %d"},
        {RESP_START_DRIVER_LOG_CAPTURE, &CKTDiag::m_driverCaptureStatus,
         "Response for RESP_START_DRIVER_LOG_CAPTURE received from server. status: %d"},
        {RESP_STOP_DRIVER_LOG_CAPTURE, &CKTDiag::m_driverCaptureStatus,
         "Response for RESP_STOP_DRIVER_LOG_CAPTURE received from server. status: %d"},
        {RESP_START_OUTER_PKT_CAPTURE, &CKTDiag::m_outerCaptureStatus,
         "Response for RESP_START_OUTER_PKT_CAPTURE received from server, status: %d"},
        {RESP_STOP_OUTER_PKT_CAPTURE, &CKTDiag::m_outerCaptureStatus,
         "Response for RESP_STOP_OUTER_PACKET_CAPTURE received from server. status: %d"},
        {RESP_OUTER_PKT_CAPTURE_STATUS, &CKTDiag::m_outerCaptureStatus,
         "Response for RESP_OUTER_PKT_CAPTURE_STATUS received from server, status: %d"},
        {RESP_DRIVER_LOG_CAPTURE_STATUS, &CKTDiag::m_driverCaptureStatus,
         "Response for RESP_DRIVER_LOG_CAPTURE_STATUS received from server. status: %d"},
        {RESP_SET_PKT_ACTION, &CKTDiag::m_pktActionStatus,
         "Response for SET_PKT_ACTION received from server. status: %d"},
    };
    for (const StatusReply& reply : replies) {
        if (reply.id == id) {
            return &reply;
        }
    }
    return nullptr;
}

bool CKTDiag::storeStatusReply(KTMsg2& msg, const StatusReply& reply, ReplyLock& lock)
{
    const std::optional<bool> status = flagItem(msg, "status");
    KTLOG_PEER(KT_LOG_INFO, reply.logLine, status.value_or(false) ? 1 : 0);
    lock.lock();
    if (reply.field == nullptr) {
        return status.value_or(false);
    }
    if (status) {
        this->*reply.field = *status;
    }
    return this->*reply.field;
}

bool CKTDiag::storeClientStatus(KTMsg2& msg, ReplyLock& lock)
{
    KTLOG_PEER(KT_LOG_INFO, "Response for GET_STATUS");
    // Read straight into the fields: GetItem leaves a field as it was when its item is
    // missing.
    lock.lock();
    msg.GetItem("tunnelstatus", m_tunnelStatus);
    // Taken, not copied: a reply may carry megabytes of text.
    msg.TakeItem("status", m_clientStatus);
    msg.TakeItem("onpremStatus", m_onpremStatus);
    msg.TakeItem("gatewayHost", m_gatewayHost);
    msg.TakeItem("gtwIP", m_gtwIP);
    msg.TakeItem("tunnelProtocol", m_tunnelProtocol);
    msg.TakeItem("explicitProxy", m_explicitProxy);
    return true;
}

bool CKTDiag::logTunnelStatus(KTMsg2& msg, ReplyLock& lock)
{
    int tunnelStatus = 0;
    msg.GetItem("tunnelstatus", tunnelStatus);
    KTLOG_PEER(KT_LOG_INFO, "client tunnel status = %d", tunnelStatus);
    lock.lock();
    return true;
}

bool CKTDiag::storeUpdateReply(KTMsg2& msg, ReplyLock& lock)
{
    // The check's answer also says whether an update is available; its own status, like the
    // download's, lands in m_updateStatus.
    const bool check = msg.m_msgId == CONFIG_UPDATE_AVAILABLE;
    const std::optional<bool> status = flagItem(msg, check ? "updateCheckStatus" : "updateStatus");
    const std::optional<bool> available =
        check ? flagItem(msg, "updateStatus") : std::optional<bool>();
    lock.lock();
    if (available) {
        m_updateAvailable = *available;
    }
    if (status) {
        m_updateStatus = *status;
    }
    return true;
}

bool CKTDiag::storeQpaStatus(KTMsg2& msg, ReplyLock& lock)
{
    lock.lock();
    msg.TakeItem("qpaStatus", m_qpaStatus);
    return true;
}

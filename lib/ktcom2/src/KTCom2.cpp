#include "ktcom2/KTCom2.h"

#include "bigEndian.h"
#include "ktcom2/KTComFrame.h"

#include "ktLog/ktLog.h"
#include "ktLog/peerLines.h"
#include "ktmsg2/KTMsg2.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <optional>
#include <thread>

static const char* const kLogModule = "KTCOM2";

namespace kp = ktPlatform;

namespace {

constexpr std::uint16_t kServicePort = 57130;
// The service's acknowledgement is a small frame; anything longer is refused.
constexpr std::size_t kMaxAckLength = 10000;
constexpr std::size_t kRecvChunk = 10000;
constexpr std::size_t kWakeDrain = 256;

// Set on the worker thread, so stop can tell that a listener called it.
thread_local const CKTCom2* t_worker = nullptr;

std::string lengthPrefix(std::uint32_t length)
{
    std::string prefix(4, '\0');
    writeBigEndian32(&prefix[0], length);
    return prefix;
}

// A text whose first key plainly names another id is no keep-alive, and a long message is
// not parsed twice over; the parsed message is gone before the listener parses the text.
// A text refused here is the listener's to log, once.
bool isKeepAlive(const std::string& text)
{
    const std::optional<int> id = KTMsg2::peekId(text);
    if (id && *id != CLIENT_PING) {
        return false;
    }
    KTMsg2 message;
    return message.attachQuietly(text) && message.m_msgId == CLIENT_PING;
}

int millisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

} // namespace

CKTCom2::CKTCom2() : m_port(kp::servicePort(kServicePort)) {}

CKTCom2::~CKTCom2()
{
    stop();
}

bool CKTCom2::setTiming(const KTCom2Timing& timing)
{
    if (m_running) {
        return false;
    }
    m_timing = timing;
    return true;
}

bool CKTCom2::start(IKTCom2Listener* listener, const std::string& clientName)
{
    if (m_running || m_stop || m_thread.joinable()) {
        KTLOG(KT_LOG_ERROR, "attempt to start, Already Started");
        return false;
    }
    if (listener == nullptr || clientName.empty()) {
        KTLOG(KT_LOG_ERROR, "start failed, Invalid argument");
        return false;
    }
    if (initWinsock() != 0) {
        KTLOG(KT_LOG_ERROR, "unable to initialize, start failed");
        return false;
    }
    // One wake-up pair for the life of the object, so every wait of the worker can be
    // cut short by stop.
    if (!m_wakeRecvSocket.valid()) {
        kp::Socket readEnd = kp::kInvalidSocket;
        kp::Socket writeEnd = kp::kInvalidSocket;
        if (!kp::createWakePair(readEnd, writeEnd)) {
            KTLOG(KT_LOG_ERROR, "failed to create socket, err: %d", kp::socketLastError());
            KTLOG(KT_LOG_ERROR, "unable to start, Failed to create socket pair");
            return false;
        }
        m_wakeRecvSocket.reset(readEnd);
        m_wakeSendSocket.reset(writeEnd);
    }
    m_listener = listener;
    m_mode = Mode::client;
    KTLOG(KT_LOG_INFO, "ktcom2 client started");
    m_clientName = clientName;
    return doClientWork() == 0;
}

int CKTCom2::initWinsock()
{
    const int rc = kp::socketStartup();
    if (rc != 0) {
        KTLOG(KT_LOG_ERROR, "WSAStartup Failed: %d", rc);
    }
    return rc;
}

int CKTCom2::doClientWork()
{
    m_running = true;
    try {
        boost::thread worker(&CKTCom2::clientThread, this);
        m_thread = std::move(worker);
    } catch (const std::exception& e) {
        m_running = false;
        KTLOG(KT_LOG_ERROR, "doClientWork(): error starting clientThread %s", e.what());
        return -2;
    }
    return 0;
}

bool CKTCom2::stop()
{
    if (t_worker == this) {
        KTLOG(KT_LOG_ERROR, "stop refused: called on the client thread");
        return false;
    }
    if (!m_thread.joinable()) {
        return false;
    }
    m_stop = true;
    wakeWorker();
    m_thread.join();
    m_running = false;
    KTLOG(KT_LOG_DEBUG, "CKTCom2 stopped");
    return true;
}

void CKTCom2::wakeWorker()
{
    const long sent = kp::sendSome(m_wakeSendSocket.get(), " ", 1);
    KTLOG(KT_LOG_DEBUG, "%d Bytes sent to wake up select", static_cast<int>(sent));
}

void CKTCom2::drainWake()
{
    char buffer[kWakeDrain];
    while (kp::recvSome(m_wakeRecvSocket.get(), buffer, sizeof(buffer)) > 0) {
    }
}

void CKTCom2::closeConnection()
{
    boost::mutex::scoped_lock lock(m_mutex);
    m_connected = false;
    m_socket.reset();
}

CKTCom2::WaitResult CKTCom2::waitFor(kp::Socket socket, bool forWrite, Clock::time_point deadline)
{
    for (;;) {
        if (m_stop) {
            return WaitResult::stopped;
        }
        const int left = millisecondsUntil(deadline);
        if (left == 0) {
            return WaitResult::timedOut;
        }
        kp::PollEntry entries[2];
        entries[0].socket = m_wakeRecvSocket.get();
        entries[0].wantRead = true;
        std::size_t count = 1;
        if (socket != kp::kInvalidSocket) {
            entries[1].socket = socket;
            entries[1].wantRead = !forWrite;
            entries[1].wantWrite = forWrite;
            count = 2;
        }
        if (kp::pollSockets(entries, count, left) == kp::kSocketError) {
            return WaitResult::failed;
        }
        if (entries[0].readable) {
            drainWake(); // a stop shows in m_stop; older wake-ups are stale here
        }
        if (count == 2 && (entries[1].readable || entries[1].writable)) {
            return WaitResult::ready;
        }
    }
}

void CKTCom2::clientThread()
{
    t_worker = this;
    bool errorReported = false;
    int threshold = 2;
    int attempts = 0;
    bool first = true;
    while (!m_stop) {
        if (!first) {
            const WaitResult waited =
                waitFor(kp::kInvalidSocket, false,
                        Clock::now() + std::chrono::milliseconds(m_timing.retryDelayMs));
            if (waited == WaitResult::stopped) {
                break;
            }
            if (waited == WaitResult::failed) {
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::min(m_timing.retryDelayMs, 100)));
                continue;
            }
        }
        first = false;
        ++attempts;
        try {
            connectOnce(attempts, threshold, errorReported);
        } catch (const std::exception& e) {
            KTLOG(KT_LOG_ERROR, "clientThread(): exception %s", e.what());
            closeConnection();
        }
    }
    closeConnection();
    t_worker = nullptr;
}

void CKTCom2::connectOnce(int& attempts, int& threshold, bool& errorReported)
{
    const auto report = [&](int code) {
        if (!errorReported && !m_stop) {
            errorReported = true;
            m_listener->onError(code, std::string());
        }
    };

    int rc = resolveRemoteHost();
    if (rc != 0) {
        report(rc);
        return;
    }
    const kp::Socket socket = kp::openStreamSocket(m_remoteAddr.family);
    if (socket == kp::kInvalidSocket) {
        const int code = kp::socketLastError();
        KTLOG(KT_LOG_ERROR, "client socket created failed %d", code);
        report(code);
        return;
    }
    {
        boost::mutex::scoped_lock lock(m_mutex);
        m_socket.reset(socket);
    }
    // Non-blocking from the start, so the connect and the handshake can be cut short.
    if (kp::setNonBlocking(socket, true) != 0) {
        const int code = kp::socketLastError();
        KTLOG(KT_LOG_ERROR, "failed to set socket to non-blocking: %d", code);
        closeConnection();
        KTLOG(KT_LOG_ERROR, "set_non_blocking failed %d", code);
        report(code);
        return;
    }
    rc = connectToService();
    if (rc != 0) {
        closeConnection();
        if (m_stop) {
            return;
        }
        if (attempts == threshold) {
            KTLOG(KT_LOG_ERROR, "client socket connect failed %d", rc);
            attempts = 0;
            if (threshold < 32) {
                threshold *= 2;
            }
        }
        report(rc);
        return;
    }

    // Each connection starts a clean stream.
    {
        boost::mutex::scoped_lock lock(m_mutex);
        m_outBuffer.clear();
        m_canSendDirectly = true;
    }
    m_recvBuffer.clear();
    m_sendError = 0;

    rc = doHandshake();
    if (rc != 0) {
        closeConnection();
        if (!m_stop) {
            KTLOG(KT_LOG_ERROR, "DoHandshakefromClient failed");
        }
        report(rc);
        return;
    }
    {
        boost::mutex::scoped_lock lock(m_mutex);
        m_connected = true;
    }
    errorReported = false;
    // What the service sends may be logged about a bounded number of times per connection.
    KtPeerLineScope peerLines(kLogModule);
    m_listener->onConnected();
    rc = startClientMessagePump();
    closeConnection();
    if (rc != 0) {
        KTLOG(KT_LOG_ERROR, "startClientMessagePump failed %d", rc);
        m_listener->onError(rc, std::string());
    }
}

int CKTCom2::resolveRemoteHost()
{
    const int rc = kp::resolveHost(m_host, m_port, m_remoteAddr);
    if (rc != 0) {
        KTLOG(KT_LOG_ERROR, "resolveRemoteHost() failed %d", rc);
    }
    return rc;
}

int CKTCom2::connectToService()
{
    const kp::Socket socket = m_socket.get();
    const int rc = kp::startConnect(socket, m_remoteAddr);
    if (rc != kp::kWsaEwouldblock) {
        return rc;
    }
    switch (waitFor(socket, true, Clock::now() + std::chrono::milliseconds(m_timing.connectMs))) {
    case WaitResult::ready:
        return kp::connectResult(socket);
    case WaitResult::timedOut:
        return kp::kWsaEtimedout;
    case WaitResult::stopped:
        return kp::kWsaEintr;
    case WaitResult::failed:
        break;
    }
    return kp::socketLastError();
}

int CKTCom2::doHandshake()
{
    const int rc = DoHandshakefromClient();
    if (rc != 0) {
        return rc;
    }
    return recvHandshakeAckfromServer();
}

int CKTCom2::DoHandshakefromClient()
{
    CKTComFrameCreator creator;
    if (!creator.createFrameHeader(kFrameTypeRequest) ||
        !creator.addTLV(kTlvClientName, static_cast<std::uint16_t>(m_clientName.size()),
                        m_clientName)) {
        return -1;
    }
    const std::string& frame = creator.frame();
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_timing.handshakeWaitMs);
    int code = sendAllBefore(lengthPrefix(static_cast<std::uint32_t>(frame.size())), deadline);
    if (code == 0) {
        code = sendAllBefore(frame, deadline);
    }
    if (code != 0 && !m_stop) {
        KTLOG(KT_LOG_ERROR, "DoHandshakefromClient failed to send msg %d", code);
    }
    return code;
}

int CKTCom2::sendAllBefore(const std::string& data, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const long n = kp::sendSome(m_socket.get(), data.data() + done, data.size() - done);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int code = kp::socketLastError();
        if (code != kp::kWsaEwouldblock) {
            return code;
        }
        switch (waitFor(m_socket.get(), true, deadline)) {
        case WaitResult::ready:
            break;
        case WaitResult::timedOut:
            return kp::kWsaEtimedout;
        case WaitResult::stopped:
            return kp::kWsaEintr;
        case WaitResult::failed:
            return kp::socketLastError();
        }
    }
    return 0;
}

CKTCom2::ReadResult CKTCom2::recvExactly(char* out, std::size_t length, Clock::time_point deadline,
                                         int& code)
{
    // Exactly length bytes and never more: what follows belongs to the next unit.
    std::size_t got = 0;
    while (got < length) {
        switch (waitFor(m_socket.get(), false, deadline)) {
        case WaitResult::ready:
            break;
        case WaitResult::timedOut:
        case WaitResult::stopped:
            code = kp::kWsaEtimedout;
            return ReadResult::timedOut;
        case WaitResult::failed:
            code = kp::socketLastError();
            return ReadResult::timedOut;
        }
        const long n = kp::recvSome(m_socket.get(), out + got, length - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return ReadResult::closed;
        } else {
            code = kp::socketLastError();
            if (code != kp::kWsaEwouldblock) {
                return ReadResult::failed;
            }
        }
    }
    return ReadResult::done;
}

int CKTCom2::recvHandshakeAckfromServer()
{
    const auto wait = std::chrono::milliseconds(m_timing.handshakeWaitMs);
    int code = 0;
    char prefix[4] = {};
    switch (recvExactly(prefix, sizeof(prefix), Clock::now() + wait, code)) {
    case ReadResult::done:
        break;
    case ReadResult::timedOut:
        if (!m_stop) {
            KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer: select 1 faile %d", code);
        }
        return kp::kWsaEconnreset;
    case ReadResult::closed:
        KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer: recv 1 connection reset");
        return kp::kWsaEconnreset;
    case ReadResult::failed:
        KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer: recv 1 failed %d", code);
        return code;
    }

    const std::size_t length = readBigEndian32(prefix);
    if (length > kMaxAckLength) {
        KTLOG(KT_LOG_ERROR, "Not enough buffer to process incoming message.");
        return -1;
    }
    if (length == 0) {
        KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer: recv 2 connection reset");
        return kp::kWsaEconnreset;
    }
    std::string frame(length, '\0');
    switch (recvExactly(&frame[0], length, Clock::now() + wait, code)) {
    case ReadResult::done:
        break;
    case ReadResult::timedOut:
        if (!m_stop) {
            KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer: select 2 failed %d", code);
        }
        return kp::kWsaEconnreset;
    case ReadResult::closed:
        KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer: recv 2 connection reset");
        return kp::kWsaEconnreset;
    case ReadResult::failed:
        KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer: recv 2 failed %d", code);
        return kp::kWsaEconnreset;
    }

    return checkHandshakeAck(frame);
}

int CKTCom2::startClientMessagePump()
{
    const int rc = pumpMessages();
    KTLOG(KT_LOG_DEBUG, "startClientMessagePupm ended");
    return rc;
}

int CKTCom2::pumpMessages()
{
    const kp::Socket socket = m_socket.get();
    const kp::Socket wake = m_wakeRecvSocket.get();
    while (!m_stop) {
        kp::PollEntry entries[2];
        entries[0].socket = socket;
        entries[0].wantRead = true;
        {
            boost::mutex::scoped_lock lock(m_mutex);
            entries[0].wantWrite = !m_canSendDirectly;
        }
        entries[1].socket = wake;
        entries[1].wantRead = true;
        const int ready = kp::pollSockets(entries, 2, std::max(m_timing.pingIntervalMs, 0));
        if (ready == kp::kSocketError) {
            const int code = kp::socketLastError();
            KTLOG(KT_LOG_ERROR, "startClientMessagePump: select failed %d", code);
            m_listener->onError(code, std::string());
            return -1;
        }
        if (reportSendError()) {
            return 0;
        }

        if (ready == 0) {
            // Idle for the whole interval: keep the link alive.
            KTMsg2 ping;
            ping.m_msgId = CLIENT_PING;
            std::string text;
            if (!ping.detach(text) || !SendMsg(text, std::string())) {
                reportSendError();
                KTLOG(KT_LOG_ERROR, "ping sent failed");
                return 0;
            }
            if (receiveStep()) {
                return 0;
            }
            continue;
        }
        if (entries[0].readable) {
            KTLOG(KT_LOG_DEBUG, "startClientMessagePump: read ready");
            if (receiveStep()) {
                return 0;
            }
        }
        if (entries[1].readable) {
            KTLOG(KT_LOG_DEBUG, "startClientMessagePump:select wake up triggered");
            char buffer[kWakeDrain];
            const long n = kp::recvSome(wake, buffer, sizeof(buffer));
            if (n > 0) {
                KTLOG(KT_LOG_DEBUG, "socket pair recv ret %d", static_cast<int>(n));
            } else if (n == 0) {
                KTLOG(KT_LOG_ERROR, "socket pair recv Connection closed");
                return 0;
            } else if (kp::socketLastError() != kp::kWsaEwouldblock) {
                KTLOG(KT_LOG_ERROR, "socket pair recv ret %d error %d", static_cast<int>(n),
                      kp::socketLastError());
                return 0;
            }
        }
        if (entries[0].writable) {
            KTLOG(KT_LOG_DEBUG, "startClientMessagePump:write ready");
            const int code = writePending();
            if (code != 0) {
                m_listener->onError(code, std::string());
                return code;
            }
        }
    }
    return 0;
}

bool CKTCom2::reportSendError()
{
    const int code = m_sendError.exchange(0);
    if (code == 0) {
        return false;
    }
    m_listener->onError(code, std::string());
    return true;
}

bool CKTCom2::receiveStep()
{
    if (recvAvailable(m_socket.get()) == 0) {
        return false;
    }
    closeConnection();
    // A stream that our own failed send shut down reports that error instead.
    if (!reportSendError()) {
        m_listener->onDisconnected(0, std::string());
    }
    KTLOG(KT_LOG_ERROR, "Connection closed by server");
    return true;
}

int CKTCom2::recvAvailable(kp::Socket socket)
{
    char chunk[kRecvChunk];
    while (!m_stop) {
        const long n = kp::recvSome(socket, chunk, sizeof(chunk));
        if (n > 0) {
            // Split after every read, so no more than one unit is ever held.
            if (!processIncomingData(chunk, static_cast<std::size_t>(n))) {
                return kp::kWsaEconnreset;
            }
            continue;
        }
        if (n == 0) {
            return kp::kWsaEconnreset;
        }
        const int code = kp::socketLastError();
        if (code == kp::kWsaEwouldblock) {
            return 0;
        }
        KTLOG(KT_LOG_ERROR, "recv failed %d", code);
        return kp::kWsaEconnreset;
    }
    return 0;
}

bool CKTCom2::processIncomingData(const char* data, std::size_t length)
{
    return m_recvBuffer.feed(data, length, [this](std::string&& text) {
        if (!isKeepAlive(text)) {
            m_listener->onMessage(text, m_clientName);
        }
    });
}

int CKTCom2::writePending()
{
    boost::mutex::scoped_lock lock(m_mutex);
    std::size_t sent = 0;
    const int code = ktsend(m_socket.get(), m_outBuffer.data(), m_outBuffer.size(), &sent);
    if (code != 0 && code != kp::kWsaEwouldblock) {
        return code;
    }
    m_outBuffer.erase(0, sent);
    if (m_outBuffer.empty()) {
        std::string().swap(m_outBuffer); // the room a backlog took goes with it
    }
    m_canSendDirectly = code == 0;
    return 0;
}

int CKTCom2::ktsend(kp::Socket socket, const char* data, std::size_t length, std::size_t* sent)
{
    std::size_t total = 0;
    int code = 0;
    while (total < length) {
        const long n = kp::sendSome(socket, data + total, length - total);
        if (n == kp::kSocketError) {
            code = kp::socketLastError();
            KTLOG(KT_LOG_ERROR, "ktsend: send failed: %d", code);
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    if (sent != nullptr) {
        *sent = total;
    }
    return code;
}

bool CKTCom2::SendMsg(const std::string& message, const std::string& /*target*/)
{
    if (!m_connected) {
        KTLOG(KT_LOG_ERROR, "SendMsg: Client/Server not running");
        return false;
    }
    if (message.size() > std::numeric_limits<std::uint32_t>::max()) {
        KTLOG(KT_LOG_ERROR, "SendMsg: message too long %zu", message.size());
        return false;
    }
    const std::string unit = lengthPrefix(static_cast<std::uint32_t>(message.size())) + message;
    if (!sendOrQueue(unit)) {
        KTLOG(KT_LOG_INFO, "Message sent from client failed");
        return false;
    }
    return true;
}

bool CKTCom2::sendOrQueue(const std::string& unit)
{
    bool sentOrQueued = true;
    bool wake = false;
    {
        boost::mutex::scoped_lock lock(m_mutex);
        if (!m_connected) {
            return false;
        }
        if (!m_canSendDirectly) {
            // Refused whole, so the stream stays a sequence of whole units.
            if (unit.size() > kMaxQueuedBytes - std::min(m_outBuffer.size(), kMaxQueuedBytes)) {
                KTLOG(KT_LOG_ERROR, "SendMsg: %zu bytes wait unsent, message refused",
                      m_outBuffer.size());
                return false;
            }
            m_outBuffer += unit; // the pump already watches the socket for writing
            return true;
        }
        std::size_t sent = 0;
        const int code = ktsend(m_socket.get(), unit.data(), unit.size(), &sent);
        if (code != 0 && code != kp::kWsaEwouldblock) {
            // The stream may hold part of this unit: shut it down so the worker reports
            // the error and reconnects on a clean stream.
            kp::shutdownSocket(m_socket.get());
            m_connected = false;
            m_sendError = code;
            sentOrQueued = false;
            wake = true;
        } else if (code == kp::kWsaEwouldblock) {
            m_canSendDirectly = false;
            m_outBuffer.append(unit, sent, std::string::npos);
            wake = true; // the pump must add the socket to its write set
        }
    }
    if (wake) {
        wakeWorker();
    }
    return sentOrQueued;
}

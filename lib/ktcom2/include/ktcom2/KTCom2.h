#pragma once
// The tool's end of the link to the client service: a TCP client to 127.0.0.1 that runs
// one worker thread. The worker connects, performs the handshake, pumps length-prefixed
// JSON messages, sends a keep-alive when idle and reconnects after any loss, until stop.

#include "ktPlatform/sockets.h"
#include "ktcom2/KTUnitSplitter.h"

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// How CKTCom2 reports to its owner. Every call comes from the worker thread, with no lock
// of CKTCom2 held, so a listener may call SendMsg; it must not destroy the client, and
// stop called from a listener is refused.
class IKTCom2Listener {
public:
    // One received message as JSON text without its prefix; peer is the client name.
    // Texts that do not parse arrive too; keep-alive messages never do.
    virtual void onMessage(const std::string& message, const std::string& peer) = 0;
    // The handshake succeeded; messages may be sent.
    virtual void onConnected() {}
    // A failure with its code (a Windows Sockets code, a resolver code or -1); peer is
    // empty. Once per series of failed attempts, and for each failure of a connection.
    virtual void onError(int /*code*/, const std::string& /*peer*/) {}
    // The service closed the connection (code 0, peer empty); the worker reconnects.
    virtual void onDisconnected(int /*code*/, const std::string& /*peer*/) {}
    // Server side only; never called by this client.
    virtual bool acceptPeer(const std::string& /*peer*/) { return true; }

protected:
    ~IKTCom2Listener() = default;
};

// Waits of the link in milliseconds; the defaults are the service's.
struct KTCom2Timing {
    int connectMs = 30000;       // a connect that neither succeeds nor fails
    int handshakeWaitMs = 30000; // for each of the two parts of the acknowledgement
    int pingIntervalMs = 30000;  // idle time before a keep-alive is sent
    int retryDelayMs = 10000;    // between connection attempts
};

// Unsent bytes a client queues for a service that does not read; more are refused.
constexpr std::size_t kMaxQueuedBytes = 16u * 1024u * 1024u;

class CKTCom2 {
public:
    // Starts nothing. The port is 57130 unless the platform overrides it.
    CKTCom2();
    // Stops and joins a running worker first.
    ~CKTCom2();
    CKTCom2(const CKTCom2&) = delete;
    CKTCom2& operator=(const CKTCom2&) = delete;

    // Replaces the waits; only before start (false afterwards).
    bool setTiming(const KTCom2Timing& timing);

    // Starts the worker, which connects under clientName and reports to listener. False
    // (logged) once started or stopped, for a null listener or an empty name, or when the
    // worker could not be made. Does not wait for the connection.
    bool start(IKTCom2Listener* listener, const std::string& clientName);

    // Ends the worker, also while it connects or waits to retry, and joins it; no listener
    // call follows. True when a worker was ended; false when none ran, or when called
    // from a listener (the worker cannot join itself).
    bool stop();

    // Sends one message (normally KTMsg2::detach output) behind a 4-byte big-endian length.
    // True when the whole unit was sent or queued behind earlier ones; false when not
    // connected, when the send failed, or when the service has left so much unread that
    // the unit would take the queue past kMaxQueuedBytes (the queue is kept). Never calls the
    // listener on the caller's thread: a broken stream is shut down and the worker reports the
    // error and reconnects. target is ignored by a client.
    bool SendMsg(const std::string& message, const std::string& target);

private:
    // The link's mode numbers (0 would be a server, which this tool never is).
    enum class Mode { client = 1, notStarted = 2 };
    enum class WaitResult { ready, timedOut, stopped, failed };
    enum class ReadResult { done, closed, failed, timedOut };
    using Clock = std::chrono::steady_clock;

    int initWinsock();
    int doClientWork();
    void clientThread();
    void connectOnce(int& attempts, int& threshold, bool& errorReported);
    int resolveRemoteHost();
    int connectToService();
    int doHandshake();
    int DoHandshakefromClient();
    int recvHandshakeAckfromServer();
    int sendAllBefore(const std::string& data, Clock::time_point deadline);
    ReadResult recvExactly(char* out, std::size_t length, Clock::time_point deadline, int& code);
    WaitResult waitFor(ktPlatform::Socket socket, bool forWrite, Clock::time_point deadline);
    void drainWake();
    void wakeWorker();
    void closeConnection();

    int startClientMessagePump();
    int pumpMessages();
    bool receiveStep();
    int recvAvailable(ktPlatform::Socket socket);
    bool processIncomingData(const char* data, std::size_t length);
    int writePending();
    bool reportSendError();
    bool sendOrQueue(const std::string& unit);
    int ktsend(ktPlatform::Socket socket, const char* data, std::size_t length, std::size_t* sent);

    Mode m_mode = Mode::notStarted;
    ktPlatform::UniqueSocket m_socket;  // replaced and closed only under m_mutex, by the worker
    std::atomic<bool> m_running{false}; // a worker was started and not yet stopped
    std::uint16_t m_port;
    std::string m_host = "127.0.0.1";
    ktPlatform::SocketAddress m_remoteAddr;
    IKTCom2Listener* m_listener = nullptr;
    std::atomic<bool> m_stop{false}; // never cleared: a stopped client is not started again
    ktPlatform::UniqueSocket m_wakeRecvSocket; // the wake-up pair, made once by start
    ktPlatform::UniqueSocket m_wakeSendSocket;
    bool m_canSendDirectly = true;        // guarded by m_mutex: m_outBuffer is empty
    std::atomic<bool> m_connected{false}; // written under m_mutex: handshake done, socket open
    std::atomic<int> m_sendError{0};      // a failed send for the worker to report
    boost::thread m_thread;
    std::string m_outBuffer; // guarded by m_mutex: unsent tail of earlier units, in order
    std::string m_clientName;
    boost::mutex m_mutex;
    CKTUnitSplitter m_recvBuffer; // worker only: the bytes of a unit not yet complete
    KTCom2Timing m_timing;
};

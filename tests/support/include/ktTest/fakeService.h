#pragma once
// A fake client service on 127.0.0.1 with framing and JSON code of its own, so tests of
// the tool's service link never check that code against itself. It serves one
// connection at a time: checks the handshake request, answers with a scripted
// acknowledgement, records every message and answers by id from a script. It never
// creates files.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ktTest {

// How the fake answers a handshake request.
enum class AckMode {
    valid,           // 14-byte acknowledgement frame
    withTlvs,        // acknowledgement carrying two TLVs
    badSignature,    // "KesTr4nX"
    version2,        // version byte 2
    type0,           // a request frame echoed back
    prefix10001,     // a valid frame of 10001 bytes
    prefix10000,     // a valid frame of 10000 bytes
    truncated,       // prefix 14, then 10 bytes, then the connection is closed
    silent,          // nothing at all
    oneBytePerWrite, // the valid acknowledgement, one byte per write
    withMessage,     // the valid acknowledgement and a 121 reply in one write
};

// One message received after the handshake.
struct FakeMessage {
    int id = 0; // the first key as a decimal number; 0 when the text is not a message
    std::vector<std::pair<std::string, std::string>> items; // leaf paths and values, in order
    std::string raw;                                        // the unit's payload
};

// What the fake does when a message arrives.
struct FakeReply {
    enum class Kind {
        message,    // bytes is a JSON text, sent as one unit
        raw,        // bytes are sent as they are
        silence,    // nothing
        disconnect, // the connection is closed
        reset,      // the connection is reset (RST)
        oversized,  // a 0xFFFFFFFF prefix, then up to 64 MiB until the client drops it
        malformed,  // a unit whose text is not JSON
    };
    Kind kind = Kind::message;
    std::string bytes;
    int delayMs = 0; // waited before acting
    // raw: bytes are sent this many times over, or until the client is gone.
    std::size_t repeat = 1;
};

using FakeItems = std::vector<std::pair<std::string, std::string>>;

// {"<id>":{"key":"value",...}} (the value is "" without items), written by the fake.
std::string fakeJson(int id, const FakeItems& items);
// A 4-byte big-endian length and the payload.
std::string fakeUnit(const std::string& payload);
// Parses a message text with the fake's reader; false for text that is not a message.
bool parseFakeMessage(const std::string& text, FakeMessage& message);
// The answer the service gives each request of the tool; none for requests it does not
// answer (keep-alives, log level and size).
std::optional<FakeReply> plausibleReply(const FakeMessage& request);

class FakeService {
public:
    // Listens on 127.0.0.1:port (0: any free port); throws std::runtime_error otherwise.
    explicit FakeService(std::uint16_t port = 0);
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    std::uint16_t port() const { return m_port; }

    // Scripts, for the connections and messages that follow.
    void setAck(AckMode mode);
    void setReply(int id, FakeReply reply);
    // Asked for messages without a scripted reply.
    void setReplier(std::function<std::optional<FakeReply>(const FakeMessage&)> replier);
    // Called on the service thread for every message, with the reply taken (if any).
    void setObserver(std::function<void(const FakeMessage&, const FakeReply*)> observer);
    // false: stop reading from the client, so its sends back up; true: read again.
    void setReading(bool on);
    // Messages longer than bytes are recorded with only their first bytes of text and no
    // items (the id is still read), so a test that streams much holds little. 0: all.
    void setRecordLimit(std::size_t bytes);

    // Acts on the current connection from the service thread; false when there is none.
    bool sendRaw(const std::string& bytes, bool oneBytePerWrite = false);
    // Sends head, then "x" bytes without end on the current connection until the client
    // drops it or limit bytes are out; the bytes sent after head.
    std::size_t flood(const std::string& head, std::size_t limit);
    bool closeClient();
    bool resetClient();

    // The first message of that id not yet returned by waitFor, within timeout.
    std::optional<FakeMessage> waitFor(int id, std::chrono::milliseconds timeout);
    // True once count handshake requests passed the checks.
    bool waitForHandshakes(int count, std::chrono::milliseconds timeout);
    // True once the current connection has ended (the client closed or reset it).
    bool waitForClientGone(std::chrono::milliseconds timeout);

    int handshakes() const;
    int connections() const;
    std::string clientName() const;       // of the last valid request
    std::string lastRequest() const;      // the last request unit, prefix included
    std::string handshakeProblem() const; // why the last request was refused; empty if fine
    std::vector<FakeMessage> messages() const;
    std::size_t receivedBytes() const;         // bytes read after handshakes
    std::size_t oversizedBytesWritten() const; // of the last oversized reply

private:
    struct Task {
        std::function<bool(int)> work;
        std::promise<bool>* done;
    };

    void run();
    void serve(int fd);
    bool handshake(int fd);
    bool readExactly(int fd, std::string& out, std::size_t length, int timeoutMs);
    bool act(int fd, const FakeReply& reply); // false: the connection is gone
    bool runTasks(int fd);                    // false: the connection is gone
    bool callOnService(std::function<bool(int)> work);
    void wake();

    std::uint16_t m_port = 0;
    int m_listen = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    bool m_stopping = false; // guarded by m_mutex

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    AckMode m_ack = AckMode::valid;
    std::map<int, FakeReply> m_replies;
    std::function<std::optional<FakeReply>(const FakeMessage&)> m_replier;
    std::function<void(const FakeMessage&, const FakeReply*)> m_observer;
    bool m_reading = true;
    std::size_t m_recordLimit = 0;
    std::vector<Task> m_tasks;
    int m_handshakes = 0;
    int m_connections = 0;
    bool m_clientConnected = false;
    std::string m_clientName;
    std::string m_lastRequest;
    std::string m_problem;
    std::vector<FakeMessage> m_messages;
    std::vector<bool> m_taken;
    std::size_t m_receivedBytes = 0;
    std::size_t m_oversizedWritten = 0;

    std::thread m_thread;
};

} // namespace ktTest

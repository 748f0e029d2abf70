#include "ktTest/fakeService.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace ktTest {

namespace {

// The wire format, written out again here on purpose.
const std::string kSignature = "KesTr4ni";
constexpr std::size_t kHeader = 14;
constexpr std::size_t kMaxRequest = 10000;
constexpr int kIoTimeoutMs = 5000;
constexpr int kMaxDepth = 64;

void put32(std::string& out, std::uint32_t v)
{
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void put16(std::string& out, std::uint16_t v)
{
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

std::uint32_t get32(const std::string& in, std::size_t at)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = (v << 8) | static_cast<unsigned char>(in[at + i]);
    }
    return v;
}

std::uint16_t get16(const std::string& in, std::size_t at)
{
    return static_cast<std::uint16_t>((static_cast<unsigned char>(in[at]) << 8) |
                                      static_cast<unsigned char>(in[at + 1]));
}

std::string tlv(std::uint16_t type, const std::string& value)
{
    std::string out;
    put16(out, type);
    put16(out, static_cast<std::uint16_t>(value.size()));
    return out + value;
}

std::string frame(const std::string& signature, int version, int type, const std::string& tlvs)
{
    std::string out = signature;
    out += static_cast<char>(version);
    out += static_cast<char>(type);
    put32(out, static_cast<std::uint32_t>(tlvs.size()));
    return out + tlvs;
}

std::string validAck()
{
    return fakeUnit(frame(kSignature, 1, 1, ""));
}

// An acknowledgement frame of exactly size bytes, padded with one TLV.
std::string ackOfSize(std::size_t size)
{
    return fakeUnit(frame(kSignature, 1, 1, tlv(9, std::string(size - kHeader - 4, 'p'))));
}

std::string ackBytes(AckMode mode)
{
    switch (mode) {
    case AckMode::valid:
    case AckMode::oneBytePerWrite:
        return validAck();
    case AckMode::withTlvs:
        return fakeUnit(frame(kSignature, 1, 1, tlv(0, "RizazudAre") + tlv(7, "\x01\x02")));
    case AckMode::badSignature:
        return fakeUnit(frame("KesTr4nX", 1, 1, ""));
    case AckMode::version2:
        return fakeUnit(frame(kSignature, 2, 1, ""));
    case AckMode::type0:
        return fakeUnit(frame(kSignature, 1, 0, tlv(0, "RizazudAre")));
    case AckMode::prefix10001:
        return ackOfSize(10001);
    case AckMode::prefix10000:
        return ackOfSize(10000);
    case AckMode::truncated:
        return validAck().substr(0, 14);
    case AckMode::silent:
        return "";
    case AckMode::withMessage:
        return validAck() + fakeUnit(fakeJson(121, {{"status", "true"}}));
    }
    return "";
}

bool sendAll(int fd, const std::string& bytes, bool oneByteEach = false)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        // Bounded writes: a sanitizer checks the whole range handed to each call.
        const std::size_t chunk =
            oneByteEach ? 1 : std::min<std::size_t>(bytes.size() - done, 65536);
        const ssize_t n = ::send(fd, bytes.data() + done, chunk, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
        if (oneByteEach) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

void resetAndClose(int fd)
{
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    ::close(fd);
}

// A small JSON reader: enough for the tool's messages, strict about structure.
class Reader {
public:
    explicit Reader(const std::string& text) : m_s(text) {}

    bool message(FakeMessage& out)
    {
        skip();
        if (!eat('{')) {
            return false;
        }
        skip();
        std::string key;
        if (!string(key)) {
            return false;
        }
        skip();
        if (!eat(':')) {
            return false;
        }
        FakeItems items;
        if (!value("", items, 1)) {
            return false;
        }
        out.id = decimal(key);
        out.items = std::move(items);
        return true;
    }

private:
    static int decimal(const std::string& key)
    {
        if (key.empty() || key.size() > 9) {
            return 0;
        }
        int v = 0;
        for (char c : key) {
            if (c < '0' || c > '9') {
                return 0;
            }
            v = v * 10 + (c - '0');
        }
        return v;
    }

    void skip()
    {
        while (m_i < m_s.size() && std::strchr(" \t\r\n", m_s[m_i]) != nullptr) {
            ++m_i;
        }
    }

    bool eat(char c)
    {
        if (m_i < m_s.size() && m_s[m_i] == c) {
            ++m_i;
            return true;
        }
        return false;
    }

    static void utf8(std::string& out, unsigned long cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(unsigned long& cp)
    {
        if (m_i + 4 > m_s.size()) {
            return false;
        }
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = m_s[m_i++];
            cp <<= 4;
            if (c >= '0' && c <= '9') {
                cp |= static_cast<unsigned long>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                cp |= static_cast<unsigned long>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                cp |= static_cast<unsigned long>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    bool string(std::string& out)
    {
        if (!eat('"')) {
            return false;
        }
        while (m_i < m_s.size()) {
            const char c = m_s[m_i++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_i >= m_s.size()) {
                return false;
            }
            const char e = m_s[m_i++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned long cp = 0;
                if (!hex4(cp)) {
                    return false;
                }
                if (cp >= 0xD800 && cp < 0xDC00 && m_i + 1 < m_s.size() && m_s[m_i] == '\\' &&
                    m_s[m_i + 1] == 'u') {
                    m_i += 2;
                    unsigned long low = 0;
                    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                        return false;
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                utf8(out, cp);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    static std::string join(const std::string& path, const std::string& key)
    {
        return path.empty() ? key : path + "." + key;
    }

    bool value(const std::string& path, FakeItems& items, int depth)
    {
        skip();
        if (m_i >= m_s.size()) {
            return false;
        }
        const char c = m_s[m_i];
        if (c == '{' || c == '[') {
            if (depth >= kMaxDepth) {
                return false;
            }
            const bool object = c == '{';
            ++m_i;
            skip();
            if (eat(object ? '}' : ']')) {
                return true;
            }
            for (int index = 0;; ++index) {
                std::string key = std::to_string(index);
                if (object) {
                    skip();
                    key.clear();
                    if (!string(key)) {
                        return false;
                    }
                    skip();
                    if (!eat(':')) {
                        return false;
                    }
                }
                if (!value(join(path, key), items, depth + 1)) {
                    return false;
                }
                skip();
                if (eat(object ? '}' : ']')) {
                    return true;
                }
                if (!eat(',')) {
                    return false;
                }
            }
        }
        std::string text;
        if (c == '"') {
            if (!string(text)) {
                return false;
            }
        } else {
            while (m_i < m_s.size() && std::strchr("-+.0123456789eEtruefalsn", m_s[m_i])) {
                text += m_s[m_i++];
            }
            if (text.empty()) {
                return false;
            }
        }
        if (!path.empty()) {
            items.emplace_back(path, text);
        }
        return true;
    }

    const std::string& m_s;
    std::size_t m_i = 0;
};

std::string escapeJson(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

std::string fakeJson(int id, const FakeItems& items)
{
    std::string out = "{\"" + std::to_string(id) + "\":";
    if (items.empty()) {
        return out + "\"\"}";
    }
    out += '{';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += "\"" + escapeJson(items[i].first) + "\":\"" + escapeJson(items[i].second) + "\"";
    }
    return out + "}}";
}

std::string fakeUnit(const std::string& payload)
{
    std::string out;
    put32(out, static_cast<std::uint32_t>(payload.size()));
    return out + payload;
}

bool parseFakeMessage(const std::string& text, FakeMessage& message)
{
    return Reader(text).message(message);
}

std::optional<FakeReply> plausibleReply(const FakeMessage& request)
{
    const auto reply = [](int id, FakeItems items) {
        FakeReply r;
        r.bytes = fakeJson(id, items);
        return std::optional<FakeReply>(r);
    };
    const auto item = [&](const std::string& key) {
        for (const auto& [k, v] : request.items) {
            if (k == key) {
                return v;
            }
        }
        return std::string();
    };
    switch (request.id) {
    case 103: // client status
        return reply(104, {{"tunnelstatus", "17"},
                           {"status", "enable"},
                           {"onpremStatus", "off-prem"},
                           {"gatewayHost", "gateway.example.net"},
                           {"gtwIP", "192.0.2.10"},
                           {"tunnelProtocol", "DTLS"},
                           {"explicitProxy", "none"}});
    case 104: // enable or disable
        return reply(105, {{"tunnelstatus", item("status") == "disable" ? "1" : "17"}});
    case 115:
    case 120:
    case 122:
    case 130:
    case 132:
    case 134:
    case 136:
    case 138:
    case 140:
    case 161:
        return reply(request.id + 1, {{"status", "true"}});
    case 125:
        return reply(126, {{"updateStatus", "true"}});
    case 127:
        return reply(128, {{"updateStatus", "false"}, {"updateCheckStatus", "true"}});
    case 144:
        return reply(145, {{"qpaStatus", "enabled"}});
    default:
        return std::nullopt;
    }
}

FakeService::FakeService(std::uint16_t port)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("fake service: pipe failed");
    }
    m_wakeRead = pipeFds[0];
    m_wakeWrite = pipeFds[1];
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (m_listen < 0 || ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(m_listen, 8) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        const std::string why = std::strerror(errno);
        if (m_listen >= 0) {
            ::close(m_listen);
        }
        ::close(m_wakeRead);
        ::close(m_wakeWrite);
        throw std::runtime_error(
            "fake service: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { run(); });
}

FakeService::~FakeService()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    wake();
    m_thread.join();
    for (Task& task : m_tasks) {
        task.done->set_value(false);
    }
    ::close(m_listen);
    ::close(m_wakeRead);
    ::close(m_wakeWrite);
}

void FakeService::wake()
{
    const char byte = 'w';
    [[maybe_unused]] const ssize_t n = ::write(m_wakeWrite, &byte, 1);
}

void FakeService::setAck(AckMode mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ack = mode;
}

void FakeService::setReply(int id, FakeReply reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[id] = std::move(reply);
}

void FakeService::setReplier(std::function<std::optional<FakeReply>(const FakeMessage&)> replier)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replier = std::move(replier);
}

void FakeService::setObserver(std::function<void(const FakeMessage&, const FakeReply*)> observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

void FakeService::setReading(bool on)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reading = on;
    }
    wake();
}

void FakeService::setRecordLimit(std::size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recordLimit = bytes;
}

bool FakeService::callOnService(std::function<bool(int)> work)
{
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            return false;
        }
        m_tasks.push_back(Task{std::move(work), &done});
    }
    wake();
    return result.get();
}

bool FakeService::sendRaw(const std::string& bytes, bool oneBytePerWrite)
{
    return callOnService([bytes, oneBytePerWrite](int fd) {
        return fd >= 0 && sendAll(fd, bytes, oneBytePerWrite);
    });
}

std::size_t FakeService::flood(const std::string& head, std::size_t limit)
{
    std::size_t written = 0;
    callOnService([&](int fd) {
        if (fd < 0 || !sendAll(fd, head)) {
            return false;
        }
        const std::string chunk(64 * 1024, 'x');
        while (written < limit && sendAll(fd, chunk)) {
            written += chunk.size();
        }
        return true;
    });
    return written;
}

bool FakeService::closeClient()
{
    return callOnService([this](int fd) {
        if (fd < 0) {
            return false;
        }
        act(fd, FakeReply{FakeReply::Kind::disconnect, "", 0});
        return true;
    });
}

bool FakeService::resetClient()
{
    return callOnService([this](int fd) {
        if (fd < 0) {
            return false;
        }
        act(fd, FakeReply{FakeReply::Kind::reset, "", 0});
        return true;
    });
}

bool FakeService::runTasks(int fd)
{
    std::vector<Task> tasks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        tasks.swap(m_tasks);
    }
    bool alive = true;
    for (Task& task : tasks) {
        const bool ok = task.work(alive ? fd : -1);
        // A task that closed the connection says so through m_clientConnected.
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            alive = alive && m_clientConnected;
        }
        task.done->set_value(ok);
    }
    return alive;
}

std::optional<FakeMessage> FakeService::waitFor(int id, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<FakeMessage> found;
    m_changed.wait_for(lock, timeout, [&] {
        for (std::size_t i = 0; i < m_messages.size(); ++i) {
            if (!m_taken[i] && m_messages[i].id == id) {
                m_taken[i] = true;
                found = m_messages[i];
                return true;
            }
        }
        return false;
    });
    return found;
}

bool FakeService::waitForHandshakes(int count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_handshakes >= count; });
}

bool FakeService::waitForClientGone(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return !m_clientConnected; });
}

int FakeService::handshakes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handshakes;
}

int FakeService::connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

std::string FakeService::clientName() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clientName;
}

std::string FakeService::lastRequest() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastRequest;
}

std::string FakeService::handshakeProblem() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_problem;
}

std::vector<FakeMessage> FakeService::messages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::size_t FakeService::receivedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_receivedBytes;
}

std::size_t FakeService::oversizedBytesWritten() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_oversizedWritten;
}

void FakeService::run()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                return;
            }
        }
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            char buf[64];
            while (::read(m_wakeRead, buf, sizeof(buf)) > 0) {
            }
            runTasks(-1);
        }
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                serve(fd);
            }
        }
    }
}

bool FakeService::readExactly(int fd, std::string& out, std::size_t length, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < length) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
            return false;
        }
        if (fds[1].revents != 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                return false;
            }
        }
        if (fds[0].revents == 0) {
            if (fds[1].revents != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            continue;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), length - out.size()), 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool FakeService::handshake(int fd)
{
    std::string prefix;
    std::string body;
    std::string problem;
    if (!readExactly(fd, prefix, 4, kIoTimeoutMs)) {
        problem = "no request prefix";
    } else if (get32(prefix, 0) > kMaxRequest) {
        problem = "request longer than 10000 bytes";
    } else if (!readExactly(fd, body, get32(prefix, 0), kIoTimeoutMs)) {
        problem = "request cut short";
    } else if (body.size() < kHeader + 4) {
        problem = "request shorter than a header and a TLV";
    } else if (body.compare(0, 8, kSignature) != 0) {
        problem = "bad signature";
    } else if (body[8] != 1) {
        problem = "bad version";
    } else if (body[9] != 0) {
        problem = "not a request frame";
    } else if (get32(body, 10) != body.size() - kHeader) {
        problem = "header length does not match the unit";
    } else if (get16(body, 14) != 0) {
        problem = "first TLV is not the client name";
    } else if (get16(body, 16) != body.size() - kHeader - 4 || get16(body, 16) == 0) {
        problem = "TLV length does not match the frame";
    }
    AckMode mode;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastRequest = prefix + body;
        m_problem = problem;
        if (problem.empty()) {
            m_clientName = body.substr(kHeader + 4);
            ++m_handshakes;
        }
        mode = m_ack;
    }
    m_changed.notify_all();
    if (!problem.empty()) {
        return false;
    }
    const std::string ack = ackBytes(mode);
    if (!sendAll(fd, ack, mode == AckMode::oneBytePerWrite)) {
        return false;
    }
    if (mode == AckMode::truncated) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return false;
    }
    return true;
}

bool FakeService::act(int fd, const FakeReply& reply)
{
    if (reply.delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    }
    const auto gone = [&](bool reset) {
        if (reset) {
            resetAndClose(fd);
        } else {
            ::close(fd);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clientConnected = false;
        }
        m_changed.notify_all();
        return false;
    };
    switch (reply.kind) {
    case FakeReply::Kind::message:
        return sendAll(fd, fakeUnit(reply.bytes)) || gone(false);
    case FakeReply::Kind::raw:
        for (std::size_t i = 0; i < reply.repeat; ++i) {
            if (!sendAll(fd, reply.bytes)) {
                return gone(false);
            }
        }
        return true;
    case FakeReply::Kind::silence:
        return true;
    case FakeReply::Kind::disconnect:
        return gone(false);
    case FakeReply::Kind::reset:
        return gone(true);
    case FakeReply::Kind::malformed:
        return sendAll(fd, fakeUnit("{\"121\": oops")) || gone(false);
    case FakeReply::Kind::oversized: {
        std::size_t written = 0;
        const std::string chunk(64 * 1024, 'x');
        if (sendAll(fd, std::string("\xFF\xFF\xFF\xFF", 4))) {
            while (written < 64u * 1024u * 1024u && sendAll(fd, chunk)) {
                written += chunk.size();
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_oversizedWritten = written;
        }
        return gone(false);
    }
    }
    return true;
}

void FakeService::serve(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    // A client that stops reading must not hang the fake for ever.
    timeval sendLimit{kIoTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof(sendLimit));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_connections;
        m_clientConnected = true;
    }
    m_changed.notify_all();
    if (!handshake(fd)) {
        act(fd, FakeReply{FakeReply::Kind::disconnect, "", 0});
        return;
    }

    std::string buffer;
    for (;;) {
        bool reading;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                break;
            }
            reading = m_reading;
        }
        pollfd fds[2] = {{fd, static_cast<short>(reading ? POLLIN : 0), 0},
                         {m_wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents != 0) {
            char buf[64];
            while (::read(m_wakeRead, buf, sizeof(buf)) > 0) {
            }
            if (!runTasks(fd)) {
                return;
            }
        }
        if (fds[0].revents == 0) {
            continue;
        }
        if (!reading && !(fds[0].revents & (POLLHUP | POLLERR))) {
            continue;
        }
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        buffer.append(buf, static_cast<std::size_t>(n));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_receivedBytes += static_cast<std::size_t>(n);
        }
        std::size_t offset = 0;
        while (buffer.size() - offset >= 4 && buffer.size() - offset - 4 >= get32(buffer, offset)) {
            FakeMessage message;
            message.raw = buffer.substr(offset + 4, get32(buffer, offset));
            offset += 4 + message.raw.size();
            if (!parseFakeMessage(message.raw, message)) {
                message.id = 0;
                message.items.clear();
            }
            std::optional<FakeReply> reply;
            std::function<void(const FakeMessage&, const FakeReply*)> observer;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_recordLimit > 0 && message.raw.size() > m_recordLimit) {
                    message.raw.resize(m_recordLimit);
                    message.raw.shrink_to_fit();
                    message.items.clear();
                }
                m_messages.push_back(message);
                m_taken.push_back(false);
                const auto scripted = m_replies.find(message.id);
                if (scripted != m_replies.end()) {
                    reply = scripted->second;
                } else if (m_replier) {
                    reply = m_replier(message);
                }
                observer = m_observer;
            }
            m_changed.notify_all();
            if (observer) {
                observer(message, reply ? &*reply : nullptr);
            }
            if (reply && !act(fd, *reply)) {
                return;
            }
        }
        buffer.erase(0, offset);
    }
    act(fd, FakeReply{FakeReply::Kind::disconnect, "", 0});
}

} // namespace ktTest

#pragma once
// Stream sockets for the link to the local service and the pair that wakes its worker.
// A failing call keeps its error as Windows Sockets would report it, for socketLastError.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktPlatform {

// Stands for SOCKET: a descriptor here.
using Socket = int;
constexpr Socket kInvalidSocket = -1;
constexpr int kSocketError = -1;

// Windows Sockets error codes that the service link branches on and logs.
constexpr int kWsaEintr = 10004;
constexpr int kWsaEbadf = 10009;
constexpr int kWsaEacces = 10013;
constexpr int kWsaEfault = 10014;
constexpr int kWsaEinval = 10022;
constexpr int kWsaEmfile = 10024;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEinprogress = 10036;
constexpr int kWsaEalready = 10037;
constexpr int kWsaEnotsock = 10038;
constexpr int kWsaEmsgsize = 10040;
constexpr int kWsaEafnosupport = 10047;
constexpr int kWsaEaddrinuse = 10048;
constexpr int kWsaEaddrnotavail = 10049;
constexpr int kWsaEnetdown = 10050;
constexpr int kWsaEnetunreach = 10051;
constexpr int kWsaEconnaborted = 10053;
constexpr int kWsaEconnreset = 10054;
constexpr int kWsaEnobufs = 10055;
constexpr int kWsaEisconn = 10056;
constexpr int kWsaEnotconn = 10057;
constexpr int kWsaEshutdown = 10058;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;
constexpr int kWsaEhostunreach = 10065;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;

// Stands for WSAStartup(2.2): there is nothing to start on Linux; returns 0.
int socketStartup();

// Stands for WSAGetLastError: the code of the last failed call of this header on the
// calling thread.
int socketLastError();

// The Windows Sockets code for an errno value; values without one pass unchanged.
int winsockError(int errnoValue);

// Stands for sockaddr_storage as getaddrinfo fills it.
struct SocketAddress {
    int family = 0;
    std::uint32_t length = 0;
    alignas(8) unsigned char bytes[128] = {};
};

// Stands for getaddrinfo(host, port) with AF_INET, SOCK_STREAM and IPPROTO_TCP, keeping
// the first result. Returns 0, or 11001 (unknown host), 11002 (try again), 11003 (other).
int resolveHost(const std::string& host, std::uint16_t port, SocketAddress& address);

// Stands for socket(family, SOCK_STREAM, IPPROTO_TCP); close-on-exec. kInvalidSocket on
// failure.
Socket openStreamSocket(int family);

// Stands for connect on a non-blocking socket: 0 when connected at once, kWsaEwouldblock
// while it goes on (wait until writable, then connectResult), else the error.
int startConnect(Socket socket, const SocketAddress& address);

// Stands for getsockopt(SO_ERROR) after a non-blocking connect: 0 or the error.
int connectResult(Socket socket);

// Stands for ioctlsocket(FIONBIO): 0, or kSocketError.
int setNonBlocking(Socket socket, bool on);

// Stands for send with flags 0: MSG_NOSIGNAL so a closed peer never raises SIGPIPE;
// retried on EINTR. The number of bytes sent, or kSocketError.
long sendSome(Socket socket, const char* data, std::size_t length);

// Stands for recv with flags 0, retried on EINTR: bytes read, 0 at the end of the
// stream, or kSocketError.
long recvSome(Socket socket, char* data, std::size_t length);

// Stands for shutdown(SD_BOTH): 0, or kSocketError.
int shutdownSocket(Socket socket);

// Stands for closesocket: 0, or kSocketError.
int closeSocket(Socket socket);

struct PollEntry {
    Socket socket = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false; // filled in
    bool writable = false; // filled in
};

// Stands for select over a read and a write set, with poll: the number of entries that
// are ready, 0 when timeoutMs passed, kSocketError on failure. An error or hang-up counts
// as readable, and as writable when that was asked, as select reports them. An
// interrupted wait goes on for the rest of the time.
int pollSockets(PollEntry* entries, std::size_t count, int timeoutMs);

// Stands for the pair of loopback TCP sockets that wakes a waiting select: one
// socketpair(AF_UNIX), both ends non-blocking and close-on-exec. False on failure.
bool createWakePair(Socket& readEnd, Socket& writeEnd);

// The port of the local service: KTDIAG_SERVICE_PORT when it holds a number from 1 to
// 65535, else standard.
std::uint16_t servicePort(std::uint16_t standard);

// Test seam: replaces the system send under sendSome (same contract, errno on failure);
// null restores it.
using SendFunction = long (*)(Socket socket, const char* data, std::size_t length);
void setSendFunction(SendFunction function);

// Test seam: replaces the system connect under startConnect (same contract: 0, or -1 with
// errno); null restores it.
using ConnectFunction = int (*)(Socket socket, const SocketAddress& address);
void setConnectFunction(ConnectFunction function);

// Owns one socket and closes it.
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(Socket socket) : m_socket(socket) {}
    ~UniqueSocket() { reset(); }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    UniqueSocket(UniqueSocket&& other) noexcept : m_socket(other.release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    Socket get() const { return m_socket; }
    bool valid() const { return m_socket != kInvalidSocket; }
    void reset(Socket socket = kInvalidSocket)
    {
        if (m_socket != kInvalidSocket) {
            closeSocket(m_socket);
        }
        m_socket = socket;
    }
    Socket release()
    {
        const Socket socket = m_socket;
        m_socket = kInvalidSocket;
        return socket;
    }

private:
    Socket m_socket = kInvalidSocket;
};

} // namespace ktPlatform

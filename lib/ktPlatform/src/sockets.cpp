#include "ktPlatform/sockets.h"

#include "ktPlatform/folders.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace ktPlatform {

namespace {

thread_local int t_lastError = 0;

std::atomic<SendFunction> g_sendFunction{nullptr};
std::atomic<ConnectFunction> g_connectFunction{nullptr};

int fail(int errnoValue)
{
    t_lastError = winsockError(errnoValue);
    return kSocketError;
}

long systemSend(Socket socket, const char* data, std::size_t length)
{
    return static_cast<long>(::send(socket, data, length, MSG_NOSIGNAL));
}

int systemConnect(Socket socket, const SocketAddress& address)
{
    return ::connect(socket, reinterpret_cast<const sockaddr*>(address.bytes),
                     static_cast<socklen_t>(address.length));
}

} // namespace

int socketStartup()
{
    return 0;
}

int socketLastError()
{
    return t_lastError;
}

int winsockError(int errnoValue)
{
    switch (errnoValue) {
    case EINTR:
        return kWsaEintr;
    case EBADF:
        return kWsaEbadf;
    case EACCES:
    case EPERM:
        return kWsaEacces;
    case EFAULT:
        return kWsaEfault;
    case EINVAL:
        return kWsaEinval;
    case EMFILE:
    case ENFILE:
        return kWsaEmfile;
    case EAGAIN:
        return kWsaEwouldblock;
    case EINPROGRESS:
        return kWsaEinprogress;
    case EALREADY:
        return kWsaEalready;
    case ENOTSOCK:
        return kWsaEnotsock;
    case EMSGSIZE:
        return kWsaEmsgsize;
    case EAFNOSUPPORT:
        return kWsaEafnosupport;
    case EADDRINUSE:
        return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
        return kWsaEaddrnotavail;
    case ENETDOWN:
        return kWsaEnetdown;
    case ENETUNREACH:
        return kWsaEnetunreach;
    case ECONNABORTED:
        return kWsaEconnaborted;
    case ECONNRESET:
    case EPIPE: // sending on a stream the peer closed: Windows reports a reset
        return kWsaEconnreset;
    case ENOBUFS:
    case ENOMEM:
        return kWsaEnobufs;
    case EISCONN:
        return kWsaEisconn;
    case ENOTCONN:
        return kWsaEnotconn;
    case ESHUTDOWN:
        return kWsaEshutdown;
    case ETIMEDOUT:
        return kWsaEtimedout;
    case ECONNREFUSED:
        return kWsaEconnrefused;
    case EHOSTUNREACH:
        return kWsaEhostunreach;
    default:
        return errnoValue;
    }
}

int resolveHost(const std::string& host, std::uint16_t port, SocketAddress& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        switch (rc) {
        case EAI_NONAME:
            return kWsaHostNotFound;
        case EAI_AGAIN:
            return kWsaTryAgain;
        default:
            return kWsaNoRecovery;
        }
    }
    if (list == nullptr || list->ai_addrlen > sizeof(address.bytes)) {
        if (list != nullptr) {
            ::freeaddrinfo(list);
        }
        return kWsaNoRecovery;
    }
    address = SocketAddress{};
    address.family = list->ai_family;
    address.length = static_cast<std::uint32_t>(list->ai_addrlen);
    std::memcpy(address.bytes, list->ai_addr, list->ai_addrlen);
    ::freeaddrinfo(list);
    return 0;
}

Socket openStreamSocket(int family)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        fail(errno);
        return kInvalidSocket;
    }
    return fd;
}

int startConnect(Socket socket, const SocketAddress& address)
{
    ConnectFunction function = g_connectFunction.load();
    if (function == nullptr) {
        function = systemConnect;
    }
    const int rc = function(socket, address);
    if (rc == 0) {
        return 0;
    }
    // A non-blocking connect in progress reads as WSAEWOULDBLOCK on Windows; an
    // interrupted one also goes on in the background.
    if (errno == EINPROGRESS || errno == EINTR) {
        return kWsaEwouldblock;
    }
    fail(errno);
    return t_lastError;
}

int connectResult(Socket socket)
{
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        fail(errno);
        return t_lastError;
    }
    if (error != 0) {
        fail(error);
        return t_lastError;
    }
    return 0;
}

int setNonBlocking(Socket socket, bool on)
{
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) {
        return fail(errno);
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && ::fcntl(socket, F_SETFL, wanted) != 0) {
        return fail(errno);
    }
    return 0;
}

long sendSome(Socket socket, const char* data, std::size_t length)
{
    SendFunction function = g_sendFunction.load();
    if (function == nullptr) {
        function = systemSend;
    }
    for (;;) {
        const long n = function(socket, data, length);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            return fail(errno);
        }
    }
}

long recvSome(Socket socket, char* data, std::size_t length)
{
    for (;;) {
        const ssize_t n = ::recv(socket, data, length, 0);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno != EINTR) {
            return fail(errno);
        }
    }
}

int shutdownSocket(Socket socket)
{
    if (::shutdown(socket, SHUT_RDWR) != 0) {
        return fail(errno);
    }
    return 0;
}

int closeSocket(Socket socket)
{
    if (::close(socket) != 0) {
        return fail(errno);
    }
    return 0;
}

int pollSockets(PollEntry* entries, std::size_t count, int timeoutMs)
{
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = entries[i].socket;
        fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                           (entries[i].wantWrite ? POLLOUT : 0));
        entries[i].readable = false;
        entries[i].writable = false;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int rc = 0;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int wait = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
        rc = ::poll(fds.data(), static_cast<nfds_t>(count), wait);
        if (rc >= 0) {
            break;
        }
        if (errno != EINTR) {
            return fail(errno);
        }
    }
    int ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const short r = fds[i].revents;
        if (r & POLLNVAL) {
            return fail(ENOTSOCK);
        }
        const bool trouble = (r & (POLLERR | POLLHUP)) != 0;
        entries[i].readable = entries[i].wantRead && ((r & POLLIN) || trouble);
        entries[i].writable = entries[i].wantWrite && ((r & POLLOUT) || trouble);
        if (entries[i].readable || entries[i].writable) {
            ++ready;
        }
    }
    return ready;
}

bool createWakePair(Socket& readEnd, Socket& writeEnd)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
        fail(errno);
        return false;
    }
    readEnd = fds[0];
    writeEnd = fds[1];
    return true;
}

std::uint16_t servicePort(std::uint16_t standard)
{
    const std::optional<std::string> value = getEnv("KTDIAG_SERVICE_PORT");
    if (!value || value->empty() || value->size() > 5) {
        return standard;
    }
    unsigned long port = 0;
    for (char c : *value) {
        if (c < '0' || c > '9') {
            return standard;
        }
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port == 0 || port > 65535) {
        return standard;
    }
    return static_cast<std::uint16_t>(port);
}

void setSendFunction(SendFunction function)
{
    g_sendFunction.store(function);
}

void setConnectFunction(ConnectFunction function)
{
    g_connectFunction.store(function);
}

} // namespace ktPlatform

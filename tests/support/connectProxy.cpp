#include "ktTest/connectProxy.h"

#include "loopbackServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <arpa/inet.h>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace ktTest {

namespace {

std::optional<std::string> base64Decode(const std::string& text)
{
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        const std::size_t index = alphabet.find(c);
        if (index == std::string::npos) {
            return std::nullopt;
        }
        value = (value << 6) | static_cast<unsigned>(index);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xff);
        }
    }
    return out;
}

// "Basic <base64>" decoded; nullopt for anything else.
std::optional<std::string> basicCredentials(const std::string& header)
{
    if (header.size() < 6 || ::strncasecmp(header.c_str(), "Basic ", 6) != 0) {
        return std::nullopt;
    }
    return base64Decode(header.substr(6));
}

} // namespace

namespace detail {

struct ProxyState {
    std::optional<std::string> required;

    mutable std::mutex mutex;
    std::optional<std::string> connectReply;
    std::vector<ProxyRequestRecord> records;
    std::size_t connects = 0;
    std::size_t tunnels = 0;

    void accept();

    // Last, so its sessions go before the state they use.
    LoopbackServer server;
};

} // namespace detail

using detail::ProxyState;

namespace {

class ProxySession : public std::enable_shared_from_this<ProxySession> {
public:
    ProxySession(ProxyState& owner, tcp::socket socket)
        : m_owner(owner), m_client(std::move(socket)), m_upstream(m_client.get_executor())
    {
    }

    void start() { readRequest(); }

private:
    void readRequest()
    {
        m_parser.emplace();
        auto self = shared_from_this();
        http::async_read(m_client, m_buffer, *m_parser,
                         [self](const boost::system::error_code& ec, std::size_t) {
                             if (!ec) {
                                 self->onRequest();
                             }
                         });
    }

    void onRequest()
    {
        const auto& req = m_parser->get();
        ProxyRequestRecord record;
        detail::copyRequestHead(req, record.method, record.target, record.headers);
        const std::string auth = record.header("Proxy-Authorization");
        if (!auth.empty()) {
            record.credentials = basicCredentials(auth);
        }
        std::optional<std::string> scripted;
        {
            std::lock_guard<std::mutex> lock(m_owner.mutex);
            m_owner.records.push_back(record);
            if (record.method == "CONNECT") {
                ++m_owner.connects;
            }
            scripted = m_owner.connectReply;
        }

        if (record.method != "CONNECT") {
            reply("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: "
                  "close\r\n\r\n",
                  false);
            return;
        }
        if (m_owner.required && record.credentials != m_owner.required) {
            reply("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                  "realm=\"ktTest\"\r\nContent-Length: 0\r\n\r\n",
                  true);
            return;
        }
        if (scripted) {
            reply(*scripted + "\r\nContent-Length: 0\r\n\r\n", true);
            return;
        }
        // Tests reach only the loopback address.
        const std::string& target = record.target;
        const std::size_t colon = target.rfind(':');
        const std::string host = colon == std::string::npos ? target : target.substr(0, colon);
        int port = 0;
        try {
            port = colon == std::string::npos ? 0 : std::stoi(target.substr(colon + 1));
        } catch (const std::exception&) {
            port = 0;
        }
        if ((host != "127.0.0.1" && host != "localhost") || port <= 0 || port > 65535) {
            reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                  false);
            return;
        }
        auto self = shared_from_this();
        m_upstream.async_connect(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
            [self](const boost::system::error_code& ec) {
                if (ec) {
                    self->reply("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: "
                                "close\r\n\r\n",
                                false);
                    return;
                }
                self->openTunnel();
            });
    }

    void reply(const std::string& text, bool keepOpen)
    {
        m_out = text;
        auto self = shared_from_this();
        asio::async_write(m_client, asio::buffer(m_out),
                          [self, keepOpen](const boost::system::error_code& ec, std::size_t) {
                              if (!ec && keepOpen) {
                                  self->readRequest();
                              } else {
                                  self->closeBoth();
                              }
                          });
    }

    void openTunnel()
    {
        {
            std::lock_guard<std::mutex> lock(m_owner.mutex);
            ++m_owner.tunnels;
        }
        // Bytes the client sent after its CONNECT header belong to the tunnel.
        m_out = "HTTP/1.1 200 Connection established\r\n\r\n";
        m_early = beast::buffers_to_string(m_buffer.data());
        m_buffer.consume(m_buffer.size());
        auto self = shared_from_this();
        asio::async_write(m_client, asio::buffer(m_out),
                          [self](const boost::system::error_code& ec, std::size_t) {
                              if (ec) {
                                  self->closeBoth();
                                  return;
                              }
                              asio::async_write(
                                  self->m_upstream, asio::buffer(self->m_early),
                                  [self](const boost::system::error_code& ec2, std::size_t) {
                                      if (ec2) {
                                          self->closeBoth();
                                          return;
                                      }
                                      self->pump(self->m_client, self->m_upstream, self->m_up);
                                      self->pump(self->m_upstream, self->m_client, self->m_down);
                                  });
                          });
    }

    void pump(tcp::socket& from, tcp::socket& to, std::array<char, 16384>& buf)
    {
        auto self = shared_from_this();
        from.async_read_some(
            asio::buffer(buf),
            [self, &from, &to, &buf](const boost::system::error_code& ec, std::size_t n) {
                if (ec) {
                    self->closeBoth();
                    return;
                }
                asio::async_write(
                    to, asio::buffer(buf.data(), n),
                    [self, &from, &to, &buf](const boost::system::error_code& ec2, std::size_t) {
                        if (ec2) {
                            self->closeBoth();
                            return;
                        }
                        self->pump(from, to, buf);
                    });
            });
    }

    void closeBoth()
    {
        boost::system::error_code ignored;
        m_client.shutdown(tcp::socket::shutdown_both, ignored);
        m_client.close(ignored);
        m_upstream.shutdown(tcp::socket::shutdown_both, ignored);
        m_upstream.close(ignored);
    }

    ProxyState& m_owner;
    tcp::socket m_client;
    tcp::socket m_upstream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::empty_body>> m_parser;
    std::string m_out;
    std::string m_early;
    std::array<char, 16384> m_up{};
    std::array<char, 16384> m_down{};
};

} // namespace

void ProxyState::accept()
{
    server.acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec) {
            return;
        }
        std::make_shared<ProxySession>(*this, std::move(socket))->start();
        accept();
    });
}

ConnectProxy::ConnectProxy(std::optional<std::string> requiredCredentials)
    : m_impl(std::make_unique<ProxyState>())
{
    m_impl->required = std::move(requiredCredentials);
    m_impl->server.start([this] { m_impl->accept(); });
}

ConnectProxy::~ConnectProxy()
{
    m_impl->server.stop();
}

std::uint16_t ConnectProxy::port() const
{
    return m_impl->server.port;
}

std::string ConnectProxy::address() const
{
    return "127.0.0.1:" + std::to_string(m_impl->server.port);
}

void ConnectProxy::setConnectReply(const std::optional<std::string>& statusLine)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->connectReply = statusLine;
}

std::vector<ProxyRequestRecord> ConnectProxy::requests() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->records;
}

std::size_t ConnectProxy::connectCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->connects;
}

std::size_t ConnectProxy::tunnelCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->tunnels;
}

ClosedPort::ClosedPort()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::runtime_error("ClosedPort: cannot bind");
    }
    m_port = ntohs(addr.sin_port);
}

ClosedPort::~ClosedPort()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::string ClosedPort::address() const
{
    return "127.0.0.1:" + std::to_string(m_port);
}

ClearProxyEnv::ClearProxyEnv()
{
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                             "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"}) {
        m_vars.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
}

} // namespace ktTest

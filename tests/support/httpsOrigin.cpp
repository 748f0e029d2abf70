#include "ktTest/httpsOrigin.h"

#include "loopbackServer.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <openssl/ssl.h>

#include <limits>
#include <mutex>
#include <stdexcept>
#include <strings.h>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

namespace ktTest {

std::string findHeader(const HeaderList& headers, const std::string& name)
{
    for (const auto& header : headers) {
        if (::strcasecmp(header.first.c_str(), name.c_str()) == 0) {
            return header.second;
        }
    }
    return std::string();
}

HttpReply HttpReply::make(const std::string& statusLine, const std::string& body,
                          const std::vector<std::string>& headers)
{
    HttpReply reply;
    reply.statusLine = statusLine;
    reply.body = body;
    reply.headers = headers;
    return reply;
}

namespace detail {

struct OriginState {
    explicit OriginState(const HttpsOrigin::Options& opts) : options(opts) {}

    HttpsOrigin::Options options;
    ssl::context sslCtx{ssl::context::tls_server};

    mutable std::mutex mutex;
    HttpReply reply;
    std::function<HttpReply(const HttpRequestRecord&)> handler;
    std::vector<HttpRequestRecord> records;
    std::size_t connections = 0;
    std::vector<std::vector<std::string>> alpn;

    HttpReply replyFor(const HttpRequestRecord& record)
    {
        std::function<HttpReply(const HttpRequestRecord&)> h;
        {
            std::lock_guard<std::mutex> lock(mutex);
            records.push_back(record);
            if (!options.recordBodies) {
                records.back().body.clear();
                records.back().body.shrink_to_fit();
            }
            if (!handler) {
                return reply;
            }
            h = handler;
        }
        return h(record);
    }

    void accept();

    // Last, so its sessions go before the state they use.
    LoopbackServer server;
};

} // namespace detail

using detail::OriginState;

namespace {

std::string serialize(const HttpReply& reply)
{
    std::string out = reply.statusLine + "\r\n";
    for (const std::string& line : reply.headers) {
        out += line + "\r\n";
    }
    if (reply.contentLength) {
        out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    }
    out += "\r\n";
    out += reply.body;
    return out;
}

// Records the ALPN list and selects nothing, so the connection stays HTTP/1.1.
int onAlpn(SSL*, const unsigned char**, unsigned char*, const unsigned char* in,
           unsigned int inLength, void* arg)
{
    std::vector<std::string> offered;
    for (unsigned int i = 0; i < inLength;) {
        const unsigned int n = in[i];
        if (i + 1 + n > inLength) {
            break;
        }
        offered.emplace_back(reinterpret_cast<const char*>(in + i + 1), n);
        i += 1 + n;
    }
    auto* impl = static_cast<OriginState*>(arg);
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->alpn.push_back(offered);
    return SSL_TLSEXT_ERR_NOACK;
}

tcp::socket& lowest(tcp::socket& s)
{
    return s;
}
tcp::socket& lowest(ssl::stream<tcp::socket>& s)
{
    return s.next_layer();
}

template <class Stream>
class OriginSession : public std::enable_shared_from_this<OriginSession<Stream>> {
public:
    template <class... Args>
    OriginSession(OriginState& owner, Args&&... args)
        : m_owner(owner), m_stream(std::forward<Args>(args)...), m_timer(m_stream.get_executor())
    {
    }

    void start()
    {
        if (m_owner.options.silent) {
            park();
        } else if constexpr (std::is_same_v<Stream, ssl::stream<tcp::socket>>) {
            auto self = this->shared_from_this();
            m_stream.async_handshake(ssl::stream_base::server,
                                     [self](const boost::system::error_code& ec) {
                                         if (!ec) {
                                             self->readRequest();
                                         }
                                     });
        } else {
            readRequest();
        }
    }

private:
    void readRequest()
    {
        m_parser.emplace();
        m_parser->body_limit((std::numeric_limits<std::uint64_t>::max)());
        m_parser->header_limit(1024 * 1024);
        auto self = this->shared_from_this();
        http::async_read_header(m_stream, m_buffer, *m_parser,
                                [self](const boost::system::error_code& ec, std::size_t) {
                                    if (!ec) {
                                        self->onHeader();
                                    }
                                });
    }

    void onHeader()
    {
        auto self = this->shared_from_this();
        const auto& req = m_parser->get();
        if (beast::iequals(req[http::field::expect], "100-continue")) {
            m_out = "HTTP/1.1 100 Continue\r\n\r\n";
            asio::async_write(m_stream, asio::buffer(m_out),
                              [self](const boost::system::error_code& ec, std::size_t) {
                                  if (!ec) {
                                      self->readBody();
                                  }
                              });
            return;
        }
        readBody();
    }

    void readBody()
    {
        auto self = this->shared_from_this();
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self](const boost::system::error_code& ec, std::size_t) {
                             if (!ec) {
                                 self->onRequest();
                             }
                         });
    }

    void onRequest()
    {
        const auto& req = m_parser->get();
        HttpRequestRecord record;
        detail::copyRequestHead(req, record.method, record.target, record.headers);
        record.body = req.body();
        const HttpReply reply = m_owner.replyFor(record);
        m_out = serialize(reply);
        const bool stall = reply.stallAfter.has_value();
        if (stall && *reply.stallAfter < m_out.size()) {
            m_out.resize(*reply.stallAfter);
        }
        m_keepOpen = reply.contentLength;
        m_trickle = stall ? std::chrono::milliseconds(0) : reply.trickle;
        m_trickled.clear();
        if (m_trickle.count() > 0) {
            m_trickled = reply.body;
            m_out.resize(m_out.size() - reply.body.size());
        }
        auto self = this->shared_from_this();
        asio::async_write(m_stream, asio::buffer(m_out),
                          [self, stall](const boost::system::error_code& ec, std::size_t) {
                              if (ec) {
                                  return;
                              }
                              if (stall) {
                                  self->park();
                              } else {
                                  self->trickleNext(0);
                              }
                          });
    }

    // Sends the trickled body from byte next on, one byte per interval, then goes on as
    // after a whole reply.
    void trickleNext(std::size_t next)
    {
        if (next >= m_trickled.size()) {
            if (m_keepOpen) {
                readRequest();
            } else {
                finish();
            }
            return;
        }
        auto self = this->shared_from_this();
        m_timer.expires_after(m_trickle);
        m_timer.async_wait([self, next](const boost::system::error_code& ec) {
            if (ec) {
                return;
            }
            asio::async_write(self->m_stream, asio::buffer(&self->m_trickled[next], 1),
                              [self, next](const boost::system::error_code& error, std::size_t) {
                                  if (!error) {
                                      self->trickleNext(next + 1);
                                  }
                              });
        });
    }

    // Reads and drops whatever comes until the peer goes away: holds the connection open.
    void park()
    {
        auto self = this->shared_from_this();
        lowest(m_stream).async_read_some(asio::buffer(m_scratch),
                                         [self](const boost::system::error_code& ec, std::size_t) {
                                             if (!ec) {
                                                 self->park();
                                             }
                                         });
    }

    void finish()
    {
        if constexpr (std::is_same_v<Stream, ssl::stream<tcp::socket>>) {
            auto self = this->shared_from_this();
            m_stream.async_shutdown([self](const boost::system::error_code&) {
                boost::system::error_code ignored;
                self->m_stream.next_layer().close(ignored);
            });
        } else {
            boost::system::error_code ignored;
            m_stream.shutdown(tcp::socket::shutdown_both, ignored);
            m_stream.close(ignored);
        }
    }

    OriginState& m_owner;
    Stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::string m_out;
    asio::steady_timer m_timer;
    std::string m_trickled; // the body still to trickle
    std::chrono::milliseconds m_trickle{0};
    bool m_keepOpen = true;
    char m_scratch[4096];
};

} // namespace

void OriginState::accept()
{
    server.acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++connections;
        }
        // Replies leave at once, as from a real server, not after the client's delayed ACK.
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        if (options.tls) {
            std::make_shared<OriginSession<ssl::stream<tcp::socket>>>(*this, std::move(socket),
                                                                      sslCtx)
                ->start();
        } else {
            std::make_shared<OriginSession<tcp::socket>>(*this, std::move(socket))->start();
        }
        accept();
    });
}

HttpsOrigin::HttpsOrigin() : HttpsOrigin(Options()) {}

HttpsOrigin::HttpsOrigin(const Options& options) : m_impl(std::make_unique<OriginState>(options))
{
    if (options.tls) {
        const ServerCredentials& creds = TestPki::instance().server(options.cert);
        m_impl->sslCtx.use_certificate_chain(asio::buffer(creds.chainPem));
        m_impl->sslCtx.use_private_key(asio::buffer(creds.keyPem), ssl::context::pem);
        SSL_CTX_set_alpn_select_cb(m_impl->sslCtx.native_handle(), onAlpn, m_impl.get());
    }
    m_impl->server.start([this] { m_impl->accept(); });
}

HttpsOrigin::~HttpsOrigin()
{
    m_impl->server.stop();
}

std::uint16_t HttpsOrigin::port() const
{
    return m_impl->server.port;
}

std::string HttpsOrigin::url(const std::string& pathAndQuery) const
{
    return std::string(m_impl->options.tls ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(m_impl->server.port) + pathAndQuery;
}

void HttpsOrigin::setReply(const HttpReply& reply)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->reply = reply;
}

void HttpsOrigin::setHandler(std::function<HttpReply(const HttpRequestRecord&)> handler)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->handler = std::move(handler);
}

std::vector<HttpRequestRecord> HttpsOrigin::requests() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->records;
}

std::size_t HttpsOrigin::connectionCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->connections;
}

std::vector<std::vector<std::string>> HttpsOrigin::alpnOffers() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->alpn;
}

} // namespace ktTest

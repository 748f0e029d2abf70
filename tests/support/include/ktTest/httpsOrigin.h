#pragma once
// A local HTTP(S) origin on 127.0.0.1 for tests: scripted replies byte for byte, a log of
// every request, and certificates of the test PKI.

#include "ktTest/testPki.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ktTest {

namespace detail {
struct OriginState;
struct ProxyState;
} // namespace detail

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The first value of a header name (any case); empty when absent.
std::string findHeader(const HeaderList& headers, const std::string& name);

// One reply, sent exactly as written: the status line and header lines as given (CR LF
// added after each), "Content-Length" added unless turned off, then the body.
struct HttpReply {
    std::string statusLine = "HTTP/1.1 200 OK";
    std::vector<std::string> headers; // raw lines such as "x-kt-hostpop: ams"
    std::string body;
    // false: no Content-Length; the connection is closed after the body.
    bool contentLength = true;
    // Send only the first bytes of the reply (status line and headers included), then stay
    // silent until the client gives up or the origin is destroyed.
    std::optional<std::size_t> stallAfter;
    // Above 0: the body goes one byte at a time, this long apart, after the head.
    std::chrono::milliseconds trickle{0};

    static HttpReply make(const std::string& statusLine, const std::string& body = "",
                          const std::vector<std::string>& headers = {});
};

struct HttpRequestRecord {
    std::string method;
    std::string target; // raw path and query as sent
    HeaderList headers; // in the order sent
    std::string body;
    std::string header(const std::string& name) const { return findHeader(headers, name); }
};

class HttpsOrigin {
public:
    struct Options {
        bool tls = true;
        CertKind cert = CertKind::good;
        // Accept connections but never speak: no TLS handshake, no reply.
        bool silent = false;
        // false: requests() keeps no bodies (the handler still sees them), so an origin that
        // takes many large uploads holds no copies.
        bool recordBodies = true;
    };

    // Listens on 127.0.0.1 with a free port; serves until destroyed. Uses TestPki.
    HttpsOrigin();
    explicit HttpsOrigin(const Options& options);
    ~HttpsOrigin();
    HttpsOrigin(const HttpsOrigin&) = delete;
    HttpsOrigin& operator=(const HttpsOrigin&) = delete;

    std::uint16_t port() const;
    // "https://127.0.0.1:<port>" (or "http://") followed by pathAndQuery.
    std::string url(const std::string& pathAndQuery = "/") const;

    // The reply to every later request (at first: "HTTP/1.1 200 OK", empty body).
    void setReply(const HttpReply& reply);
    // A reply made per request; takes precedence over setReply. Runs on the server thread.
    void setHandler(std::function<HttpReply(const HttpRequestRecord&)> handler);

    // Complete requests in arrival order; each is recorded before its reply is sent.
    std::vector<HttpRequestRecord> requests() const;
    // TCP connections accepted.
    std::size_t connectionCount() const;
    // The ALPN protocols each TLS client offered, one list per handshake.
    std::vector<std::vector<std::string>> alpnOffers() const;

private:
    std::unique_ptr<detail::OriginState> m_impl;
};

} // namespace ktTest

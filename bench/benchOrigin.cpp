#include "benchOrigin.h"

#include "ktTest/testPki.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace benchOrigin {

namespace {

struct SslCtxDeleter {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// One zero-filled block sent again and again: the body costs the server no copies.
const std::string& block()
{
    static const std::string zeros(1 << 20, '\0');
    return zeros;
}

std::size_t sizeOf(const std::string& label)
{
    if (label == "1mb") {
        return 1048576;
    }
    if (label == "10mb") {
        return 10485760;
    }
    if (label == "100mb") {
        return 104857600;
    }
    return 0;
}

bool writeAll(SSL* ssl, const char* data, std::size_t size)
{
    while (size > 0) {
        const int n = SSL_write(ssl, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string headerValue(const std::string& head, const std::string& name)
{
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string key = "\r\n" + name + ":";
    const auto at = lower.find(key);
    if (at == std::string::npos) {
        return std::string();
    }
    const auto start = head.find_first_not_of(' ', at + key.size());
    const auto end = head.find("\r\n", start);
    return head.substr(start, end - start);
}

// Serves the requests of one connection until it ends.
void serve(SSL_CTX* ctx, int fd)
{
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
        ::close(fd);
        return;
    }
    std::string pending;
    std::string sink(1 << 20, '\0');
    for (;;) {
        std::size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            const int n = SSL_read(ssl.get(), &sink[0], static_cast<int>(sink.size()));
            if (n <= 0) {
                ::close(fd);
                return;
            }
            pending.append(sink.data(), static_cast<std::size_t>(n));
        }
        const std::string head = pending.substr(0, headEnd + 2);
        pending.erase(0, headEnd + 4);
        const std::string requestLine = head.substr(0, head.find("\r\n"));
        const auto pathStart = requestLine.find(' ') + 1;
        const std::string path = requestLine.substr(pathStart, requestLine.rfind(' ') - pathStart);

        // Any request body is read and dropped.
        const std::string length = headerValue(head, "content-length");
        std::size_t left = length.empty() ? 0 : std::stoull(length);
        const std::size_t buffered = std::min(left, pending.size());
        pending.erase(0, buffered);
        left -= buffered;
        while (left > 0) {
            const int n = SSL_read(ssl.get(), &sink[0],
                                   static_cast<int>(std::min<std::size_t>(left, sink.size())));
            if (n <= 0) {
                ::close(fd);
                return;
            }
            left -= static_cast<std::size_t>(n);
        }

        const std::string download = "/downloadsize=";
        std::size_t bodySize = 3;
        bool zeros = false;
        if (path.compare(0, download.size(), download) == 0) {
            bodySize = sizeOf(path.substr(download.size()));
            zeros = true;
        }
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bodySize) +
                                  "\r\n\r\n" + (zeros ? "" : "ok\n");
        if (!writeAll(ssl.get(), reply.data(), reply.size())) {
            break;
        }
        for (std::size_t sent = 0; zeros && sent < bodySize;) {
            const std::size_t piece = std::min(bodySize - sent, block().size());
            if (!writeAll(ssl.get(), block().data(), piece)) {
                ::close(fd);
                return;
            }
            sent += piece;
        }
    }
    ::close(fd);
}

} // namespace

std::uint16_t start()
{
    const ktTest::ServerCredentials& creds =
        ktTest::TestPki::instance().server(ktTest::CertKind::good);
    std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx(SSL_CTX_new(TLS_server_method()));
    std::unique_ptr<BIO, decltype(&BIO_free)> chain(
        BIO_new_mem_buf(creds.chainPem.data(), static_cast<int>(creds.chainPem.size())), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> key(
        BIO_new_mem_buf(creds.keyPem.data(), static_cast<int>(creds.keyPem.size())), BIO_free);
    if (!ctx || !chain || !key) {
        throw std::runtime_error("no TLS context");
    }
    X509* leaf = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr);
    if (leaf == nullptr || SSL_CTX_use_certificate(ctx.get(), leaf) != 1) {
        throw std::runtime_error("no server certificate");
    }
    X509_free(leaf);
    while (X509* extra = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr)) {
        SSL_CTX_add0_chain_cert(ctx.get(), extra);
    }
    ERR_clear_error();
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr);
    if (pkey == nullptr || SSL_CTX_use_PrivateKey(ctx.get(), pkey) != 1) {
        throw std::runtime_error("no server key");
    }
    EVP_PKEY_free(pkey);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    SSL_CTX* shared = ctx.release(); // lives as long as the process
    std::thread([shared, listener] {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            std::thread(serve, shared, fd).detach();
        }
    }).detach();
    return ntohs(address.sin_port);
}

} // namespace benchOrigin

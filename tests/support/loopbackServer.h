#pragma once
// The part the test servers share: one acceptor on a free 127.0.0.1 port, served by an
// io_context on its own thread.

#include "ktTest/httpsOrigin.h"

#include <boost/asio.hpp>

#include <cstdint>
#include <thread>

namespace ktTest::detail {

struct LoopbackServer {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor{io};
    std::uint16_t port = 0;
    std::thread thread;

    // Binds and listens; accept() queues the first accept; then the thread starts.
    template <class Accept>
    void start(Accept accept)
    {
        const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                      0);
        acceptor.open(endpoint.protocol());
        acceptor.bind(endpoint);
        acceptor.listen();
        port = acceptor.local_endpoint().port();
        accept();
        thread = std::thread([this] { io.run(); });
    }

    // Pending work is dropped; sessions go when the io_context is destroyed.
    void stop()
    {
        io.stop();
        if (thread.joinable()) {
            thread.join();
        }
    }
};

// The method, raw target and header lines of a parsed request, as sent.
template <class Request>
void copyRequestHead(const Request& req, std::string& method, std::string& target,
                     HeaderList& headers)
{
    method = std::string(req.method_string());
    target = std::string(req.target());
    for (const auto& field : req) {
        headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
}

} // namespace ktTest::detail

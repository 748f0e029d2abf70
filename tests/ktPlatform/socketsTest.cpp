#include "ktPlatform/sockets.h"

#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <unistd.h>

namespace {

namespace kp = ktPlatform;

TEST(Sockets, ServicePortOverride)
{
    const struct {
        std::optional<std::string> value;
        std::uint16_t port;
    } cases[] = {
        {std::nullopt, 57130}, {"41000", 41000}, {"1", 1},           {"65535", 65535},
        {"65536", 57130},      {"0", 57130},     {"", 57130},        {"12ab", 57130},
        {"-5", 57130},         {" 80", 57130},   {"0000080", 57130},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("(unset)"));
        ktTest::ScopedEnv env("KTDIAG_SERVICE_PORT", c.value);
        EXPECT_EQ(kp::servicePort(57130), c.port);
    }
}

TEST(Sockets, ErrorsReadAsWindowsSocketsCodes)
{
    // Connecting where nothing listens: refused (10061).
    kp::SocketAddress address;
    ASSERT_EQ(kp::resolveHost("127.0.0.1", 1, address), 0);
    kp::UniqueSocket client(kp::openStreamSocket(address.family));
    ASSERT_TRUE(client.valid());
    ASSERT_EQ(kp::setNonBlocking(client.get(), true), 0);
    int rc = kp::startConnect(client.get(), address);
    if (rc == kp::kWsaEwouldblock) {
        kp::PollEntry entry;
        entry.socket = client.get();
        entry.wantWrite = true;
        ASSERT_EQ(kp::pollSockets(&entry, 1, 2000), 1);
        rc = kp::connectResult(client.get());
    }
    EXPECT_EQ(rc, kp::kWsaEconnrefused);

    // Nothing to read on a non-blocking socket: would block (10035).
    kp::Socket readEnd = kp::kInvalidSocket;
    kp::Socket writeEnd = kp::kInvalidSocket;
    ASSERT_TRUE(kp::createWakePair(readEnd, writeEnd));
    kp::UniqueSocket r(readEnd);
    kp::UniqueSocket w(writeEnd);
    char byte = 0;
    EXPECT_EQ(kp::recvSome(r.get(), &byte, 1), kp::kSocketError);
    EXPECT_EQ(kp::socketLastError(), kp::kWsaEwouldblock);

    // A descriptor that is not a socket (10038).
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_EQ(kp::recvSome(fds[0], &byte, 1), kp::kSocketError);
    EXPECT_EQ(kp::socketLastError(), kp::kWsaEnotsock);
    ::close(fds[0]);
    ::close(fds[1]);

    // Sending to a closed peer: reset (10054), and no SIGPIPE ends the process.
    r.reset();
    EXPECT_EQ(kp::sendSome(w.get(), "x", 1), kp::kSocketError);
    EXPECT_EQ(kp::socketLastError(), kp::kWsaEconnreset);
}

TEST(Sockets, WakePairAndPollTimeOut)
{
    kp::Socket readEnd = kp::kInvalidSocket;
    kp::Socket writeEnd = kp::kInvalidSocket;
    ASSERT_TRUE(kp::createWakePair(readEnd, writeEnd));
    kp::UniqueSocket r(readEnd);
    kp::UniqueSocket w(writeEnd);
    kp::PollEntry entry;
    entry.socket = r.get();
    entry.wantRead = true;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(kp::pollSockets(&entry, 1, 30), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(25));
    EXPECT_FALSE(entry.readable);

    ASSERT_EQ(kp::sendSome(w.get(), " ", 1), 1);
    EXPECT_EQ(kp::pollSockets(&entry, 1, 1000), 1);
    EXPECT_TRUE(entry.readable);
    char buffer[8];
    EXPECT_EQ(kp::recvSome(r.get(), buffer, sizeof(buffer)), 1);
}

} // namespace

// ktfakeservice: a stand-in for the client service, for the demo and for trying the tool
// by hand. Listens on 127.0.0.1 port 57130 (or the port given; 0 for any free one, which
// the first line it prints names), accepts the handshake
// and answers each request with a plausible reply. It keeps the state of the outer and
// driver-log captures, so -p and -d can be watched starting and stopping. Runs until
// interrupted; creates no files.

#include "ktTest/fakeService.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <pthread.h>

namespace {

// Which captures run: a start request starts one, a stop request ends it, and the status
// query answers whether one runs. Other requests get their plausible reply.
class CaptureState {
public:
    std::optional<ktTest::FakeReply> reply(const ktTest::FakeMessage& request)
    {
        switch (request.id) {
        case 134: // start outer capture
            m_outer = true;
            break;
        case 136: // stop outer capture
            m_outer = false;
            break;
        case 138: // outer capture status
            return status(139, m_outer);
        case 130: // start driver-log capture
            m_driver = true;
            break;
        case 132: // stop driver-log capture
            m_driver = false;
            break;
        case 140: // driver-log capture status
            return status(141, m_driver);
        default:
            break;
        }
        return ktTest::plausibleReply(request);
    }

private:
    static ktTest::FakeReply status(int id, bool running)
    {
        ktTest::FakeReply r;
        r.bytes = ktTest::fakeJson(id, {{"status", running ? "true" : "false"}});
        return r;
    }

    // Touched only on the service's thread.
    bool m_outer = false;
    bool m_driver = false;
};

} // namespace

int main(int argc, char** argv)
{
    unsigned long port = 57130;
    if (argc > 2 ||
        (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))) {
        std::printf("usage: ktfakeservice [port]\n");
        return argc > 2 ? 1 : 0;
    }
    if (argc == 2) {
        char* end = nullptr;
        port = std::strtoul(argv[1], &end, 10);
        if (*argv[1] == '\0' || *end != '\0' || port > 65535) {
            std::fprintf(stderr, "ktfakeservice: not a port: %s\n", argv[1]);
            return 1;
        }
    }

    // Block the stop signals before the service thread starts, then wait for one here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        CaptureState captures; // outlives the service thread that asks it
        ktTest::FakeService service(static_cast<std::uint16_t>(port));
        service.setReplier(
            [&captures](const ktTest::FakeMessage& request) { return captures.reply(request); });
        service.setObserver([](const ktTest::FakeMessage& message, const ktTest::FakeReply* reply) {
            std::printf("request %d (%zu bytes)", message.id, message.raw.size());
            if (reply != nullptr && reply->kind == ktTest::FakeReply::Kind::message) {
                std::printf(", answered %s", reply->bytes.c_str());
            }
            std::printf("\n");
            std::fflush(stdout);
        });
        std::printf("ktfakeservice listening on 127.0.0.1:%u\n", service.port());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::printf("ktfakeservice stopped\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktfakeservice: %s\n", e.what());
        return 1;
    }
    return 0;
}

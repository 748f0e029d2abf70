// ktbenchtool: the project's own code doing one job of scripts/bench as a whole process, so
// that the script times it side by side with the tool a user would otherwise run.
//   ktbenchtool digest <file> <folder>   HMAC-SHA1 of the file, stored as "d2" in
//                                        <folder>/ktinternal.json and printed
//   ktbenchtool log <lines>              <lines> info lines through the shared log
//   ktbenchtool origin                   a local HTTPS origin for the speed test and the
//                                        timed request; prints its port and CA file
//   ktbenchtool service                  the fake client service; prints its port, then
//                                        per connection the milliseconds from the
//                                        status request to the client's leaving
// The two servers run until SIGINT or SIGTERM.

#include "benchOrigin.h"

#include "ktLog/ktLog.h"
#include "ktTest/fakeService.h"
#include "ktTest/testPki.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: ktbenchtool digest <file> <folder> | log <lines> | origin | service\n");
    return 2;
}

int digest(const char* file, const char* folder)
{
    const std::wstring wideFolder = ktPlatform::toWide(folder);
    if (!saveFileDigest(wideFolder, ktPlatform::toWide(file), "d2")) {
        std::fprintf(stderr, "ktbenchtool: no digest of %s\n", file);
        return 1;
    }
    try {
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(std::string(folder) + "/ktinternal.json", tree);
        std::printf("%s\n", tree.get<std::string>("d2").c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktbenchtool: %s\n", e.what());
        return 1;
    }
    return 0;
}

int logLines(const char* count)
{
    char* end = nullptr;
    const long lines = std::strtol(count, &end, 10);
    if (*count == '\0' || *end != '\0' || lines < 0) {
        return usage();
    }
    if (!ktLogInit()) {
        std::fprintf(stderr, "ktbenchtool: no log folder\n");
        return 1;
    }
    g_programName = "ktbenchtool";
    g_logLevel = KT_LOG_INFO;
    static const char* const kLogModule = "bench";
    for (long i = 0; i < lines; ++i) {
        KTLOG(KT_LOG_INFO, "bench line %ld of %ld: the quick brown fox jumps over the lazy dog", i,
              lines);
    }
    return 0;
}

// Blocks the stop signals in every thread to come; waitForStop then takes one.
sigset_t blockStopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

void waitForStop(const sigset_t& set)
{
    int signal = 0;
    sigwait(&set, &signal);
}

int origin()
{
    const sigset_t stop = blockStopSignals();
    try {
        const ktTest::TestPki& pki = ktTest::TestPki::instance();
        const std::uint16_t port = benchOrigin::start();
        std::printf("%u %s\n", port, pki.caFile().c_str());
        std::fflush(stdout);
        waitForStop(stop);
        std::fflush(stdout);
        std::_Exit(0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktbenchtool: %s\n", e.what());
        return 1;
    }
}

int service()
{
    const sigset_t stop = blockStopSignals();
    try {
        ktTest::FakeService fake;
        fake.setReplier(ktTest::plausibleReply);
        std::printf("%u\n", fake.port());
        std::fflush(stdout);
        std::thread watch([&fake] {
            for (;;) {
                // The QPA status request is answered at once; what follows is the client's
                // own time to finish and leave.
                if (!fake.waitFor(144, std::chrono::hours(1))) {
                    continue;
                }
                const auto asked = std::chrono::steady_clock::now();
                if (fake.waitForClientGone(std::chrono::seconds(30))) {
                    const std::chrono::duration<double, std::milli> tail =
                        std::chrono::steady_clock::now() - asked;
                    std::printf("%.3f\n", tail.count());
                    std::fflush(stdout);
                }
            }
        });
        watch.detach();
        waitForStop(stop);
        // The watcher may be inside the fake: leave without running destructors.
        std::fflush(stdout);
        std::_Exit(0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktbenchtool: %s\n", e.what());
        return 1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    ktPlatform::initProcessLocale();
    if (argc == 4 && std::strcmp(argv[1], "digest") == 0) {
        return digest(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "log") == 0) {
        return logLines(argv[2]);
    }
    if (argc == 2 && std::strcmp(argv[1], "origin") == 0) {
        return origin();
    }
    if (argc == 2 && std::strcmp(argv[1], "service") == 0) {
        return service();
    }
    return usage();
}

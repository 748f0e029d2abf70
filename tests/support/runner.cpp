#include "ktTest/runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ktTest {

namespace {

std::vector<std::string>
mergedEnvironment(const std::map<std::string, std::optional<std::string>>& changes)
{
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) {
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            vars[name] = *value;
        } else {
            vars.erase(name);
        }
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : vars) {
        out.push_back(name + "=" + value);
    }
    return out;
}

// Where the launcher writes its report in its own descriptor table.
constexpr int kReportFd = 3;

// What the launcher reported about the program so far.
struct LauncherReport {
    pid_t pid = -1;
    bool ended = false;
    int status = 0;
    long maxResidentKiB = 0;
    long long cpuMicroseconds = 0;
};

// Reads the report's complete lines out of text into report.
void parseReport(std::string& text, LauncherReport& report)
{
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n')) {
        const std::string line = text.substr(0, end);
        text.erase(0, end + 1);
        long long user = 0;
        long long system = 0;
        int pid = -1;
        if (std::sscanf(line.c_str(), "pid %d", &pid) == 1) {
            report.pid = pid;
        } else if (std::sscanf(line.c_str(), "ended %d %ld %lld %lld", &report.status,
                               &report.maxResidentKiB, &user, &system) == 4) {
            report.ended = true;
            report.cpuMicroseconds = user + system;
        }
    }
}

// Reads the report until done says so or it ends; false when deadline passed first.
bool readReport(int fd, std::string& text, LauncherReport& report,
                std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done)
{
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            return true;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0) {
            return true; // the launcher is gone
        }
        text.append(buffer, static_cast<size_t>(n));
        parseReport(text, report);
    }
    return true;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(&s[0]);
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env, int timeoutMs,
                     const std::function<void(int pid)>& started)
{
    RunResult result;
    int outPipe[2];
    int errPipe[2];
    int reportPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    if (::pipe2(reportPipe, O_CLOEXEC) != 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            ::close(fd);
        }
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_adddup2(&actions, reportPipe[1], kReportFd);

    // The program's environment goes to the launcher as arguments; the launcher runs with none.
    const std::vector<std::string> envStrings = mergedEnvironment(env);
    std::vector<std::string> argStrings{KT_TEST_LAUNCHER, std::to_string(kReportFd),
                                        std::to_string(envStrings.size())};
    argStrings.insert(argStrings.end(), envStrings.begin(), envStrings.end());
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(argStrings);
    char* noEnvironment[] = {nullptr};

    const auto startedAt = std::chrono::steady_clock::now();
    const auto deadline = startedAt + std::chrono::milliseconds(timeoutMs);
    pid_t launcher = -1;
    const int rc =
        ::posix_spawn(&launcher, KT_TEST_LAUNCHER, &actions, nullptr, argv.data(), noEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(reportPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        ::close(reportPipe[0]);
        return result;
    }

    // The program's own id comes first, or the launcher's end when it could not start it.
    std::string reportText;
    LauncherReport report;
    readReport(reportPipe[0], reportText, report, deadline, [&] { return report.pid > 0; });
    if (report.pid <= 0) {
        ::kill(launcher, SIGKILL);
        ::waitpid(launcher, nullptr, 0);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        ::close(reportPipe[0]);
        return result;
    }
    const pid_t pid = report.pid;
    if (started) {
        started(static_cast<int>(pid));
    }

    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(std::min<long long>(left, INT_MAX))) < 0 &&
            errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    // A program that closed its output may still run: it too ends at the time-out.
    const auto reaped = [&] { return report.ended; };
    if (!readReport(reportPipe[0], reportText, report, deadline, reaped)) {
        ::kill(pid, SIGKILL);
        killed = true;
        readReport(reportPipe[0], reportText, report, std::chrono::steady_clock::time_point::max(),
                   reaped);
    }
    ::close(reportPipe[0]);
    ::waitpid(launcher, nullptr, 0);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - startedAt);
    if (!report.ended) {
        return result;
    }
    result.peakResidentKiB = report.maxResidentKiB;
    result.cpu = std::chrono::milliseconds(report.cpuMicroseconds / 1000);
    if (!killed && WIFEXITED(report.status)) {
        result.exitCode = WEXITSTATUS(report.status);
    }
    if (!killed && WIFSIGNALED(report.status)) {
        result.signal = WTERMSIG(report.status);
    }
    return result;
}

RunResult runKtdiag(const std::vector<std::string>& args,
                    const std::map<std::string, std::optional<std::string>>& env,
                    const std::function<void(int pid)>& started)
{
    return runProgram(KTDIAG_BINARY, args, env, 60000, started);
}

namespace {

// True once the process is a zombie or gone.
bool processEnded(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0) {
            return line.find("zombie") != std::string::npos;
        }
    }
    return true;
}

} // namespace

bool waitUntilCleanUpBegan(int pid, const std::function<bool()>& begun,
                           std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    // No sleep: the point is to follow the clean-up as closely as possible.
    while (!begun() && !processEnded(pid)) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
    }
    return true;
}

NoCoreDumps::NoCoreDumps()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_CORE, &limit) == 0) {
        m_soft = limit.rlim_cur;
        limit.rlim_cur = 0;
        m_saved = ::setrlimit(RLIMIT_CORE, &limit) == 0;
    }
}

NoCoreDumps::~NoCoreDumps()
{
    rlimit limit{};
    if (m_saved && ::getrlimit(RLIMIT_CORE, &limit) == 0) {
        limit.rlim_cur = static_cast<rlim_t>(m_soft);
        ::setrlimit(RLIMIT_CORE, &limit);
    }
}

} // namespace ktTest

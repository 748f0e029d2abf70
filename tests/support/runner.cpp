#include "ktTest/runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <csignal>
#include <fcntl.h>
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

// The high-water mark of pid's resident set (VmHWM) in KiB; 0 once it has ended. The kernel's
// own figure for a child (wait4) would start from this process's size, which its exec
// inherits.
long residentHighWaterKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
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
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = mergedEnvironment(env);
    std::vector<char*> argv = pointers(argStrings);
    std::vector<char*> envp = pointers(envStrings);

    const auto startedAt = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }
    if (started) {
        started(static_cast<int>(pid));
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
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
        // A few milliseconds at a time, so the peak is sampled while the program runs.
        if (::poll(fds, 2, static_cast<int>(std::min<long long>(left, 2))) < 0 && errno != EINTR) {
            break;
        }
        result.peakResidentKiB = std::max(result.peakResidentKiB, residentHighWaterKiB(pid));
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
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - startedAt);
    const auto time = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    result.cpu = std::chrono::duration_cast<std::chrono::milliseconds>(time(usage.ru_utime) +
                                                                       time(usage.ru_stime));
    if (!killed && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    if (!killed && WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
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

// True when /proc shows signal pending for the process as a whole; false once it was
// taken, or the process is gone or a zombie.
bool signalPending(int pid, int signal)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0 && line.find("zombie") != std::string::npos) {
            return false;
        }
        if (line.rfind("ShdPnd:", 0) == 0) {
            const unsigned long long pending = std::stoull(line.substr(7), nullptr, 16);
            return (pending & (1ull << (signal - 1))) != 0;
        }
    }
    return false;
}

} // namespace

bool waitUntilSignalTaken(int pid, int signal, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    // No sleep: the point is to follow the taking as closely as possible.
    while (signalPending(pid, signal)) {
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

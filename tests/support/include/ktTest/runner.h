#pragma once
// Runs a program with arguments and a set of environment changes, capturing its output.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ktTest {

struct RunResult {
    int exitCode = -1; // -1 when the program did not exit normally
    int signal = 0;    // the signal that ended it, when one did
    std::string out;
    std::string err;
    // The largest resident set of the program (or of a child it waited for, when larger) and
    // the processor time, user and system, of both, as the kernel accounted them when it was
    // reaped: unlike the wall time, neither grows on a busy machine. Zero when it could not
    // be started.
    long peakResidentKiB = 0;
    std::chrono::milliseconds cpu{0};
    std::chrono::milliseconds elapsed{0}; // from its start until it was reaped
};

// env: variables to set (a value) or remove (nullopt) on top of this process's
// environment. The child gets /dev/null as standard input; it is killed after timeoutMs.
// started, when given, is called with the child's process id once it runs. A small
// launcher between this process and the child takes the kernel's account of the child.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env = {},
                     int timeoutMs = 60000, const std::function<void(int pid)>& started = nullptr);

// The ktdiag binary of this build.
RunResult runKtdiag(const std::vector<std::string>& args,
                    const std::map<std::string, std::optional<std::string>>& env = {},
                    const std::function<void(int pid)>& started = nullptr);

// Waits until begun() tells that the process pid's signal handler is removing what it holds,
// or the process ended, or timeout passed; true unless it timed out. Used to send a second
// signal only once a handler has taken the clean-up: the kernel having handed the first one
// to a thread is not enough, as another thread could still take the second one and reach
// the handler before it.
bool waitUntilCleanUpBegan(int pid, const std::function<bool()>& begun,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Keeps this process and the programs it starts from dumping core (SIGQUIT's default action)
// for the life of the object.
class NoCoreDumps {
public:
    NoCoreDumps();
    ~NoCoreDumps();
    NoCoreDumps(const NoCoreDumps&) = delete;
    NoCoreDumps& operator=(const NoCoreDumps&) = delete;

private:
    unsigned long long m_soft = 0;
    bool m_saved = false;
};

} // namespace ktTest

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
    // The program's largest resident set, sampled every few milliseconds while it ran.
    long peakResidentKiB = 0;
    std::chrono::milliseconds elapsed{0}; // from its start until it was reaped
    // The processor time it used (user and system), which a busy machine does not stretch.
    std::chrono::milliseconds cpu{0};
};

// env: variables to set (a value) or remove (nullopt) on top of this process's
// environment. The child gets /dev/null as standard input; it is killed after timeoutMs.
// started, when given, is called with the child's process id once it runs.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env = {},
                     int timeoutMs = 60000, const std::function<void(int pid)>& started = nullptr);

// The ktdiag binary of this build.
RunResult runKtdiag(const std::vector<std::string>& args,
                    const std::map<std::string, std::optional<std::string>>& env = {},
                    const std::function<void(int pid)>& started = nullptr);

} // namespace ktTest

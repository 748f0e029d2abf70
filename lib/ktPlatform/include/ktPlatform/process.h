#pragma once
// Child processes: the launch of a program with its output in a file and the wait for it,
// the splitting of a command line into arguments, and the tool's own folder.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ktPlatform {

// Stands for a Windows child's C runtime splitting its command line into arguments.
// The program name ends at the first blank or tab outside double quotes, and its quotes
// are dropped. Each later argument: blanks and tabs outside quotes separate, a double
// quote opens or closes a quoted part, "" inside a quoted part is one literal quote,
// 2n backslashes before a quote give n and the quote acts, 2n+1 give n and a literal
// quote, other backslashes are literal. Leading blanks are skipped; nothing is expanded.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// The inverse for one argument after the program name: splitCommandLine gives the
// argument back unchanged, whatever blanks, quotes or backslashes it holds.
std::string quoteArgument(const std::string& argument);

enum class OutputMode {
    append,  // opened or created, each write at its end (OPEN_ALWAYS, FILE_APPEND_DATA)
    replace, // the old file deleted, then created anew (DeleteFile, CREATE_ALWAYS)
};

enum class RunStatus {
    ended,        // the child ran and ended; exitCode holds its code
    outputFailed, // the output file could not be opened or created; nothing started
    startFailed,  // the program could not be started (2 when it was not found)
    timedOut,     // the child outlived the time-out: its process group was killed
};

struct RunResult {
    RunStatus status = RunStatus::startFailed;
    // The child's exit status, 128 + the signal number when a signal ended it.
    int exitCode = -1;
    // The system error of outputFailed and startFailed (errno: 2 for a missing file).
    int error = 0;
};

// Stands for CreateProcess with CREATE_NO_WINDOW, standard handles redirected to a file
// and a wait on the child, with a time-out added. argv[0] is looked up on PATH when it
// holds no '/'; no shell is involved. Standard input is /dev/null; standard output and
// standard error both go to outputFile, or to /dev/null when it is empty (a window-less
// console shows nothing). The output file is opened without following a link, must be a
// regular file, and is created with mode 0600. The child inherits no other descriptor,
// gets default signal handling and an empty signal mask, leads a session of its own (no
// controlling terminal) and so its own process group, with the caller's environment and
// folder, and is killed with its group once timeout has passed, whether it is still on its
// way to the program or running it. When the calling thread acts as another user, the
// child runs as that user (uid, gid and groups) in the folder / with an environment of its
// own instead: PATH /usr/local/bin:/usr/bin:/bin, the caller's LANG, LANGUAGE and LC_*
// variables, and the user's HOME, USER and LOGNAME. A child still running when an
// interrupting signal ends the process (installInterruptCleanup) is killed with its group.
// Blocks the calling thread until the child has ended.
RunResult runProcess(const std::vector<std::string>& argv, const std::string& outputFile,
                     OutputMode mode, std::chrono::milliseconds timeout);

// The same with standard output and standard error going to outputFd, a descriptor the
// caller opened and keeps (writes land at its end when it was opened to append), or to
// /dev/null when it is -1. Lets one file made by the caller receive several runs, never
// opened again by name.
RunResult runProcess(const std::vector<std::string>& argv, int outputFd,
                     std::chrono::milliseconds timeout);

// For tests: every child started from now on stops itself (SIGSTOP) just before it runs its
// program, after it took the user's identity, as that user could stop it.
void setChildrenStopBeforeExec(bool stop);

// Stands for the limits of a job object that a program puts on itself: its address space
// at most addressBytes (0: not limited), beyond which allocations fail, and its processor time
// at most cpuSeconds, after which SIGXCPU ends it (SIGKILL a second later). Children inherit
// both. False with errno set when the kernel refuses.
bool limitOwnResources(std::uint64_t addressBytes, unsigned cpuSeconds);

// Stands for GetModuleFileNameA(NULL): the running executable's path, read from
// /proc/self/exe. False with errno set when it cannot be read.
bool executablePath(std::string& path);

// The path of the program name in the running executable's folder (the folder of
// GetModuleFileNameA joined with name). False with errno set as executablePath.
bool programBesideExecutable(const std::string& name, std::string& path);

} // namespace ktPlatform

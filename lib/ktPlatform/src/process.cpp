#include "ktPlatform/process.h"

#include "posixFiles.h"
#include "runningChildren.h"

#include "ktPlatform/files.h"
#include "identity.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace ktPlatform {

namespace {

// The children not yet reaped, so that an interrupt ends them with the run: in a session of
// their own they get none of the terminal's signals. A slot is kStarting while its thread,
// with every signal blocked, forks; a pid is forgotten only before its reaping, so the
// handler never signals a pid that was handed on.
constexpr int kChildSlots = 64;
constexpr pid_t kFreeSlot = 0;
constexpr pid_t kStarting = -1;
std::atomic<pid_t> g_children[kChildSlots];

// How long the handler waits for a fork under way in another thread.
constexpr int kStartingWaitMs = 1000;

std::atomic<bool> g_stopBeforeExec{false};

// A slot for a child about to start; -1 when all are taken (the child then runs unlisted).
int reserveChildSlot()
{
    for (int i = 0; i < kChildSlots; ++i) {
        pid_t expected = kFreeSlot;
        if (g_children[i].compare_exchange_strong(expected, kStarting)) {
            return i;
        }
    }
    return -1;
}

void forgetChild(int slot)
{
    if (slot >= 0) {
        g_children[slot].store(kFreeSlot);
    }
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Opens the output file for the child: never through a link, only a regular file, new
// files private to the caller. Replacing deletes first and then insists on a new file,
// so a file that could not be deleted is never written into. Returns -1 with error set.
int openOutputFile(const std::string& path, OutputMode mode, int& error)
{
    int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int deleteError = 0;
    if (mode == OutputMode::replace) {
        if (!deleteFile(path) && errno != ENOENT) {
            deleteError = errno;
        }
        flags |= O_EXCL;
    }
    // O_NONBLOCK keeps a FIFO from blocking the open; it is cleared for a regular file.
    Fd fd(::open(path.c_str(), flags, 0600));
    if (fd.get() < 0) {
        error = (errno == EEXIST && deleteError != 0) ? deleteError : errno;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = EINVAL;
        return -1;
    }
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
        error = errno;
        return -1;
    }
    // Keep clear of 0..2, which the child's own standard handles are about to take.
    if (fd.get() <= 2) {
        const int high = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
        if (high < 0) {
            error = errno;
            return -1;
        }
        fd.reset(high);
    }
    return fd.release();
}

// Everything the child needs, made before the fork: between fork and exec the child may
// only make system calls, as another thread may hold a lock of the C library.
struct ChildSetup {
    std::string program; // the path to execute
    std::vector<std::string> strings;
    std::vector<char*> argv;
    int output = -1; // standard output and error; -1: /dev/null
    // The identity the child takes when the calling thread acts as another user.
    bool dropIdentity = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    // Its environment then; this process's own otherwise.
    std::vector<std::string> envStrings;
    std::vector<char*> env;
    bool stopBeforeExec = false; // a test's stand-in for the user stopping the child
};

// The search path of a child that runs as a user.
const char* const kUserPath = "PATH=/usr/local/bin:/usr/bin:/bin";

bool isLocaleVariable(const char* entry)
{
    return std::strncmp(entry, "LANG=", 5) == 0 || std::strncmp(entry, "LANGUAGE=", 9) == 0 ||
           std::strncmp(entry, "LC_", 3) == 0;
}

// The environment of a child that runs as the user: the fixed search path, this process's
// locale and the user's own names and home. Nothing else of this process's (proxy
// credentials, tokens) reaches a program that the user may inspect while it runs.
std::vector<std::string> userEnvironment(const Token& user)
{
    std::vector<std::string> env = {kUserPath};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (isLocaleVariable(*entry)) {
            env.emplace_back(*entry);
        }
    }
    if (!user.home.empty()) {
        env.push_back("HOME=" + user.home);
    }
    if (!user.name.empty()) {
        env.push_back("USER=" + user.name);
        env.push_back("LOGNAME=" + user.name);
    }
    return env;
}

// The program argv[0] names: itself when it holds a '/', else the first executable file of
// that name in PATH (the system's default search path without one), as execvp looks.
bool findProgram(const std::string& name, std::string& path, int& error)
{
    if (name.find('/') != std::string::npos) {
        path = name;
        return true;
    }
    const char* pathVariable = std::getenv("PATH");
    const std::string search =
        pathVariable != nullptr && *pathVariable != '\0' ? pathVariable : "/bin:/usr/bin";
    error = ENOENT;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = search.find(':', at);
        const std::string folder = search.substr(at, end == std::string::npos ? end : end - at);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0) {
            if (S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
                path = candidate;
                return true;
            }
            error = EACCES;
        }
        if (end == std::string::npos) {
            return false;
        }
        at = end + 1;
    }
}

// The supplementary groups of the user uid, with gid among them; only gid when passwd does
// not know the user.
std::vector<gid_t> groupsOf(std::uint32_t uid, gid_t gid)
{
    Token token;
    if (!lookupUser(uid, token) || token.name.empty()) {
        return {gid};
    }
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(token.name.c_str(), gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        if (count <= static_cast<int>(groups.size()) || count > 65536) {
            return {gid};
        }
        groups.resize(static_cast<std::size_t>(count));
    }
}

bool prepareChild(const std::vector<std::string>& argv, int output, ChildSetup& setup, int& error)
{
    if (!findProgram(argv[0], setup.program, error)) {
        return false;
    }
    setup.strings = argv;
    for (std::string& s : setup.strings) {
        setup.argv.push_back(&s[0]);
    }
    setup.argv.push_back(nullptr);
    setup.output = output;
    setup.stopBeforeExec = g_stopBeforeExec.load();
    // The thread's identity does not carry into a child: its uid, gid and groups are set
    // there, or it would run as this process's user (root).
    const std::uint32_t fsUid = currentFsUid();
    if (fsUid != static_cast<std::uint32_t>(::geteuid())) {
        setup.dropIdentity = true;
        setup.uid = static_cast<uid_t>(fsUid);
        setup.gid = static_cast<gid_t>(currentFsGid());
        setup.groups = groupsOf(fsUid, setup.gid);
        Token user;
        if (!lookupUser(fsUid, user)) {
            user = Token{};
        }
        setup.envStrings = userEnvironment(user);
        for (std::string& s : setup.envStrings) {
            setup.env.push_back(&s[0]);
        }
        setup.env.push_back(nullptr);
    }
    return true;
}

// The child's side, between fork and exec: system calls only. Returns the errno of the step
// that failed; on success it does not return.
int runChild(const ChildSetup& setup, int errorPipe)
{
    // Its own session: no controlling terminal of root's to push input into. As the
    // session's leader it leads its own process group too, so a time-out ends whatever it
    // started.
    if (::setsid() < 0) {
        return errno;
    }
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            ::sigaction(signal, &byDefault, nullptr);
        }
    }
    const int nullFd = ::open("/dev/null", O_RDWR);
    if (nullFd < 0) {
        return errno;
    }
    const int outFd = setup.output >= 0 ? setup.output : nullFd;
    if (::dup2(nullFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(outFd, 2) < 0) {
        return errno;
    }
    // Nothing beyond the three standard descriptors reaches the program; the error pipe
    // stays open until the exec succeeds.
    if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
        const long highest = ::sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (highest > 0 ? highest : 65536); ++fd) {
            if (fd != errorPipe) {
                ::close(fd);
            }
        }
    }
    if (setup.dropIdentity) {
        // Not root's folder: the user could read below it through /proc/<pid>/cwd.
        if (::chdir("/") != 0) {
            return errno;
        }
        // Raw calls change this thread alone, the only one the child has; groups first,
        // while the rights to change them remain.
        if (::syscall(SYS_setgroups, setup.groups.size(), setup.groups.data()) != 0 ||
            ::syscall(SYS_setresgid, setup.gid, setup.gid, setup.gid) != 0 ||
            ::syscall(SYS_setresuid, setup.uid, setup.uid, setup.uid) != 0) {
            return errno;
        }
    }
    if (setup.stopBeforeExec) {
        ::kill(::getpid(), SIGSTOP);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(setup.program.c_str(), setup.argv.data(),
             setup.dropIdentity ? setup.env.data() : environ);
    return errno;
}

void killAndReap(pid_t pid, int slot, int& status)
{
    ::kill(-pid, SIGKILL);
    // The child may have left its group, or not made it yet; it goes too.
    ::kill(pid, SIGKILL);
    forgetChild(slot);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Starts the child, listed in slot; its pid, or -1 with error set when it could not be made,
// could not run the program or did not reach it before deadline (timedOut; it is killed).
// The child is reaped whenever -1 comes back.
pid_t startChild(const ChildSetup& setup, std::chrono::steady_clock::time_point deadline, int& slot,
                 bool& timedOut, int& error)
{
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        error = errno;
        return -1;
    }
    Fd readEnd(errorPipe[0]);
    Fd writeEnd(errorPipe[1]);
    // No handler of this process may run in the child before its dispositions are reset, nor
    // in this thread while its slot is kStarting.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    slot = reserveChildSlot();
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = runChild(setup, writeEnd.get());
        while (::write(writeEnd.get(), &code, sizeof(code)) < 0 && errno == EINTR) {
        }
        ::_exit(127);
    }
    const int forkError = errno;
    if (slot >= 0) {
        g_children[slot].store(pid > 0 ? pid : kFreeSlot);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    writeEnd.reset(-1);
    if (pid < 0) {
        slot = -1;
        error = forkError;
        return -1;
    }
    // The pipe closes at the exec; a code arrives instead when a step before it failed. The
    // wait has the run's deadline: once the child has the user's uid, the user may stop it.
    int code = 0;
    ssize_t n = 0;
    for (;;) {
        const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   deadline - std::chrono::steady_clock::now())
                                   .count();
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready =
            left > 0 ? ::poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, INT_MAX))) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            error = ready == 0 ? ETIMEDOUT : errno;
            timedOut = ready == 0;
            int status = 0;
            killAndReap(pid, slot, status);
            return -1;
        }
        n = ::read(readEnd.get(), &code, sizeof(code));
        if (n >= 0 || errno != EINTR) {
            break;
        }
    }
    if (n == static_cast<ssize_t>(sizeof(code))) {
        // Killed, not awaited: the user could stop it before its exit too.
        int status = 0;
        killAndReap(pid, slot, status);
        error = code;
        return -1;
    }
    return pid;
}

int decodeStatus(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// Reaps pid, listed in slot, waiting at most until deadline. True when it ended (status
// filled).
bool reapBefore(pid_t pid, int slot, std::chrono::steady_clock::time_point deadline, int& status)
{
    // A process descriptor turns ready when the child ends; without one (old kernels,
    // filtered system calls) the wait falls back to short sleeps.
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        // Seen ended but not reaped yet, so that it is forgotten while its pid is still its.
        siginfo_t info{};
        const int r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (r == 0 && info.si_pid == pid) {
            forgetChild(slot);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return true;
        }
        if (r < 0 && errno != EINTR) {
            // Reaped elsewhere (SIGCHLD ignored): ended, with its status unknown.
            forgetChild(slot);
            status = -1;
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (pidfd.get() >= 0) {
            pollfd p{pidfd.get(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, INT_MAX)));
        } else {
            const long long stepMs = std::min<long long>(left.count(), 10);
            const timespec step{0, static_cast<long>(stepMs * 1000000)};
            ::nanosleep(&step, nullptr);
        }
    }
}

} // namespace

void killRunningChildren()
{
    const timespec step{0, 1000 * 1000};
    for (std::atomic<pid_t>& child : g_children) {
        pid_t pid = child.load();
        for (int waited = 0; pid == kStarting && waited < kStartingWaitMs; ++waited) {
            ::nanosleep(&step, nullptr);
            pid = child.load();
        }
        if (pid > 0) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
        }
    }
}

void setChildrenStopBeforeExec(bool stop)
{
    g_stopBeforeExec.store(stop);
}

std::vector<std::string> splitCommandLine(const std::string& line)
{
    std::vector<std::string> args;
    const std::size_t n = line.size();
    std::size_t i = 0;
    while (i < n && isBlank(line[i])) {
        ++i;
    }
    if (i == n) {
        return args;
    }
    // The program name: quotes only group, backslashes are path separators.
    std::string program;
    bool quoted = false;
    for (; i < n; ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && isBlank(c)) {
            break;
        } else {
            program += c;
        }
    }
    args.push_back(program);

    for (;;) {
        while (i < n && isBlank(line[i])) {
            ++i;
        }
        if (i == n) {
            break;
        }
        std::string arg;
        quoted = false;
        while (i < n) {
            std::size_t slashes = 0;
            while (i < n && line[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < n && line[i] == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    arg += '"';
                    ++i;
                } else if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            arg.append(slashes, '\\');
            if (i == n || (!quoted && isBlank(line[i]))) {
                break;
            }
            arg += line[i];
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}

std::string quoteArgument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string out = "\"";
    std::size_t slashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"') {
            out.append(2 * slashes + 1, '\\');
        } else {
            out.append(slashes, '\\');
        }
        out += c;
        slashes = 0;
    }
    // Backslashes before the closing quote are doubled so it still closes.
    out.append(2 * slashes, '\\');
    out += '"';
    return out;
}

RunResult runProcess(const std::vector<std::string>& argv, const std::string& outputFile,
                     OutputMode mode, std::chrono::milliseconds timeout)
{
    RunResult result;
    if (argv.empty() || argv[0].empty()) {
        result.status = RunStatus::startFailed;
        result.error = argv.empty() ? EINVAL : ENOENT;
        return result;
    }

    Fd out;
    if (!outputFile.empty()) {
        out.reset(openOutputFile(outputFile, mode, result.error));
        if (out.get() < 0) {
            result.status = RunStatus::outputFailed;
            return result;
        }
    }
    // The child holds its own copy; the output file closes here for this process.
    return runProcess(argv, out.get(), timeout);
}

RunResult runProcess(const std::vector<std::string>& argv, int outputFd,
                     std::chrono::milliseconds timeout)
{
    RunResult result;
    if (argv.empty() || argv[0].empty()) {
        result.status = RunStatus::startFailed;
        result.error = argv.empty() ? EINVAL : ENOENT;
        return result;
    }

    ChildSetup setup;
    if (!prepareChild(argv, outputFd, setup, result.error)) {
        result.status = RunStatus::startFailed;
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int slot = -1;
    bool timedOut = false;
    const pid_t pid = startChild(setup, deadline, slot, timedOut, result.error);
    if (pid < 0) {
        result.status = timedOut ? RunStatus::timedOut : RunStatus::startFailed;
        return result;
    }

    int status = 0;
    if (!reapBefore(pid, slot, deadline, status)) {
        killAndReap(pid, slot, status);
        result.status = RunStatus::timedOut;
        return result;
    }
    result.status = RunStatus::ended;
    result.exitCode = status == -1 ? -1 : decodeStatus(status);
    return result;
}

bool limitOwnResources(std::uint64_t addressBytes, unsigned cpuSeconds)
{
    if (addressBytes > 0) {
        const rlimit space{static_cast<rlim_t>(addressBytes), static_cast<rlim_t>(addressBytes)};
        if (::setrlimit(RLIMIT_AS, &space) != 0) {
            return false;
        }
    }
    const rlimit cpu{static_cast<rlim_t>(cpuSeconds), static_cast<rlim_t>(cpuSeconds) + 1};
    return ::setrlimit(RLIMIT_CPU, &cpu) == 0;
}

bool executablePath(std::string& path)
{
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (n < 0) {
        return false;
    }
    if (static_cast<std::size_t>(n) >= buffer.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    buffer.resize(static_cast<std::size_t>(n));
    path = buffer;
    return true;
}

bool programBesideExecutable(const std::string& name, std::string& path)
{
    std::string self;
    if (!executablePath(self)) {
        return false;
    }
    path = self.substr(0, self.rfind('/') + 1) + name;
    return true;
}

} // namespace ktPlatform

#include "ktPlatform/process.h"

#include "ktPlatform/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace ktPlatform {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Owns one descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd)
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

class SpawnActions {
public:
    SpawnActions() { m_ok = ::posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnActions()
    {
        if (m_ok) {
            ::posix_spawn_file_actions_destroy(&m_actions);
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return m_ok; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
    bool m_ok = false;
};

class SpawnAttributes {
public:
    SpawnAttributes() { m_ok = ::posix_spawnattr_init(&m_attr) == 0; }
    ~SpawnAttributes()
    {
        if (m_ok) {
            ::posix_spawnattr_destroy(&m_attr);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return m_ok; }
    posix_spawnattr_t* get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
    bool m_ok = false;
};

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

// Reaps pid, waiting at most until deadline. True when it ended (status filled).
bool reapBefore(pid_t pid, std::chrono::steady_clock::time_point deadline, int& status)
{
    // A process descriptor turns ready when the child ends; without one (old kernels,
    // filtered system calls) the wait falls back to short sleeps.
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            // Reaped elsewhere (SIGCHLD ignored): ended, with its status unknown.
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

void killAndReap(pid_t pid, int& status)
{
    ::kill(-pid, SIGKILL);
    // The child may have left its group; it goes too.
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

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

    SpawnActions actions;
    SpawnAttributes attributes;
    sigset_t noSignals;
    sigset_t defaults;
    sigemptyset(&noSignals);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    bool ready = actions.ok() && attributes.ok();
    ready = ready &&
            ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) == 0;
    if (out.get() >= 0) {
        ready = ready && ::posix_spawn_file_actions_adddup2(actions.get(), out.get(), 1) == 0 &&
                ::posix_spawn_file_actions_adddup2(actions.get(), out.get(), 2) == 0;
    } else {
        ready =
            ready &&
            ::posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0) == 0 &&
            ::posix_spawn_file_actions_adddup2(actions.get(), 1, 2) == 0;
    }
    ready = ready && ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3) == 0;
    ready = ready &&
            ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP |
                                                             POSIX_SPAWN_SETSIGMASK |
                                                             POSIX_SPAWN_SETSIGDEF) == 0 &&
            ::posix_spawnattr_setpgroup(attributes.get(), 0) == 0 &&
            ::posix_spawnattr_setsigmask(attributes.get(), &noSignals) == 0 &&
            ::posix_spawnattr_setsigdefault(attributes.get(), &defaults) == 0;
    if (!ready) {
        result.status = RunStatus::startFailed;
        result.error = ENOMEM;
        return result;
    }

    std::vector<std::string> strings(argv);
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(&s[0]);
    }
    pointers.push_back(nullptr);

    pid_t pid = -1;
    const bool searchPath = argv[0].find('/') == std::string::npos;
    const int rc = searchPath ? ::posix_spawnp(&pid, pointers[0], actions.get(), attributes.get(),
                                               pointers.data(), environ)
                              : ::posix_spawn(&pid, pointers[0], actions.get(), attributes.get(),
                                              pointers.data(), environ);
    // The child holds its own copy; the output file closes here for this process.
    out.reset(-1);
    if (rc != 0) {
        result.status = RunStatus::startFailed;
        result.error = rc;
        return result;
    }

    int status = 0;
    if (!reapBefore(pid, std::chrono::steady_clock::now() + timeout, status)) {
        killAndReap(pid, status);
        result.status = RunStatus::timedOut;
        return result;
    }
    result.status = RunStatus::ended;
    result.exitCode = status == -1 ? -1 : decodeStatus(status);
    return result;
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

// Stands between the test runner and the program it runs, so the program's resource usage
// comes from the kernel's own account of it: taken from the test process, the program's
// peak would start from the test's size, which an exec inherits; sampled from /proc, a
// short program could end before the first sample on a busy machine.
//
//   ktTestLauncher REPORT_FD COUNT [NAME=VALUE]... PROGRAM [ARG...]
//
// Starts PROGRAM with the launcher's standard descriptors and the COUNT variables as its
// whole environment (the launcher itself is started with none, so nothing meant for PROGRAM,
// a preloaded library say, acts on it), then writes to REPORT_FD (never inherited by PROGRAM)
// one line per event:
//   pid N                                 PROGRAM runs as process N
//   ended STATUS MAXRSS_KIB USER_US SYS_US its wait status and resource usage once reaped
//   failed ERRNO                          PROGRAM could not be started
// Exits 0 once PROGRAM was reaped, 127 otherwise. It stays small on purpose: its own pages
// are what PROGRAM starts from until its exec.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

void report(int fd, const char* line)
{
    std::size_t left = std::strlen(line);
    while (left > 0) {
        const ssize_t n = ::write(fd, line, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        line += n;
        left -= static_cast<std::size_t>(n);
    }
}

long long microseconds(const timeval& t)
{
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

} // namespace

int main(int argc, char** argv)
{
    const long count = argc > 3 ? std::strtol(argv[2], nullptr, 10) : -1;
    if (count < 0 || count > argc - 4) {
        std::fputs("usage: ktTestLauncher REPORT_FD COUNT [NAME=VALUE]... PROGRAM [ARG...]\n",
                   stderr);
        return 127;
    }
    const int fd = std::atoi(argv[1]);
    if (fd <= 2 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        std::fputs("ktTestLauncher: bad report descriptor\n", stderr);
        return 127;
    }
    std::vector<char*> environment(argv + 3, argv + 3 + count);
    environment.push_back(nullptr);
    char** programArgs = argv + 3 + count; // null-terminated as argv is

    char line[160];
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, programArgs[0], nullptr, nullptr, programArgs, environment.data());
    if (rc != 0) {
        std::snprintf(line, sizeof(line), "failed %d\n", rc);
        report(fd, line);
        return 127;
    }
    std::snprintf(line, sizeof(line), "pid %d\n", static_cast<int>(pid));
    report(fd, line);

    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::snprintf(line, sizeof(line), "failed %d\n", errno);
            report(fd, line);
            return 127;
        }
    }
    std::snprintf(line, sizeof(line), "ended %d %ld %lld %lld\n", status, usage.ru_maxrss,
                  microseconds(usage.ru_utime), microseconds(usage.ru_stime));
    report(fd, line);
    return 0;
}

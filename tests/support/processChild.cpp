// A child for the process runner's tests. Its first argument picks what it does; what it
// reports goes to standard output (and standard error where said).
//   print TEXT       "out TEXT\n" on standard output, then "err TEXT\n" on standard error
//   args ...         every argument, argv[0] included, as "[arg]\n"
//   stdin            reads standard input to its end, then prints "read N\n"
//   fds              the open descriptors, as "0 1 2\n"
//   exit N           exits with N
//   signal N         raises signal N
//   touch PATH       creates PATH
//   hang             starts a grandchild, prints its pid, and both sleep for good
//   sleep            sleeps for good, printing nothing
//   ids              "uid R E S\ngid R E S\ngroups G...\n": its real, effective and saved ids
//                    and its supplementary groups in ascending order
//   env              its environment, one "NAME=value\n" line per entry, in ascending order
//   where            "session own|shared\ntty none|open\ncwd PATH\n": whether it leads its
//                    session, whether it has a controlling terminal, its working folder

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <string>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

void put(int fd, const std::string& text)
{
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n <= 0) {
            std::_Exit(3);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::string openDescriptors()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return "opendir failed\n";
    }
    std::vector<int> fds;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') {
            const int fd = std::atoi(e->d_name);
            if (fd != ::dirfd(dir)) {
                fds.push_back(fd);
            }
        }
    }
    ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    std::string out;
    for (const int fd : fds) {
        out += (out.empty() ? "" : " ") + std::to_string(fd);
    }
    return out + "\n";
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string arg = argc > 2 ? argv[2] : "";
    if (mode == "print") {
        put(1, "out " + arg + "\n");
        put(2, "err " + arg + "\n");
    } else if (mode == "args") {
        for (int i = 0; i < argc; ++i) {
            put(1, std::string("[") + argv[i] + "]\n");
        }
    } else if (mode == "stdin") {
        std::size_t total = 0;
        char buffer[256];
        ssize_t n = 0;
        while ((n = ::read(0, buffer, sizeof(buffer))) > 0) {
            total += static_cast<std::size_t>(n);
        }
        put(1, n < 0 ? std::string("read error\n") : "read " + std::to_string(total) + "\n");
    } else if (mode == "fds") {
        put(1, openDescriptors());
    } else if (mode == "exit") {
        return std::atoi(arg.c_str());
    } else if (mode == "signal") {
        std::signal(std::atoi(arg.c_str()), SIG_DFL);
        std::raise(std::atoi(arg.c_str()));
    } else if (mode == "touch") {
        const int fd = ::open(arg.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        return fd < 0 ? 3 : (::close(fd), 0);
    } else if (mode == "ids") {
        uid_t ru = 0, eu = 0, su = 0;
        gid_t rg = 0, eg = 0, sg = 0;
        ::getresuid(&ru, &eu, &su);
        ::getresgid(&rg, &eg, &sg);
        std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
        groups.resize(static_cast<std::size_t>(
            std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
        std::sort(groups.begin(), groups.end());
        std::string text = "uid " + std::to_string(ru) + " " + std::to_string(eu) + " " +
                           std::to_string(su) + "\ngid " + std::to_string(rg) + " " +
                           std::to_string(eg) + " " + std::to_string(sg) + "\ngroups";
        for (const gid_t g : groups) {
            text += " " + std::to_string(g);
        }
        put(1, text + "\n");
    } else if (mode == "env") {
        std::vector<std::string> entries;
        for (char** e = environ; *e != nullptr; ++e) {
            entries.emplace_back(*e);
        }
        std::sort(entries.begin(), entries.end());
        std::string text;
        for (const std::string& e : entries) {
            text += e + "\n";
        }
        put(1, text);
    } else if (mode == "where") {
        const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        char cwd[PATH_MAX] = {};
        const ssize_t n = ::readlink("/proc/self/cwd", cwd, sizeof(cwd) - 1);
        put(1, std::string("session ") + (::getsid(0) == ::getpid() ? "own" : "shared") + "\ntty " +
                   (tty >= 0 ? "open" : "none") + "\ncwd " +
                   (n > 0 ? std::string(cwd, static_cast<std::size_t>(n)) : "?") + "\n");
    } else if (mode == "sleep") {
        for (;;) {
            ::pause();
        }
    } else if (mode == "hang") {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            for (;;) {
                ::pause();
            }
        }
        put(1, std::to_string(grandchild) + "\n");
        for (;;) {
            ::pause();
        }
    } else {
        put(2, "unknown mode\n");
        return 2;
    }
    return 0;
}

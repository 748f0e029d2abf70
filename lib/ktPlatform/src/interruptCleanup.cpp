#include "ktPlatform/interruptCleanup.h"

#include "posixFiles.h"
#include "runningChildren.h"
#include "sharedEntry.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <string>
#include <sys/fsuid.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

// A run holds a handful of paths: the archive being written and one folder of copies.
constexpr int kSlots = 16;
constexpr std::size_t kPathRoom = 4096;
// Levels of subfolders that a held folder may have: numbered subfolders of copies.
constexpr int kFolderDepth = 2;

// A slot is busy while hold or remove fills or empties it (the handled signals blocked in that
// thread, so it always finishes), or while the handler removes its path.
enum SlotState : int { kFree, kBusy, kHeld };

// Only fixed storage and atomics, so the signal handler may read it at any moment.
struct Slot {
    std::atomic<int> state{kFree};
    TemporaryPath::Kind kind = TemporaryPath::Kind::file;
    char path[kPathRoom] = {};
};

Slot g_slots[kSlots];

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The signal whose handler runs the clean-up; 0 before any came.
std::atomic<int> g_ending{0};

// How long the handler waits for another thread to finish filling or emptying a slot.
constexpr int kBusyWaitMs = 5000;

sigset_t handledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// Keeps the handled signals away from the calling thread while it changes a slot: the
// handler then never finds a slot half filled or half emptied by its own thread, and waits
// for other threads' (they cannot be stopped midway by the handler either).
class SignalsHeld {
public:
    SignalsHeld()
    {
        const sigset_t set = handledSignals();
        ::pthread_sigmask(SIG_BLOCK, &set, &m_saved);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &m_saved, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t m_saved;
};

bool isDotName(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Removes what the open folder holds. System calls only: the signal handler uses it too.
// Entries are removed while the folder is read, so each pass starts again from the top
// until one removes nothing.
void emptyFolder(int folder, int depth)
{
    alignas(8) char buffer[4096];
    for (bool removed = true; removed;) {
        removed = false;
        if (::lseek(folder, 0, SEEK_SET) != 0) {
            return;
        }
        for (;;) {
            const ssize_t n = ::getdents64(folder, buffer, sizeof(buffer));
            if (n <= 0) {
                break;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                at += entry->d_reclen;
                if (isDotName(entry->d_name)) {
                    continue;
                }
                if (::unlinkat(folder, entry->d_name, 0) == 0) {
                    removed = true;
                    continue;
                }
                if (errno != EISDIR || depth == 0) {
                    continue;
                }
                const int sub = ::openat(folder, entry->d_name,
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    emptyFolder(sub, depth - 1);
                    ::close(sub);
                }
                if (::unlinkat(folder, entry->d_name, AT_REMOVEDIR) == 0) {
                    removed = true;
                }
            }
        }
    }
}

// True when nothing is left at path; errno set otherwise.
bool removePath(const char* path, TemporaryPath::Kind kind)
{
    if (kind == TemporaryPath::Kind::file) {
        return ::unlink(path) == 0 || errno == ENOENT;
    }
    const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0) {
        emptyFolder(folder, kFolderDepth);
        ::close(folder);
    }
    return ::rmdir(path) == 0 || errno == ENOENT;
}

void waitWhileAnySlotIsBusy()
{
    const timespec step{0, 1000 * 1000};
    for (int waited = 0; waited < kBusyWaitMs; ++waited) {
        bool busy = false;
        for (const Slot& slot : g_slots) {
            busy = busy || slot.state.load() == kBusy;
        }
        if (!busy) {
            return;
        }
        ::nanosleep(&step, nullptr);
    }
}

// Every handled signal is blocked in this thread while it runs (sa_mask), so one thread
// cleans up once; a signal that reaches another thread meanwhile waits there until the
// first one ends the process.
void onInterrupt(int signal)
{
    int expected = 0;
    if (!g_ending.compare_exchange_strong(expected, signal)) {
        for (;;) {
            ::pause();
        }
    }
    // The thread may be acting as another account, which could not remove these paths.
    ::setfsuid(::geteuid());
    ::setfsgid(::getegid());
    // Children first: one may still be writing into a held path.
    killRunningChildren();
    waitWhileAnySlotIsBusy();
    for (Slot& slot : g_slots) {
        int held = kHeld;
        if (slot.state.compare_exchange_strong(held, kBusy)) {
            removePath(slot.path, slot.kind);
            slot.state.store(kFree);
        }
    }
    // End as the first signal would have ended the process without the handler: it is
    // pending once raised and strikes when unblocked. No core: it could hold decrypted
    // configuration.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    ::sigaction(signal, &standard, nullptr);
    ::raise(signal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    for (;;) {
        ::pause();
    }
}

std::atomic<NameSuffixSource> g_suffixSource{nullptr};

} // namespace

std::string randomSuffix()
{
    if (const NameSuffixSource source = g_suffixSource.load()) {
        return source();
    }
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6] = {};
    if (::getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) {
        return std::string();
    }
    std::string suffix;
    for (unsigned char b : bytes) {
        suffix += kLetters[b % (sizeof(kLetters) - 1)];
    }
    return suffix;
}

namespace {

constexpr int kCreateAttempts = 100;

} // namespace

void setNameSuffixSource(NameSuffixSource source)
{
    g_suffixSource.store(source);
}

void installInterruptCleanup()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    // No SA_RESETHAND: a second signal that came back to the default would end the process
    // on another thread before the clean-up is done.
    action.sa_flags = 0;
    action.sa_mask = handledSignals();
    for (int signal : kSignals) {
        // A signal ignored from the start (nohup, a background job) stays ignored: the run
        // was meant to outlive it.
        struct sigaction found {};
        if (::sigaction(signal, nullptr, &found) == 0 && found.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signal, &action, nullptr);
    }
}

bool isHeldPath(const std::string& path)
{
    if (path.empty() || path.size() >= kPathRoom) {
        return false;
    }
    for (const Slot& slot : g_slots) {
        if (slot.state.load() == kHeld && path == slot.path) {
            return true;
        }
    }
    return false;
}

TemporaryPath::~TemporaryPath()
{
    remove();
}

bool TemporaryPath::hold(const std::string& path, Kind kind)
{
    remove();
    if (path.size() >= kPathRoom) {
        errno = ENAMETOOLONG;
        return false;
    }
    const SignalsHeld held;
    for (int i = 0; i < kSlots; ++i) {
        Slot& slot = g_slots[i];
        int expected = kFree;
        if (!slot.state.compare_exchange_strong(expected, kBusy)) {
            continue;
        }
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.kind = kind;
        slot.state.store(kHeld);
        m_slot = i;
        return true;
    }
    errno = ENOSPC;
    return false;
}

bool TemporaryPath::createFileBeside(const std::string& path, std::string& created, int& fd)
{
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const std::string suffix = randomSuffix();
        if (suffix.empty()) {
            return false;
        }
        const std::string name = hiddenSibling(path, suffix);
        if (!hold(name, Kind::file)) {
            return false;
        }
        const int made =
            ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (made >= 0) {
            created = name;
            fd = made;
            return true;
        }
        const int error = errno;
        keep(); // whatever is there is not this run's
        errno = error;
        if (error != EEXIST) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

bool TemporaryPath::createFolderIn(const std::string& parent, const std::string& prefix,
                                   std::string& created)
{
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const std::string suffix = randomSuffix();
        if (suffix.empty()) {
            return false;
        }
        const std::string name = parent + "/" + prefix + suffix;
        if (!hold(name, Kind::folder)) {
            return false;
        }
        if (::mkdir(name.c_str(), 0700) == 0) {
            created = name;
            return true;
        }
        const int error = errno;
        keep();
        errno = error;
        if (error != EEXIST) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

bool TemporaryPath::remove()
{
    if (m_slot < 0) {
        return true;
    }
    Slot& slot = g_slots[m_slot];
    m_slot = -1;
    const SignalsHeld held;
    int expected = kHeld;
    if (!slot.state.compare_exchange_strong(expected, kBusy)) {
        return true; // the handler has it
    }
    const bool removed = removePath(slot.path, slot.kind);
    const int saved = errno;
    slot.state.store(kFree);
    errno = saved;
    return removed;
}

void TemporaryPath::keep()
{
    if (m_slot >= 0) {
        // When the handler has it already, the handler frees it.
        int expected = kHeld;
        g_slots[m_slot].state.compare_exchange_strong(expected, kFree);
        m_slot = -1;
    }
}

} // namespace ktPlatform

#include "ktPlatform/interruptCleanup.h"

#include "posixFiles.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <string>
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

enum SlotState : int { kFree, kBusy, kHeld };

// Only fixed storage and atomics, so the signal handler may read it at any moment.
struct Slot {
    std::atomic<int> state{kFree};
    TemporaryPath::Kind kind = TemporaryPath::Kind::file;
    char path[kPathRoom] = {};
};

Slot g_slots[kSlots];

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

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

void onInterrupt(int signal)
{
    const int saved = errno;
    // The thread may be acting as another account, which could not remove these paths.
    ::setfsuid(::geteuid());
    ::setfsgid(::getegid());
    for (Slot& slot : g_slots) {
        int expected = kHeld;
        if (slot.state.compare_exchange_strong(expected, kBusy)) {
            removePath(slot.path, slot.kind);
            slot.state.store(kFree);
        }
    }
    errno = saved;
    // The disposition is back to the default (SA_RESETHAND), and the signal is blocked
    // until this returns: then it ends the process as it would have without the handler.
    ::raise(signal);
}

std::atomic<NameSuffixSource> g_suffixSource{nullptr};

// Six characters of a name that no one can guess.
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
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    // One clean-up at a time, even when a second signal of the set follows.
    for (int signal : kSignals) {
        sigaddset(&action.sa_mask, signal);
    }
    for (int signal : kSignals) {
        ::sigaction(signal, &action, nullptr);
    }
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
        g_slots[m_slot].state.store(kFree);
        m_slot = -1;
    }
}

} // namespace ktPlatform

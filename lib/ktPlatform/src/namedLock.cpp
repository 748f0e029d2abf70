#include "ktPlatform/namedLock.h"

#include "identity.h"
#include "sharedEntry.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ktPlatform {

// The in-process part is a flag under a mutex rather than a timed mutex: a timed lock
// on the steady clock is invisible to ThreadSanitizer, which then reports every unlock.
struct NamedLock::Impl {
    std::mutex mutex;
    std::condition_variable released;
    bool held = false;
    int fd = -1;

    bool lockThreads(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!released.wait_until(lock, deadline, [this] { return !held; })) {
            return false;
        }
        held = true;
        return true;
    }
    void unlockThreads()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            held = false;
        }
        released.notify_one();
    }
};

NamedLock::NamedLock() : m_impl(new Impl) {}

NamedLock::~NamedLock()
{
    if (m_impl->fd >= 0) {
        ::close(m_impl->fd);
    }
}

bool NamedLock::open(const std::string& folder, const std::string& name, bool shared)
{
    if (m_impl->fd >= 0) {
        return true;
    }
    const std::string path = folder + "/" + name + ".lock";
    // A shared lock any account may take, as a named mutex with a null DACL allows; a
    // private one no other account may open. Either is a regular file with one link, so its
    // mode change reaches no other file. A private lock lives in its writers' own folder,
    // where no other account puts anything: whatever else is there is refused, not moved.
    const int fd = openSharedEntry(path, O_RDWR, true, shared ? 0666 : 0600, shared);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (!shared && (::fstat(fd, &st) != 0 || st.st_uid != currentFsUid())) {
        ::close(fd);
        errno = EACCES;
        return false;
    }
    m_impl->fd = fd;
    return true;
}

bool NamedLock::isOpen() const
{
    return m_impl->fd >= 0;
}

bool NamedLock::lock(std::chrono::milliseconds timeout)
{
    if (m_impl->fd < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!m_impl->lockThreads(deadline)) {
        return false;
    }
    // flock has no time-out: poll it, backing off up to 1 ms. A longer pause lets the
    // processes that poll more often take every turn, and a busy writer then waits for
    // hundreds of others' turns.
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        if (::flock(m_impl->fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
    m_impl->unlockThreads();
    return false;
}

bool NamedLock::lockThreadsOnly(std::chrono::milliseconds timeout)
{
    return m_impl->lockThreads(std::chrono::steady_clock::now() + timeout);
}

void NamedLock::unlock()
{
    // Releasing a file lock that is not held changes nothing.
    if (m_impl->fd >= 0) {
        ::flock(m_impl->fd, LOCK_UN);
    }
    m_impl->unlockThreads();
}

} // namespace ktPlatform

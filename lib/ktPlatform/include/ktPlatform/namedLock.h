#pragma once
// Stands for a named mutex in the global namespace ("Global\name"): an flock on the
// file "<folder>/<name>.lock" shared by every process, plus an in-process mutex so
// threads of one process exclude each other too. The kernel frees the lock of a
// process that died, as Windows abandons the mutex.

#include <chrono>
#include <memory>
#include <string>

namespace ktPlatform {

class NamedLock {
public:
    NamedLock();
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Opens (creating if needed) the lock file in folder; false when it cannot. A shared
    // lock is open to every account (mode 0666), as a named mutex with a null DACL is; a
    // private one only to the account the calling thread acts as (mode 0600; a file that
    // another account owns is refused). The file is used only when it is a regular file with
    // one link (the rule of ktPlatform/sharedFiles.h for a shared lock: root replaces
    // anything else, another account refuses it; a private lock refuses anything else).
    bool open(const std::string& folder, const std::string& name, bool shared = true);
    bool isOpen() const;

    // Waits at most timeout for both locks; true when owned. Safe from any thread.
    bool lock(std::chrono::milliseconds timeout);
    // Waits at most timeout for the in-process lock alone, so threads of this process still
    // exclude each other when the cross-process lock is not used; true when owned. Works
    // also when no file is open.
    bool lockThreadsOnly(std::chrono::milliseconds timeout);
    // Releases what lock() or lockThreadsOnly() took; call only after one succeeded on
    // this thread.
    void unlock();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace ktPlatform

#pragma once
// Stands for the console control handler of a run that leaves temporary files behind.
// While a TemporaryPath holds a path, SIGINT, SIGTERM, SIGHUP and SIGQUIT remove it (a folder
// with what it holds, two levels of subfolders deep) before the process ends as the first
// signal would have ended it; signals that follow, on any thread, wait for that clean-up.
// The removal is the same one that TemporaryPath runs when it ends normally, so a run has
// one clean-up path for its end, its failures and its interruption.

#include <string>

namespace ktPlatform {

// Installs the handlers of SIGINT, SIGTERM, SIGHUP and SIGQUIT for the whole process; once,
// from main before any other thread starts; a signal the process started with ignored stays
// ignored. Without it a TemporaryPath still removes its path when it ends.
void installInterruptCleanup();

// One temporary file or folder of this process. Belongs to one thread; not copyable. Its
// calls keep the handled signals blocked in the calling thread while they run.
class TemporaryPath {
public:
    enum class Kind { file, folder };

    TemporaryPath() = default;
    // Removes what it still holds.
    ~TemporaryPath();
    TemporaryPath(const TemporaryPath&) = delete;
    TemporaryPath& operator=(const TemporaryPath&) = delete;

    // Holds path (absolute) from now on; what it held before is removed first. False with
    // errno set (ENOSPC: too many held at once, ENAMETOOLONG) when it cannot be held.
    bool hold(const std::string& path, Kind kind);
    // Creates and holds a new file of mode 0600 beside path, named "." + path's last element
    // + "." + six random characters, with O_EXCL (never a file or link that was there). It
    // is held before it exists, so no signal can come between its making and its holding.
    // Fills created and its open descriptor (close-on-exec); false with errno set.
    bool createFileBeside(const std::string& path, std::string& created, int& fd);
    // The same for a new folder of mode 0700 in parent, named prefix + six random characters.
    bool createFolderIn(const std::string& parent, const std::string& prefix, std::string& created);

    // Removes the path now and stops holding it; true when nothing is left (or nothing was
    // held). False with errno set when something could not be removed.
    bool remove();
    // Stops holding the path and leaves it where it is (it was put into place).
    void keep();

    bool holding() const { return m_slot >= 0; }

private:
    int m_slot = -1;
};

// True when a TemporaryPath of this process holds path now, spelt as it was held: a file
// of this run that is not finished, which no walk of this run should take in.
bool isHeldPath(const std::string& path);

// Where createFileBeside and createFolderIn take their six characters from: random, unless
// a test gives a source of its own so that it can plant a file at a name to come (null:
// random again). Set it only while no other thread makes such a name.
using NameSuffixSource = std::string (*)();
void setNameSuffixSource(NameSuffixSource source);

} // namespace ktPlatform

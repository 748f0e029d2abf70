#pragma once
// A run of the PAC program and what its output says, shared by the local and the downloaded
// PAC paths. Internal.

#include "ktPlatform/interruptCleanup.h"

#include <string>
#include <vector>

// The addresses of the leading "PROXY " entries of a PAC result ("PROXY a:8080; PROXY b;
// DIRECT" gives a:8080 and b), each trimmed of blanks, tabs, CR and LF; reading stops at
// the first entry that is not a "PROXY " entry. No port is added.
std::vector<std::string> pacResultProxies(const std::string& text);

// The program text and arguments of one PAC program run, as one command line that the
// process runner splits back into exactly these arguments.
std::string pacProgramCommand(const std::string& program, const std::string& url,
                              const std::string& pacFile);

// Reads the program's output file whole, without following a link and only when it is a
// regular file of at most 1 MiB. False, logged, otherwise.
bool readPacOutput(const std::string& path, std::string& text);

// A private folder (0700, in the temporary root, or in /tmp when the account cannot create
// there) of one PAC program run, for a downloaded script and the program's answer. It is
// made as the account the calling thread acts as, which the program runs as too, so no
// other account can block, read or feed it. Removed with its files when it goes, and on an
// interrupting signal.
class PacScratchFolder {
public:
    PacScratchFolder();
    PacScratchFolder(const PacScratchFolder&) = delete;
    PacScratchFolder& operator=(const PacScratchFolder&) = delete;
    // False, with errno set, when the folder could not be made.
    bool ok() const { return m_ok; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    bool make();

    ktPlatform::TemporaryPath m_held;
    std::string m_path;
    bool m_ok;
};

// Runs the PAC program's command line, its standard output and error going to a file of
// scratch, and reads its answer back. False, logged, when it did not run or ended with a
// code other than 0 ("<command line> failed with error <0 or 1>") or its answer cannot be read.
bool runPacProgram(const std::string& commandLine, const PacScratchFolder& scratch,
                   std::string& answer);

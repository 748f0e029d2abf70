#pragma once
// Stand-ins for the system programs that the diagnostics collection runs (ip, cat, ss,
// uname, dpkg-query): one small shell script per program in a folder of its own, named by
// KTDIAG_SYSTEM_PROGRAMS_DIR for the life of the object. Each answers at once: it prints
// "<program> <arguments>" on one line (nothing when quiet) and appends the same line to a
// record of runs.

#include "ktTest/tempTree.h"

#include <map>
#include <string>
#include <vector>

namespace ktTest {

// The collection's three command outputs, in the order they are made, each with what it
// holds when these programs print: one line per command run into it.
struct CommandOutputText {
    const char* name;
    const char* text;
};
extern const CommandOutputText kCommandOutputs[3];

class FakePrograms {
public:
    explicit FakePrograms(bool quiet = false);
    FakePrograms(const FakePrograms&) = delete;
    FakePrograms& operator=(const FakePrograms&) = delete;

    const std::string& folder() const { return m_folder; }
    // Takes one program away, so that it is missing.
    void remove(const std::string& program);
    // Every run so far, in order, as "<program> <arguments>".
    std::vector<std::string> runs() const;
    // The variable a child process needs to use these programs.
    std::map<std::string, std::string> environment() const;

private:
    TempDir m_dir;
    std::string m_folder;
    std::string m_record;
    ScopedEnv m_env;
};

} // namespace ktTest

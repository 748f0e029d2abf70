#include "ktTest/fakePrograms.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace ktTest {

FakePrograms::FakePrograms(bool quiet)
    : m_folder(m_dir.path() + "/bin"), m_record(m_dir.path() + "/runs.txt"),
      m_env("KTDIAG_SYSTEM_PROGRAMS_DIR", m_folder)
{
    fs::create_directories(m_folder);
    writeAll(m_record, "");
    for (const char* program : {"ip", "cat", "ss", "uname", "dpkg-query"}) {
        const std::string line = std::string("\"") + program + " $*\"";
        const std::string path = m_folder + "/" + program;
        writeAll(path, "#!/bin/sh\n" + std::string(quiet ? "" : "printf '%s\\n' " + line + "\n") +
                           "printf '%s\\n' " + line + " >> '" + m_record + "'\n");
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
}

void FakePrograms::remove(const std::string& program)
{
    fs::remove(m_folder + "/" + program);
}

std::vector<std::string> FakePrograms::runs() const
{
    std::vector<std::string> lines;
    std::istringstream in(readAll(m_record));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::map<std::string, std::string> FakePrograms::environment() const
{
    return {{"KTDIAG_SYSTEM_PROGRAMS_DIR", m_folder}};
}

const CommandOutputText kCommandOutputs[3] = {
    {"network-state.log", "ip addr\ncat /etc/resolv.conf\nip route\ncat /proc/modules\nss -n -t\n"},
    {"appInfo.log", "dpkg-query -W -f=${Package}\\t${Version}\\t${Maintainer}\\n\n"},
    {"SystemInfo.log", "uname -a\ncat /etc/os-release\ncat /proc/meminfo\n"},
};

} // namespace ktTest

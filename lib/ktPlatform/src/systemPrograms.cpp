#include "ktPlatform/systemPrograms.h"

#include "ktPlatform/folders.h"
#include "ktPlatform/paths.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

struct Step {
    const char* program;
    const char* arguments; // already in command-line form
};

std::vector<Step> stepsOf(SystemCommand command)
{
    switch (command) {
    case SystemCommand::ipconfig:
        return {{"ip", "addr"}, {"cat", "/etc/resolv.conf"}};
    case SystemCommand::route:
        return {{"ip", "route"}};
    case SystemCommand::driverquery:
        return {{"cat", "/proc/modules"}};
    case SystemCommand::netstat:
        return {{"ss", "-n -t"}};
    case SystemCommand::systeminfo:
        return {{"uname", "-a"}, {"cat", "/etc/os-release"}, {"cat", "/proc/meminfo"}};
    case SystemCommand::installedPrograms:
        // dpkg-query expands \t and \n itself; no shell sees the ${...} fields.
        return {{"dpkg-query", "-W -f=${Package}\\t${Version}\\t${Maintainer}\\n"}};
    }
    return {};
}

bool isExecutableFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string programPath(const char* program, const std::vector<std::string>& folders)
{
    for (const std::string& folder : folders) {
        const std::string path = joinPath(folder, program);
        if (isExecutableFile(path)) {
            return path;
        }
    }
    return folders.empty() ? std::string(program) : joinPath(folders.front(), program);
}

// The program part of a command line: its quotes only group, so a blank needs them.
std::string programPart(const std::string& path)
{
    if (path.find_first_of(" \t") == std::string::npos) {
        return path;
    }
    return "\"" + path + "\"";
}

} // namespace

bool systemProgramFolders(std::vector<std::string>& folders)
{
    const std::optional<std::string> forced = getEnv("KTDIAG_SYSTEM_PROGRAMS_DIR");
    if (forced) {
        if (forced->empty()) {
            errno = ENOENT;
            return false;
        }
        folders = {*forced};
        return true;
    }
    folders = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
    return true;
}

std::vector<std::string> systemCommandLines(SystemCommand command,
                                            const std::vector<std::string>& folders)
{
    std::vector<std::string> lines;
    for (const Step& step : stepsOf(command)) {
        lines.push_back(programPart(programPath(step.program, folders)) + " " + step.arguments);
    }
    return lines;
}

} // namespace ktPlatform

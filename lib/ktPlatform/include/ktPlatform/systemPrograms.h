#pragma once
// The system programs that the diagnostics collection runs: one table from each Windows
// command to the Linux command lines that give the same facts.

#include <string>
#include <vector>

namespace ktPlatform {

// The Windows commands, as the collection runs them from the system folder.
enum class SystemCommand {
    ipconfig,          // ipconfig.exe /all
    route,             // route.exe print
    driverquery,       // driverquery.exe
    netstat,           // netstat.exe -n
    systeminfo,        // systeminfo.exe
    installedPrograms, // PowerShell's listing of the installed programs
};

// Stands for SHGetFolderPath(CSIDL_SYSTEM): the folders searched for system programs, in
// order. KTDIAG_SYSTEM_PROGRAMS_DIR when set (tests put stand-in programs there), else
// /usr/sbin, /usr/bin, /sbin and /bin; never the caller's PATH, as Windows runs these from
// system32 alone. False (errno ENOENT) when the variable is set but empty.
bool systemProgramFolders(std::vector<std::string>& folders);

// Stands for the command line of a Windows system command: the Linux command lines to run
// one after another into one output file, in this table's order:
//   ipconfig           ip addr; cat /etc/resolv.conf
//   route              ip route
//   driverquery        cat /proc/modules
//   netstat            ss -n -t
//   systeminfo         uname -a; cat /etc/os-release; cat /proc/meminfo
//   installedPrograms  dpkg-query -W with package, version and maintainer
// Each program is named by its path in the first of folders that holds it, or in the first
// folder when none does, so that a missing program fails to start like a missing .exe. A
// path with a blank is put in double quotes (a folder holding a double quote cannot be
// named). The lines follow the command-line rules of process.h.
std::vector<std::string> systemCommandLines(SystemCommand command,
                                            const std::vector<std::string>& folders);

} // namespace ktPlatform

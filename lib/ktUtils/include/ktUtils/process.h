#pragma once
// Runs a system program with its standard output and standard error in a file and waits
// for it to end. The command line is split into arguments the way a Windows program
// splits its own and the program is started directly, never through a shell. Every
// failure is a false result and an error line in the log. Safe from any thread; the caller
// is blocked until the child has ended or been killed.

#include <chrono>
#include <cstdint>
#include <string>

// Longest a child may run; then it and its process group are killed and the run fails.
constexpr std::chrono::milliseconds kCommandTimeout{30000};

// Fills commandLine with command, with the program part (up to and including the first
// ".exe", case-sensitive) put in double quotes when it holds a blank and no quote.
void buildCommandLine(const std::string& command, std::string& commandLine);
void buildCommandLine(const std::wstring& command, std::wstring& commandLine);

// Runs command with its output in outputFile (none when empty), replacing the file
// unless append is true. True when the program started and ended within timeout,
// whatever its exit code.
bool ExecCommand(const std::string& command, const std::string& outputFile, bool append,
                 std::chrono::milliseconds timeout = kCommandTimeout);
// The same with the output appended to outputFd, a file the caller made and keeps open,
// so that several commands fill one file that is never opened again by name.
bool ExecCommand(const std::string& command, int outputFd,
                 std::chrono::milliseconds timeout = kCommandTimeout);
// The same with wide strings; the output file is always replaced.
bool ExecCommand(const std::wstring& command, const std::wstring& outputFile,
                 std::chrono::milliseconds timeout = kCommandTimeout);

// Runs command with its output in outputFile (created anew; none when empty). True when
// the program started and ended within timeout; its exit code is then in *exitCode
// (128 + the signal number when a signal ended it). A null command or exitCode is
// refused.
bool ExecCommandWithExitCode(const char* command, std::uint32_t* exitCode, std::string outputFile,
                             std::chrono::milliseconds timeout = kCommandTimeout);

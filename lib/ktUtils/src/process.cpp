#include "ktUtils/process.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/process.h"
#include "ktPlatform/strings.h"

static const char* const kLogModule = "ktUtils";

namespace {

template <typename String>
void quoteProgram(const String& command, String& commandLine, const String& exe,
                  typename String::value_type blank, typename String::value_type quote)
{
    commandLine = command;
    const typename String::size_type at = command.find(exe);
    if (at == String::npos) {
        return;
    }
    const String program = command.substr(0, at + exe.size());
    // Without the quotes a blank in the folder would end the program name.
    if (program.find(blank) != String::npos && program.find(quote) == String::npos) {
        commandLine =
            String(1, quote) + program + String(1, quote) + command.substr(program.size());
    }
}

// Logs how a run went, naming the command as shown. True when the child ran and ended.
bool reportRun(const ktPlatform::RunResult& result, const std::string& shown,
               std::chrono::milliseconds timeout)
{
    switch (result.status) {
    case ktPlatform::RunStatus::ended:
        return true;
    case ktPlatform::RunStatus::outputFailed:
        KTLOG(KT_LOG_ERROR, "ExecCommand: failed to create output file error: %d", result.error);
        return false;
    case ktPlatform::RunStatus::startFailed:
        KTLOG(KT_LOG_ERROR, "CreateProcess() failed with error %d running %s", result.error,
              shown.c_str());
        return false;
    case ktPlatform::RunStatus::timedOut:
        KTLOG(KT_LOG_ERROR, "ExecCommand: timed out after %lld ms running %s",
              static_cast<long long>(timeout.count()), shown.c_str());
        return false;
    }
    return false;
}

// Runs the command line into outputFile and logs how it went.
bool runLogged(const std::string& commandLine, const std::string& shown,
               const std::string& outputFile, ktPlatform::OutputMode mode,
               std::chrono::milliseconds timeout, ktPlatform::RunResult& result)
{
    result = ktPlatform::runProcess(ktPlatform::splitCommandLine(commandLine), outputFile, mode,
                                    timeout);
    return reportRun(result, shown, timeout);
}

} // namespace

void buildCommandLine(const std::string& command, std::string& commandLine)
{
    quoteProgram<std::string>(command, commandLine, ".exe", ' ', '"');
}

void buildCommandLine(const std::wstring& command, std::wstring& commandLine)
{
    quoteProgram<std::wstring>(command, commandLine, L".exe", L' ', L'"');
}

bool ExecCommand(const std::string& command, const std::string& outputFile, bool append,
                 std::chrono::milliseconds timeout)
{
    std::string commandLine;
    buildCommandLine(command, commandLine);
    ktPlatform::RunResult result;
    if (!runLogged(commandLine, command, outputFile,
                   append ? ktPlatform::OutputMode::append : ktPlatform::OutputMode::replace,
                   timeout, result)) {
        return false;
    }
    KTLOG(KT_LOG_INFO, "Successfully executed command: %s", command.c_str());
    return true;
}

bool ExecCommand(const std::string& command, int outputFd, std::chrono::milliseconds timeout)
{
    std::string commandLine;
    buildCommandLine(command, commandLine);
    const ktPlatform::RunResult result =
        ktPlatform::runProcess(ktPlatform::splitCommandLine(commandLine), outputFd, timeout);
    if (!reportRun(result, command, timeout)) {
        return false;
    }
    KTLOG(KT_LOG_INFO, "Successfully executed command: %s", command.c_str());
    return true;
}

bool ExecCommand(const std::wstring& command, const std::wstring& outputFile,
                 std::chrono::milliseconds timeout)
{
    std::wstring commandLine;
    buildCommandLine(command, commandLine);
    // Narrow strings are UTF-8, so "%s" of the narrowed command is what "%ls" would give.
    const std::string shown = ktPlatform::toNarrow(command);
    ktPlatform::RunResult result;
    if (!runLogged(ktPlatform::toNarrow(commandLine), shown, ktPlatform::toNarrow(outputFile),
                   ktPlatform::OutputMode::replace, timeout, result)) {
        return false;
    }
    KTLOG(KT_LOG_INFO, "Successfully executed command: %s", shown.c_str());
    return true;
}

bool ExecCommandWithExitCode(const char* command, std::uint32_t* exitCode, std::string outputFile,
                             std::chrono::milliseconds timeout)
{
    if (command == nullptr || exitCode == nullptr) {
        KTLOG(KT_LOG_ERROR, "ExecCommand: invalid args");
        return false;
    }
    std::string commandLine;
    buildCommandLine(command, commandLine);
    ktPlatform::RunResult result;
    if (!runLogged(commandLine, commandLine, outputFile, ktPlatform::OutputMode::replace, timeout,
                   result)) {
        return false;
    }
    *exitCode = static_cast<std::uint32_t>(result.exitCode);
    return true;
}

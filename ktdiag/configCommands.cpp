// -u, -l and -m: configuration update, the service's log level and its log-file size.

#include "configCommands.h"

#include "CKTDiag.h"
#include "usage.h"

#include "ktConfig/ConfigSync.h"
#include "ktLog/ktLog.h"
#include "ktmsg2/KTMsgIds.h"

#include <cstdio>
#include <stdexcept>
#include <string>

static const char* const kLogModule = "CKTDiag";

namespace {

const char* const kClientName = "ktDiag";
const char* const kUiClientName = "ktClientUI";

} // namespace

void CKTDiag::updateConfig()
{
    Outcome checked =
        request([](CConfigSync& sync) { return sync.checkForConfigUpdate(kClientName); },
                CONFIG_UPDATE_AVAILABLE, m_timeouts.configCheckMs, Readiness::reported);
    // Each answer's own status says whether its step worked.
    if (checked == Outcome::granted && !readField(m_updateStatus)) {
        checked = Outcome::refused;
    }
    if (!succeeded(checked, {{},
                             {"Failed to check for configuration updates.\n",
                              "Failed to inform to service to check for updates."},
                             {"Failed to check for configuration updates.\n",
                              "Failed to check for configuration updates."}})) {
        return;
    }
    if (!readField(m_updateAvailable)) {
        std::printf("Already up to date.\n");
        KTLOG(KT_LOG_DEBUG, "Configuration is up to date.");
        return;
    }
    std::printf("Configuration update is available.\nSynchronizing configuration...\n");
    std::fflush(stdout);
    clearField(m_updateStatus);
    Outcome synchronized =
        request([](CConfigSync& sync) { return sync.synchronizeConfig(kClientName); },
                UPDATE_CONFIG_DONE, m_timeouts.configDownloadMs, Readiness::none);
    if (synchronized == Outcome::granted && !readField(m_updateStatus)) {
        synchronized = Outcome::refused;
    }
    if (succeeded(synchronized, {{},
                                 {"Failed to download configuration updates.\n",
                                  "Failed to inform to service to download updates."},
                                 {"Failed to download configuration updates.\n",
                                  "Failed to download configuration updates."}})) {
        std::printf("Configuration synchronization successful.\n");
    }
}

void CKTDiag::setLogLevel(KtLogLevel level)
{
    // Whether the request went is not reported.
    succeeded(request([level](CConfigSync& sync) { return sync.setLogLevel(kUiClientName, level); },
                      kNoReply, 0, Readiness::reported),
              {{"Failed to set log level, KTCom is not ready\n",
                "Failed to set log level, KTCom is not ready"}});
}

void CKTDiag::setLogFileSize(int size)
{
    if (succeeded(
            request([size](CConfigSync& sync) { return sync.setLogSize(kUiClientName, size); },
                    kNoReply, 0, Readiness::reported),
            {{"Failed to set log size, KTCom is not ready\n",
              "Failed to set log size, KTCom is not ready"},
             {"Failed to set logfile size\n"}})) {
        std::printf("Successfully set logfile size to %d mb\n", size);
    }
}

int setLogLevelCmd(int argc, char** argv)
{
    if (argc != 3) {
        printUsage();
        return 1;
    }
    const std::string word = argv[2];
    if (word != "debug" && word != "info" && word != "warning" && word != "error" &&
        word != "critical") {
        std::printf("Invalid argument: %s, %s\n\n", argv[2], "Unsupported log level");
        printUsage();
        return 1;
    }
    const auto level = static_cast<KtLogLevel>(ktLogLevelFromString(word));
    CKTDiag diag;
    diag.start();
    diag.setLogLevel(level);
    return 0;
}

int setLogFileSizeCmd(int argc, char** argv)
{
    if (argc != 3) {
        printUsage();
        return 1;
    }
    int size = 0;
    try {
        size = std::stoi(argv[2]);
    } catch (const std::exception&) {
        std::printf("Invalid arguments \n");
        printUsage();
        return 1;
    }
    if (size < 1 || size > 1024) {
        std::printf("file size out of range \n");
        printUsage();
        return 1;
    }
    CKTDiag diag;
    diag.start();
    diag.setLogFileSize(size);
    return 0;
}

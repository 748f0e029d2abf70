// -u, -l and -m: configuration update, the service's log level and its log-file size.

#include "configCommands.h"

#include "CKTDiag.h"
#include "usage.h"

#include "ktConfig/ConfigSync.h"
#include "ktLog/ktLog.h"
#include "ktmsg2/KTMsgIds.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

static const char* const kLogModule = "CKTDiag";

namespace {

const char* const kUiClientName = "ktClientUI";

} // namespace

void CKTDiag::updateConfig()
{
    if (!waitForService()) {
        return;
    }
    auto sync = std::make_unique<CConfigSync>(&m_ktcom);
    expectReply(CONFIG_UPDATE_AVAILABLE);
    if (!sync->checkForConfigUpdate("ktDiag")) {
        std::printf("Failed to check for configuration updates.\n");
        KTLOG(KT_LOG_ERROR, "Failed to inform to service to check for updates.");
        return;
    }
    waitForReply(m_timeouts.configCheckMs);
    if (!readField(m_updateStatus)) {
        std::printf("Failed to check for configuration updates.\n");
        KTLOG(KT_LOG_ERROR, "Failed to check for configuration updates.");
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
    expectReply(UPDATE_CONFIG_DONE);
    if (!sync->synchronizeConfig("ktDiag")) {
        std::printf("Failed to download configuration updates.\n");
        KTLOG(KT_LOG_ERROR, "Failed to inform to service to download updates.");
        return;
    }
    waitForReply(m_timeouts.configDownloadMs);
    if (!readField(m_updateStatus)) {
        std::printf("Failed to download configuration updates.\n");
        KTLOG(KT_LOG_ERROR, "Failed to download configuration updates.");
        return;
    }
    std::printf("Configuration synchronization successful.\n");
}

void CKTDiag::setLogFileSize(int size)
{
    if (!waitForService()) {
        std::printf("Failed to set log size, KTCom is not ready\n");
        KTLOG(KT_LOG_ERROR, "Failed to set log size, KTCom is not ready");
        return;
    }
    auto sync = std::make_shared<CConfigSync>(&m_ktcom);
    if (sync->setLogSize(kUiClientName, size)) {
        std::printf("Successfully set logfile size to %d mb\n", size);
    } else {
        std::printf("Failed to set logfile size\n");
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
    if (!diag.waitForService()) {
        std::printf("Failed to set log level, KTCom is not ready\n");
        KTLOG(KT_LOG_ERROR, "Failed to set log level, KTCom is not ready");
        return 0;
    }
    auto sync = std::make_shared<CConfigSync>(&diag.ktcom());
    sync->setLogLevel(kUiClientName, level);
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

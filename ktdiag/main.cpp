// ktdiag: one command per run against the client service, the diagnostics archive or
// the network.

#include "CKTDiag.h"
#include "captureCommands.h"
#include "configCommands.h"
#include "product.h"
#include "saveDiagnostics.h"
#include "speedCommands.h"
#include "usage.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/interruptCleanup.h"
#include "ktPlatform/memory.h"
#include "ktPlatform/strings.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

int invalidArgument(const char* argument, int exitCode)
{
    std::printf("Invalid argument: %s, %s\n\n", argument, " ");
    printUsage();
    return exitCode;
}

int missingArchiveName()
{
    std::printf("Missing output zip file name with option: -o\n\n");
    printUsage();
    return 1;
}

int dispatch(int argc, char** argv, CKTDiag& diag)
{
    const char* option = argv[1];
    if (std::strlen(option) != 2 || option[0] != '-') {
        return invalidArgument(option, 1);
    }

    switch (option[1]) {
    case 'c':
    case 'p':
        if (argc < 3) {
            return invalidArgument(option, 1);
        }
        handlePacketCapture(argc, argv, option[1] == 'p');
        return 0;
    case 'd':
        if (argc < 3) {
            return invalidArgument(option, 1);
        }
        handleDriverLogCapture(argc, argv);
        return 0;
    case 'f':
        diag.start();
        diag.getClientStatus();
        return 0;
    case 'g':
        if (argc != 5) {
            return invalidArgument(option, 1);
        }
        runSpeedTest(argv);
        return 0;
    case 'h':
        std::printf("%s\n", kTitle);
        printUsage();
        return 0;
    case 'l':
        return setLogLevelCmd(argc, argv);
    case 'm':
        return setLogFileSizeCmd(argc, argv);
    case 'n':
        diag.start();
        diag.getQpaStatus();
        return 0;
    case 'o':
    case 'w': {
        if (argc < 3) {
            return missingArchiveName();
        }
        std::string archiveName = argv[2];
        return saveDiagnostics(archiveName, option[1] == 'w');
    }
    case 'r':
        runLatencyTest(argc, argv);
        return 0;
    case 't': {
        if (argc != 3) {
            return invalidArgument(option, 1);
        }
        diag.start();
        const std::string word = argv[2];
        if (word == "enable" || word == "disable") {
            diag.enableClient(word == "enable");
            return 0;
        }
        return invalidArgument(argv[2], 1);
    }
    case 'u': {
        CKTDiag updater;
        updater.start();
        updater.updateConfig();
        return 0;
    }
    case 'v':
        std::printf("%s version %s\n\n%s\n", kTitle, kProductVersion, kCopyright);
        return 0;
    default:
        return invalidArgument(option, 0);
    }
}

} // namespace

// A failure nothing else caught ends the run with one line and a non-zero code rather than
// an abort.
int main(int argc, char** argv, char** /*envp*/)
try {
    ktPlatform::initProcessLocale();
    ktPlatform::initProcessHeap();
    // Before any thread starts: an interrupted collection removes its temporary files.
    ktPlatform::installInterruptCleanup();
    ktLogInit();
    g_programName = "ktdiag";
    g_logLevel = KT_LOG_INFO;

    if (argc < 2) {
        std::printf("%s\n", kTitle);
        printUsage();
        return 1;
    }

    CKTDiag diag;
    return dispatch(argc, argv, diag);
} catch (const std::bad_alloc&) {
    std::fprintf(stderr, "ktdiag: out of memory\n");
    return 2;
} catch (...) {
    std::fprintf(stderr, "ktdiag: unexpected error\n");
    return 2;
}

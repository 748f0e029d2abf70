// Helper process for the log tests.
//   logWriter preinit          logs before ktLogInit, then starts the log and exits
//   logWriter lines N TAG [MS [LEN]]
//                              starts the log and writes N lines tagged TAG, each with LEN
//                              (600 by default) copies of TAG; with MS, the budget for its
//                              waits on the lock

#include "ktLog/ktLog.h"
#include "ktLog/ktLogInternal.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

static const char* const kLogModule = "logWriter";

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "preinit") == 0) {
        g_logLevel = KT_LOG_DEBUG;
        KTLOG(KT_LOG_CRITICAL, "written before the log started");
        ktLogInit();
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "lines") == 0) {
        if (!ktLogInit()) {
            return 3;
        }
        g_programName = "logWriter";
        g_logLevel = KT_LOG_INFO;
        if (argc >= 5) {
            ktLogSetLockTimeout(std::chrono::milliseconds(std::atoi(argv[4])));
        }
        const int count = std::atoi(argv[2]);
        // A long message makes interleaving inside a line visible.
        const std::string filler(argc >= 6 ? std::atoi(argv[5]) : 600, argv[3][0]);
        for (int i = 0; i < count; ++i) {
            KTLOG(KT_LOG_INFO, "%s %d %s end", argv[3], i, filler.c_str());
        }
        return 0;
    }
    return 2;
}

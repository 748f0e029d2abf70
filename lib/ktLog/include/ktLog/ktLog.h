#pragma once
// The one logging facility: single lines appended to the shared file
// <public folder>/ktdebuglog.log, serialised across processes by a named lock and
// rotated to ktdebuglog_old.log at 10 MiB.
//
// What a line of the file holds, its fields separated by single blanks, in this order:
//   1. the local time, "YYYY/MM/DD hh:mm:ss.mmm" (ktLogTimestamp);
//   2. the program name, g_programName;
//   3. "p" and the process id, then "t" and the thread id, in lower-case hex;
//   4. the level's name: "critical", "error", "warn", "info", "debug", "unknown" for any
//      level outside 1 to 5;
//   5. the base name of the source path (after its last backslash, else its last slash),
//      ":" and the line number;
//   6. the module;
//   7. the message: the printf format with its arguments, cut at 4095 bytes, then escaped
//      as escapeControlChars (ktLog/peerText.h) escapes it: line ends, tabs and the other C0
//      and C1 controls become \n, \r, \t, \xNN and \u00NN, and a message with escapes
//      is cut so that it still fits in 4095 bytes, never inside an escape. A backslash is
//      kept as it is, so text a caller already escaped with that helper reads the same, not
//      escaped twice; a "\n" in a line is therefore either an escaped line end or a
//      backslash and an "n" of the message. An empty message leaves a trailing blank.
// The line ends with "\n"; every line is one line of the file. For example:
//   2024/03/07 09:05:01.042 ktdiag p1a2c t3f0 info ktdiag.cpp:350 CKTDiag connected
// A debugger line (ktDebugLog) holds the same fields, less the program name and with the
// level's number in place of its name, and has no line end. One function builds both
// (buildLine in src/ktLogInt.cpp), so a change to a field is made there once.
//
// Every statement goes through KTLOG (or KTLOG_M), which tests the level and the
// readiness before formatting anything. A source file names its module once:
//   static const char* const kLogModule = "ktUtils";

#include <atomic>
#include <cstdint>
#include <string>

// The log's files in the log folder, and the most either holds while the rotation keeps it:
// the log is rotated a few lines past 10 MiB, and the old log takes at most twice that (the
// newest part of a log grown further, from a line start).
constexpr const char* kLogFileName = "ktdebuglog.log";
constexpr const char* kOldLogFileName = "ktdebuglog_old.log";
constexpr std::uint64_t kLogFileBound = 2 * 10485760;

enum KtLogLevel : int {
    KT_LOG_CRITICAL = 1,
    KT_LOG_ERROR = 2,
    KT_LOG_WARNING = 3,
    KT_LOG_INFO = 4,
    KT_LOG_DEBUG = 5,
};

// Threshold: statements at or below it are written. Starts at 1.
extern std::atomic<int> g_logLevel;
// Set once by a successful ktLogInit, never cleared.
extern std::atomic<bool> g_logReady;
// Program name in each line: "unknown" until main sets it, before any other thread runs.
extern std::string g_programName;

// Finds the log folder, creates its last level, tests the file and opens the named lock.
// False (and not ready) when the folder cannot be had or made.
bool ktLogInit();

// Formats one line (above) and appends it to the log file. Does not test the level; never
// fails towards the caller. Safe from any thread once ready.
void ktLog(const char* module, const char* sourcePath, int line, int level, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// The facility's own start-up failures: one debugger line (above) to the debugger output,
// no file.
void ktDebugLog(const char* module, const char* sourcePath, int line, int level, const char* format,
                ...) __attribute__((format(printf, 5, 6)));

// "critical", "error", "warning", "info", "debug" (exact, with case) give 1 to 5; any
// other word gives 4.
int ktLogLevelFromString(const std::string& word);

// The log folder with a trailing separator; false when the public folder is unavailable.
bool ktGetLogFolder(std::string& folder);

// Local time as "YYYY/MM/DD hh:mm:ss.mmm"; always true.
bool ktLogTimestamp(std::string& stamp);

// A line attributed to another source position: a shared helper's line written for its caller.
#define KTLOG_AT(module, sourcePath, line, level, ...)                                             \
    do {                                                                                           \
        if (g_logLevel.load(std::memory_order_relaxed) >= (level) &&                               \
            g_logReady.load(std::memory_order_acquire)) {                                          \
            ktLog((module), (sourcePath), (line), (level), __VA_ARGS__);                           \
        }                                                                                          \
    } while (0)

#define KTLOG_M(module, level, ...) KTLOG_AT(module, __FILE__, __LINE__, level, __VA_ARGS__)

#define KTLOG(level, ...) KTLOG_M(kLogModule, level, __VA_ARGS__)

#include "ktLog/ktLog.h"
#include "ktLog/ktLogInternal.h"
#include "ktLog/peerText.h"

#include "ktPlatform/debugOutput.h"
#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"
#include "ktPlatform/namedLock.h"
#include "ktPlatform/sharedFiles.h"
#include "ktPlatform/system.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

std::atomic<int> g_logLevel{1};
std::atomic<bool> g_logReady{false};
std::string g_programName = "unknown";

namespace {

const char* const kLogModule = "ktLog";

// Optional fields of a line.
constexpr std::uint32_t kFieldProcessId = 0x01;
constexpr std::uint32_t kFieldThreadId = 0x02;
constexpr std::uint32_t kFieldTimestamp = 0x04;
constexpr std::uint32_t kFieldSource = 0x08;
constexpr std::uint32_t kFieldLevelNumber = 0x10;
constexpr std::uint32_t kFieldLevelName = 0x40;
// The log file's line.
constexpr std::uint32_t g_logFieldMask = 0x4F;
// The debugger line: every field but the level name, the level given as its number.
constexpr std::uint32_t kDebugLineMask =
    kFieldTimestamp | kFieldProcessId | kFieldThreadId | kFieldLevelNumber | kFieldSource;

constexpr std::uint64_t kRotateSize = 10485760; // 10 MiB
// The old log's bound leaves room for the longest lines many writers can add between two
// checks, and then some.
static_assert(kLogFileBound == 2 * kRotateSize, "the old log takes twice the rotation size");

const char* const g_logLevelNames[] = {"unknown", "critical", "error", "warn", "info", "debug"};

const std::string kWordCritical = "critical";
const std::string kWordError = "error";
const std::string kWordWarning = "warning";
const std::string kWordInfo = "info";
const std::string kWordDebug = "debug";

std::string g_logFilePath;
std::string g_oldLogFilePath;
ktPlatform::NamedLock g_logMutex;
// The process's budget for waiting on the cross-process lock, all waits together: any local
// account can hold that lock, or take it again each time it is let go, so once the budget is
// spent the process writes its further lines without it. Only what a wait takes beyond an
// ordinary holder's turn (one append, or one rotation) is charged, so writers that merely
// take turns spend nothing.
std::atomic<long long> g_lockTimeoutMs{5000};
std::atomic<long long> g_lockWaitedUs{0};
constexpr long long kHolderTurnUs = 100 * 1000;

// What the platform layer moved aside in the shared folder, for the log to say where it
// went. A move made while this thread writes a line (out of the way of the log's own files)
// is said once that line is written.
thread_local bool t_writingLine = false;
std::mutex g_movedAsideMutex;
std::vector<std::pair<std::string, std::string>> g_movedAside;

// Kept until the log is ready: the log's own files may be moved while it starts.
void sayMovedAside()
{
    std::vector<std::pair<std::string, std::string>> moved;
    {
        const std::lock_guard<std::mutex> lock(g_movedAsideMutex);
        if (!g_logReady.load(std::memory_order_acquire)) {
            return;
        }
        moved.swap(g_movedAside);
    }
    for (const auto& m : moved) {
        KTLOG(KT_LOG_WARNING, "Moved %s aside to %s", m.first.c_str(), m.second.c_str());
    }
}

void onMovedAside(const std::string& from, const std::string& to)
{
    {
        const std::lock_guard<std::mutex> lock(g_movedAsideMutex);
        g_movedAside.emplace_back(from, to);
    }
    if (!t_writingLine) {
        sayMovedAside();
    }
}

const char* levelName(int level)
{
    if (level < 0 || level > 5) {
        return "unknown";
    }
    return g_logLevelNames[level];
}

// Text after the last backslash, else after the last slash, else the whole path.
const char* baseName(const char* path)
{
    if (path == nullptr) {
        return "";
    }
    if (const char* b = std::strrchr(path, '\\')) {
        return b + 1;
    }
    if (const char* s = std::strrchr(path, '/')) {
        return s + 1;
    }
    return path;
}

std::string formatMessage(const char* format, va_list args)
{
    char buffer[kLogMessageLimit + 1] = {};
    if (format != nullptr) {
        std::vsnprintf(buffer, sizeof(buffer), format, args);
    }
    return std::string(buffer);
}

std::string hex(const char* prefix, std::uint32_t value)
{
    char buffer[16] = {};
    std::snprintf(buffer, sizeof(buffer), "%s%x", prefix, value);
    return buffer;
}

// The one builder of a line, for both writers: the fields the mask selects, in their fixed
// order, with the program name after the time stamp when one is given; then the module and
// the message, cut and escaped. No line end.
std::string buildLine(std::uint32_t mask, const char* programName, const char* module,
                      const char* sourcePath, int line, int level, const char* format, va_list args)
{
    std::string text;
    if (mask & kFieldTimestamp) {
        ktLogTimestamp(text);
    }
    if (programName != nullptr) {
        text += " ";
        text += programName;
    }
    if (mask & kFieldProcessId) {
        text += " " + hex("p", ktPlatform::currentProcessId());
    }
    if (mask & kFieldThreadId) {
        text += " " + hex("t", ktPlatform::currentThreadId());
    }
    if (mask & kFieldLevelNumber) {
        text += " " + std::to_string(level);
    }
    if (mask & kFieldLevelName) {
        text += " ";
        text += levelName(level);
    }
    if (mask & kFieldSource) {
        text += " ";
        text += baseName(sourcePath);
        text += ":" + std::to_string(line);
    }
    text += " ";
    text += module != nullptr ? module : "";
    // Escaped here, once for every line, so no caller's text can end a line early, forge
    // another or drive a terminal that shows the log.
    text += " " + escapeControlChars(formatMessage(format, args));
    return text;
}

// The old log receives the whole log: checked before each line, it is at most a few lines
// past the size. Only one grown far beyond (flooded, or made sparse by another account) is
// cut, to its newest kLogFileBound bytes from a line start. The log is emptied only once the
// copy is there, so a copy that fails loses no line.
void rotateIfFull()
{
    std::uint64_t size = 0;
    if (!ktPlatform::regularFileSize(g_logFilePath, size) || size < kRotateSize) {
        return;
    }
    if (ktPlatform::copySharedFileTail(g_logFilePath, g_oldLogFilePath, kLogFileBound)) {
        ktPlatform::emptySharedFile(g_logFilePath);
    }
}

} // namespace

void ktLogSetLockTimeout(std::chrono::milliseconds timeout)
{
    g_lockTimeoutMs = timeout.count();
    g_lockWaitedUs = 0;
}

bool ktLogTimestamp(std::string& stamp)
{
    const ktPlatform::LocalTime t = ktPlatform::localTime();
    char buffer[32] = {};
    std::snprintf(buffer, sizeof(buffer), "%04d/%02d/%02d %02d:%02d:%02d.%03d", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.milliseconds);
    stamp = buffer;
    return true;
}

bool ktGetLogFolder(std::string& folder)
{
    std::optional<std::string> publicFolder = ktPlatform::publicFolder();
    if (!publicFolder) {
        ktDebugLog(kLogModule, __FILE__, __LINE__, 5, "failed to get log file location: %d",
                   ktPlatform::lastError());
        return false;
    }
    folder = *publicFolder + "/";
    return true;
}

bool ktLogInit()
{
    if (g_logReady) {
        return true;
    }
    std::string folder;
    if (!ktGetLogFolder(folder)) {
        return false;
    }
    const std::string dir = folder.substr(0, folder.size() - 1);
    ktPlatform::setMovedAsideSink(onMovedAside);
    // Shared by every account, as on Windows, so lines logged while a thread acts as another
    // account still arrive.
    std::string why;
    if (!ktPlatform::createSharedFolder(dir, &why)) {
        if (errno == EPERM) {
            // Said where a person sees it, with the folder at fault: the log stays off for
            // the whole run.
            std::fprintf(stderr, "Log off: %s\n",
                         escapeControlChars(dir + " is not used: " + why).c_str());
            return false;
        }
        ktDebugLog(kLogModule, __FILE__, __LINE__, 5, "failed to create log directory: %d",
                   ktPlatform::lastError());
        return false;
    }
    g_logFilePath = folder + kLogFileName;
    g_oldLogFilePath = folder + kOldLogFileName;

    if (std::FILE* f = ktPlatform::openSharedFileForAppend(g_logFilePath)) {
        std::fclose(f);
    } else {
        const int err = errno;
        std::fprintf(stderr, "Failed to open log file: %s err: %d\n", g_logFilePath.c_str(), err);
    }

    // Without the lock lines are still written, just not serialised across processes.
    g_logMutex.open(dir, "kt_log_mutex");

    g_logReady.store(true, std::memory_order_release);
    sayMovedAside();
    return true;
}

void ktLog(const char* module, const char* sourcePath, int line, int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = buildLine(g_logFieldMask, g_programName.c_str(), module, sourcePath,
                                       line, level, format, args);
    va_end(args);
    t_writingLine = true;

    const std::chrono::milliseconds timeout(g_lockTimeoutMs.load());
    bool crossProcess = false;
    const long long leftUs = timeout.count() * 1000 - g_lockWaitedUs.load();
    if (leftUs > 0 && g_logMutex.isOpen()) {
        const auto start = std::chrono::steady_clock::now();
        crossProcess = g_logMutex.lock(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::microseconds(leftUs + kHolderTurnUs + 999)));
        const long long waitedUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count();
        g_lockWaitedUs += std::max(0LL, waitedUs - kHolderTurnUs);
    }
    // Without the cross-process lock the threads of this process still take turns, and the
    // line is only appended: a rotation copies and empties the log only under that lock, so
    // it never races another process's (it waits for a later line that holds the lock).
    const bool locked = crossProcess || g_logMutex.lockThreadsOnly(timeout);
    if (crossProcess) {
        rotateIfFull();
    }
    if (std::FILE* f = ktPlatform::openSharedFileForAppend(g_logFilePath)) {
        // A buffer that holds the whole line makes it one append, whole even beside a
        // process that writes without the lock.
        std::vector<char> buffer(text.size() + 2);
        std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
        std::fprintf(f, "%s\n", text.c_str());
        std::fclose(f);
    } else {
        std::fprintf(stderr, "Failed to open log file\n");
    }
    if (locked) {
        g_logMutex.unlock();
    }
    t_writingLine = false;
    sayMovedAside();
}

void ktDebugLog(const char* module, const char* sourcePath, int line, int level, const char* format,
                ...)
{
    va_list args;
    va_start(args, format);
    const std::string text =
        buildLine(kDebugLineMask, nullptr, module, sourcePath, line, level, format, args);
    va_end(args);
    ktPlatform::outputDebugString(text);
}

int ktLogLevelFromString(const std::string& word)
{
    if (word == kWordCritical) {
        return KT_LOG_CRITICAL;
    }
    if (word == kWordError) {
        return KT_LOG_ERROR;
    }
    if (word == kWordWarning) {
        return KT_LOG_WARNING;
    }
    if (word == kWordInfo) {
        return KT_LOG_INFO;
    }
    if (word == kWordDebug) {
        return KT_LOG_DEBUG;
    }
    return KT_LOG_INFO;
}

#include "ktTest/testLog.h"

#include "ktLog/ktLog.h"
#include "ktTest/tempTree.h"

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace ktTest {

namespace {

std::string startLog()
{
    static TempDir dir;
    const std::string folder = dir.path() + "/Kestrani";
    if (!g_logReady) {
        ScopedEnv env("PUBLIC", dir.path());
        if (!ktLogInit()) {
            throw std::runtime_error("the test log could not be started");
        }
        g_programName = "ktdiag";
        // The root of the public folder, as on Windows, lets every account through.
        fs::permissions(dir.path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }
    g_logLevel = KT_LOG_DEBUG;
    return folder + "/ktdebuglog.log";
}

} // namespace

void clearLog()
{
    writeAll(startLog(), "");
}

std::string logText()
{
    return readAll(startLog());
}

bool logHas(const std::string& text)
{
    return logText().find(text) != std::string::npos;
}

std::string logFolder()
{
    return fs::path(startLog()).parent_path().string();
}

} // namespace ktTest

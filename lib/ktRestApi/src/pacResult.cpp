#include "pacResult.h"

#include "ktLog/ktLog.h"
#include "ktLog/peerText.h"
#include "ktPlatform/files.h"
#include "ktPlatform/process.h"
#include "ktUtils/process.h"

#include <cerrno>
#include <cstdio>
#include <memory>

static const char* const kLogModule = "ktUtil";

namespace {

// A PAC result is one short line; anything far larger is not one.
constexpr std::size_t kMaxPacOutput = 1024 * 1024;

const char* const kSharedTemporaryRoot = "/tmp";

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed(const std::string& text)
{
    std::string::size_type begin = 0;
    std::string::size_type end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

std::vector<std::string> pacResultProxies(const std::string& text)
{
    static const std::string kProxy = "PROXY ";
    std::vector<std::string> out;
    std::string::size_type pos = 0;
    for (;;) {
        while (pos < text.size() && isBlank(text[pos])) {
            ++pos;
        }
        if (text.compare(pos, kProxy.size(), kProxy) != 0) {
            break;
        }
        pos += kProxy.size();
        const std::string::size_type semicolon = text.find(';', pos);
        const std::string entry = trimmed(
            text.substr(pos, semicolon == std::string::npos ? std::string::npos : semicolon - pos));
        if (!entry.empty()) {
            out.push_back(entry);
        }
        if (semicolon == std::string::npos) {
            break;
        }
        pos = semicolon + 1;
    }
    return out;
}

std::string pacProgramCommand(const std::string& program, const std::string& url,
                              const std::string& pacFile)
{
    return "\"" + program + "\" " + ktPlatform::quoteArgument(url) + " " +
           ktPlatform::quoteArgument(pacFile);
}

bool readPacOutput(const std::string& path, std::string& text)
{
    std::unique_ptr<std::FILE, FileCloser> file(ktPlatform::openFileNoFollow(path, "rb"));
    if (!file) {
        KTLOG(KT_LOG_ERROR, "failed to open file for reading: %s, err: %d", path.c_str(), errno);
        return false;
    }
    text.clear();
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
        if (text.size() + n > kMaxPacOutput) {
            KTLOG(KT_LOG_ERROR, "file too large: %s", path.c_str());
            return false;
        }
        text.append(buffer, n);
    }
    if (std::ferror(file.get())) {
        KTLOG(KT_LOG_ERROR, "failed to read file: %s, err: %d", path.c_str(), errno);
        return false;
    }
    return true;
}

PacScratchFolder::PacScratchFolder() : m_ok(make()) {}

bool PacScratchFolder::make()
{
    const std::string root = ktPlatform::temporaryRoot();
    if (m_held.createFolderIn(root, "kt.", m_path)) {
        return true;
    }
    if (root == kSharedTemporaryRoot) {
        return false;
    }
    // The user the evaluation acts as may not create in root's $TMPDIR (a private folder of
    // root's); every account may in /tmp, and the folder is as private there.
    return m_held.createFolderIn(kSharedTemporaryRoot, "kt.", m_path);
}

bool runPacProgram(const std::string& commandLine, const PacScratchFolder& scratch,
                   std::string& answer)
{
    const std::string output = scratch.file("result.txt");
    std::uint32_t exitCode = 0;
    const bool ran = ExecCommandWithExitCode(commandLine.c_str(), &exitCode, output);
    if (!ran || exitCode != 0) {
        KTLOG(KT_LOG_ERROR, "%s failed with error %d", escapeControlChars(commandLine).c_str(),
              ran ? 1 : 0);
        return false;
    }
    return readPacOutput(output, answer);
}

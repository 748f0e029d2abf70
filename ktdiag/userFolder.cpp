#include "userFolder.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktWinUtils/launchApp.h"

#include <cerrno>
#include <memory>

static const char* const kLogModule = "CKTDiag";

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Acts as the user for one access; quietly, as a collection opens many files.
class ActingAs {
public:
    explicit ActingAs(const ktPlatform::Token& user) : m_ok(m_scope.begin(user)) {}
    bool ok() const { return m_ok; }

private:
    ktPlatform::ThreadImpersonation m_scope;
    bool m_ok;
};

} // namespace

bool UserFolderReader::open(std::uint32_t sessionId, const std::string& folder)
{
    m_open = false;
    std::uint32_t tokenSession = sessionId;
    const UserToken user = getUserToken(tokenSession);
    if (!user) {
        KTLOG(KT_LOG_ERROR, "[sessId %d] %s is left out: its user cannot be acted as",
              static_cast<int>(sessionId), folder.c_str());
        return false;
    }
    m_user = *user;
    m_folder = folder;
    m_open = true;
    return true;
}

std::vector<std::string> UserFolderReader::files() const
{
    std::vector<std::string> names;
    bool listed = false;
    int error = EPERM;
    {
        const ActingAs as(m_user);
        if (as.ok()) {
            listed = ktPlatform::listFilesBeneath(m_user.home, m_folder, names);
            error = ktPlatform::lastError();
        }
    }
    std::vector<std::string> paths;
    if (!listed) {
        KTLOG(KT_LOG_ERROR, "Failed to iterate %s, error %s", m_folder.c_str(),
              ktPlatform::errorText(error).c_str());
        return paths;
    }
    for (const std::string& name : names) {
        paths.push_back(m_folder + "/" + name);
    }
    return paths;
}

std::FILE* UserFolderReader::openFile(const std::string& path) const
{
    const ActingAs as(m_user);
    if (!as.ok()) {
        errno = EPERM;
        return nullptr;
    }
    return ktPlatform::openFileBeneath(m_user.home, path);
}

bool UserFolderReader::readFile(const std::string& path, std::uint64_t maxBytes,
                                std::string& data) const
{
    const FilePtr file(openFile(path));
    ktPlatform::OpenFileInfo info{};
    if (!file || !ktPlatform::openFileInfo(file.get(), info) || info.size > maxBytes) {
        return false;
    }
    std::string text(static_cast<std::size_t>(info.size), '\0');
    const std::size_t got = std::fread(&text[0], 1, text.size(), file.get());
    if (got != text.size() && std::ferror(file.get())) {
        return false;
    }
    text.resize(got);
    data.swap(text);
    return true;
}

bool UserFolderReader::fileSize(const std::string& path, std::uint64_t& size) const
{
    const FilePtr file(openFile(path));
    ktPlatform::OpenFileInfo info{};
    if (!file || !ktPlatform::openFileInfo(file.get(), info)) {
        return false;
    }
    size = info.size;
    return true;
}

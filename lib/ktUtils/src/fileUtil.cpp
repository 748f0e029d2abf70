#include "ktUtils/fileUtil.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"
#include "ktPlatform/strings.h"

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdio>
#include <memory>

static const char* const kLogModule = "ktUtils";

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A known status other than "not found" means the path exists. Linux has no WOW64
// redirection to turn off around the query.
bool existsByStatus(const boost::filesystem::path& path, int& error)
{
    boost::system::error_code ec;
    const boost::filesystem::file_status st = boost::filesystem::status(path, ec);
    error = ec.value();
    return st.type() != boost::filesystem::status_error &&
           st.type() != boost::filesystem::file_not_found;
}

// A file larger than the cap is refused before anything is allocated for it.
bool withinReadCap(const std::string& path, long size)
{
    if (static_cast<std::uint64_t>(size) <= kMaxReadFileSize) {
        return true;
    }
    KTLOG(KT_LOG_ERROR, "file %s is too large to read: %lld bytes, at most %llu", path.c_str(),
          static_cast<long long>(size), static_cast<unsigned long long>(kMaxReadFileSize));
    return false;
}

// The rest of readFile, on the file it opened.
bool readOpenFile(const wchar_t* path, const std::string& narrow, std::FILE* opened,
                  std::string& data)
{
    const FilePtr file(opened);
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        KTLOG(KT_LOG_ERROR, "ftell failed, file: %ls, err: %d", path, errno);
        return false;
    }
    const long size = std::ftell(file.get());
    if (size < 0) {
        KTLOG(KT_LOG_ERROR, "ftell failed, file: %ls, err: %d", path, errno);
        return false;
    }
    if (!withinReadCap(narrow, size)) {
        return false;
    }
    std::rewind(file.get());
    data.clear();
    data.resize(static_cast<size_t>(size));
    const size_t read = size > 0 ? std::fread(&data[0], 1, data.size(), file.get()) : 0;
    if (read != data.size()) {
        KTLOG(KT_LOG_ERROR, "failed to read complete file size: %d, err: %d",
              static_cast<int>(size), errno);
        return false;
    }
    return true;
}

} // namespace

bool readFile(const wchar_t* path, std::string& data)
{
    if (path == nullptr) {
        KTLOG(KT_LOG_ERROR, "invalid filename");
        return false;
    }
    const std::string narrow = ktPlatform::toNarrow(path);
    std::FILE* file = ktPlatform::openRegularFile(narrow, "rb");
    if (file == nullptr) {
        KTLOG(KT_LOG_ERROR, "failed to open file for reading: %s, err:%d", narrow.c_str(), errno);
        return false;
    }
    return readOpenFile(path, narrow, file, data);
}

bool readFileBeneath(const std::string& anchor, const wchar_t* path, std::string& data)
{
    if (path == nullptr) {
        KTLOG(KT_LOG_ERROR, "invalid filename");
        return false;
    }
    const std::string narrow = ktPlatform::toNarrow(path);
    std::FILE* file = ktPlatform::openFileBeneath(anchor, narrow);
    if (file == nullptr) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            KTLOG(KT_LOG_ERROR, "not reading %s: it or a folder on its way is a link",
                  narrow.c_str());
        } else {
            KTLOG(KT_LOG_ERROR, "failed to open file for reading: %s, err:%d", narrow.c_str(),
                  error);
        }
        errno = error;
        return false;
    }
    return readOpenFile(path, narrow, file, data);
}

bool readTextFile(const std::string& path, std::string& data)
{
    if (path.empty()) {
        KTLOG(KT_LOG_ERROR, "invalid filename");
        return false;
    }
    FilePtr file(ktPlatform::openRegularFile(path, "rb"));
    if (!file) {
        KTLOG(KT_LOG_ERROR, "failed to open file for reading: %s, err: %d", path.c_str(), errno);
        return false;
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        KTLOG(KT_LOG_ERROR, "no EOF file found: %s, err: %d", path.c_str(), errno);
        return false;
    }
    const long size = std::ftell(file.get());
    if (size < 0) {
        KTLOG(KT_LOG_ERROR, "ftell failed: %s, err: %d", path.c_str(), errno);
        return false;
    }
    if (!withinReadCap(path, size)) {
        return false;
    }
    data.clear();
    data.resize(static_cast<size_t>(size));
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
        KTLOG(KT_LOG_ERROR, "fseek failed: %s, err: %d", path.c_str(), errno);
        return false;
    }
    const size_t read = size > 0 ? std::fread(&data[0], 1, data.size(), file.get()) : 0;
    if (read != data.size()) {
        KTLOG(KT_LOG_ERROR, "failed to read file: %s, err: %d", path.c_str(), errno);
        return false;
    }
    return true;
}

bool writeFile(const wchar_t* path, const std::string& data)
{
    return writeFile(path, data, nullptr);
}

bool writeFile(const wchar_t* path, const std::string& data, const wchar_t* modeOf)
{
    if (path == nullptr) {
        KTLOG(KT_LOG_ERROR, "invalid filename");
        return false;
    }
    const std::string narrow = ktPlatform::toNarrow(path);
    const std::string model = modeOf != nullptr ? ktPlatform::toNarrow(modeOf) : std::string();
    switch (ktPlatform::replaceFileAtomically(narrow, data, model)) {
    case ktPlatform::ReplaceStatus::ok:
        return true;
    case ktPlatform::ReplaceStatus::openFailed:
        KTLOG(KT_LOG_ERROR, "failed to open file for writing: %s, err: %d", narrow.c_str(), errno);
        return false;
    case ktPlatform::ReplaceStatus::writeFailed:
        break;
    }
    KTLOG(KT_LOG_ERROR, "failed to write to local.json, err:%d", errno);
    return false;
}

bool deleteFile(const wchar_t* path)
{
    if (path == nullptr) {
        return false;
    }
    return ktPlatform::deleteFile(ktPlatform::toNarrow(path));
}

bool getPublicFolderPath(std::string& folder)
{
    std::optional<std::string> value = ktPlatform::publicFolder();
    if (!value) {
        KTLOG(KT_LOG_ERROR, "Failed to retrieve PUBLIC path, error %d", ktPlatform::lastError());
        return false;
    }
    folder = *value;
    return true;
}

bool getConfigFilePath(std::wstring& folder)
{
    std::optional<std::string> value = ktPlatform::configFolder();
    if (!value) {
        KTLOG(KT_LOG_ERROR, "SHGetFolderPathW failed: error %d, Could not get Config file location",
              ktPlatform::lastError());
        return false;
    }
    folder = ktPlatform::toWide(*value);
    return true;
}

bool pathExists(const std::string& path, AbsentPath absent)
{
    int error = 0;
    const bool exists = !path.empty() && existsByStatus(boost::filesystem::path(path), error);
    if (!exists && absent == AbsentPath::logged) {
        KTLOG(KT_LOG_ERROR, "filesystem::exists failed, error %d, file %s", error, path.c_str());
    }
    return exists;
}

bool pathExists(const std::wstring& path, AbsentPath absent)
{
    int error = 0;
    const bool exists =
        !path.empty() && existsByStatus(boost::filesystem::path(ktPlatform::toNarrow(path)), error);
    if (!exists && absent == AbsentPath::logged) {
        KTLOG(KT_LOG_ERROR, "filesystem::exists failed, error %d, file %ls", error, path.c_str());
    }
    return exists;
}

bool pathTaken(const std::wstring& path)
{
    boost::system::error_code ec;
    const auto status = boost::filesystem::symlink_status(ktPlatform::toNarrow(path), ec);
    return status.type() != boost::filesystem::file_not_found;
}

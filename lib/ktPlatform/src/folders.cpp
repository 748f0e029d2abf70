#include "ktPlatform/folders.h"

#include "ktPlatform/paths.h"
#include "identity.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace ktPlatform {

std::optional<std::string> getEnv(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

namespace {

// Environment first so tests point each root at a temporary folder; an empty value
// is a failure, a missing one takes the Linux default.
std::optional<std::string> rootFrom(const char* variable, const std::string& fallback)
{
    std::optional<std::string> value = getEnv(variable);
    if (!value) {
        if (fallback.empty()) {
            return std::nullopt;
        }
        return fallback;
    }
    if (value->empty()) {
        return std::nullopt;
    }
    return value;
}

std::string defaultAppData()
{
    std::optional<std::string> xdg = getEnv("XDG_CONFIG_HOME");
    if (xdg && !xdg->empty()) {
        return *xdg;
    }
    std::optional<std::string> home = getEnv("HOME");
    if (home && !home->empty()) {
        return joinPath(*home, ".config");
    }
    return std::string();
}

} // namespace

std::optional<std::string> publicRoot()
{
    return rootFrom("PUBLIC", "/var/log");
}

std::optional<std::string> programDataRoot()
{
    return rootFrom("ProgramData", "/var/lib");
}

std::optional<std::string> appDataRoot()
{
    return rootFrom("APPDATA", defaultAppData());
}

std::optional<std::string> publicFolder()
{
    std::optional<std::string> root = publicRoot();
    if (!root) {
        return std::nullopt;
    }
    return *root + "/Kestrani";
}

std::optional<std::string> machineFolder()
{
    std::optional<std::string> root = programDataRoot();
    if (!root) {
        return std::nullopt;
    }
    return joinPath(*root, "kestrani");
}

std::optional<std::string> configFolder()
{
    std::optional<std::string> machine = machineFolder();
    if (!machine) {
        return std::nullopt;
    }
    return joinPath(*machine, "merivon");
}

std::optional<std::string> userFolder()
{
    std::optional<std::string> root = appDataRoot();
    if (!root) {
        return std::nullopt;
    }
    return joinPath(joinPath(*root, "Kestrani"), "Merivon");
}

std::string userFolderUnexpanded()
{
    return joinPath(joinPath("%APPDATA%", "Kestrani"), "Merivon");
}

namespace {

constexpr mode_t kPrivateFolderMode = 0700;

// Creates each missing level of path: the last with lastMode, the ones above with
// parentMode (the umask may narrow them, never widen them).
bool makeLevels(const std::string& path, mode_t parentMode, mode_t lastMode)
{
    for (std::string::size_type pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') {
            continue;
        }
        const std::string level = path.substr(0, pos);
        if (::mkdir(level.c_str(), pos == path.size() ? lastMode : parentMode) != 0 &&
            errno != EEXIST) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<std::string> privateLockFolder()
{
    const std::uint32_t uid = currentFsUid();
    std::string folder;
    mode_t parentMode = kPrivateFolderMode;
    if (uid == 0) {
        std::optional<std::string> machine = machineFolder();
        if (!machine) {
            errno = ENOENT;
            return std::nullopt;
        }
        folder = joinPath(*machine, "locks");
        parentMode = 0755;
    } else {
        Token token;
        if (!lookupUser(uid, token) || token.home.empty()) {
            errno = ENOENT;
            return std::nullopt;
        }
        folder = joinPath(token.home, ".local/share/kestrani/locks");
    }
    if (!makeLevels(folder, parentMode, kPrivateFolderMode)) {
        return std::nullopt;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        return std::nullopt;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 022) != 0) {
        errno = EACCES;
        return std::nullopt;
    }
    return folder;
}

} // namespace ktPlatform

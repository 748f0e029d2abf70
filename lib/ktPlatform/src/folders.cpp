#include "ktPlatform/folders.h"

#include "ktPlatform/paths.h"

#include <cstdlib>

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

} // namespace ktPlatform

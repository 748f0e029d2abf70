#pragma once
// A temporary client tree: PUBLIC, ProgramData and APPDATA point into a fresh folder
// for the life of the object, and everything is removed afterwards.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace ktTest {

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

class TempClientTree {
public:
    TempClientTree();
    const std::string& root() const { return m_dir.path(); }
    std::string publicRoot() const { return root() + "/Public"; }
    std::string programDataRoot() const { return root() + "/ProgramData"; }
    std::string appDataRoot() const { return root() + "/AppData"; }
    // <PUBLIC>/Kestrani, as the tool spells it.
    std::string publicFolder() const { return publicRoot() + "/Kestrani"; }
    // The variables a child process needs to see this tree.
    std::map<std::string, std::string> environment() const;

private:
    TempDir m_dir;
    ScopedEnv m_public;
    ScopedEnv m_programData;
    ScopedEnv m_appData;
};

// Whole-file helpers for tests.
std::string readAll(const std::string& path);
void writeAll(const std::string& path, const std::string& data);
// Numbered lines of width bytes, the line end included, at least size bytes in all.
std::string numberedLines(std::size_t width, std::uint64_t size);

} // namespace ktTest

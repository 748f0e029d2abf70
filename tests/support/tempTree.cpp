#include "ktTest/tempTree.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace ktTest {

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::string>& value)
    : m_name(name)
{
    if (const char* old = std::getenv(name.c_str())) {
        m_old = old;
    }
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

ScopedEnv::~ScopedEnv()
{
    if (m_old) {
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

TempDir::TempDir()
{
    std::string templ = (fs::temp_directory_path() / "ktdiag-test-XXXXXX").string();
    if (::mkdtemp(&templ[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

TempClientTree::TempClientTree()
    : m_public("PUBLIC", m_dir.path() + "/Public"),
      m_programData("ProgramData", m_dir.path() + "/ProgramData"),
      m_appData("APPDATA", m_dir.path() + "/AppData")
{
    fs::create_directories(publicRoot());
    fs::create_directories(programDataRoot());
    fs::create_directories(appDataRoot());
}

std::map<std::string, std::string> TempClientTree::environment() const
{
    return {
        {"PUBLIC", publicRoot()}, {"ProgramData", programDataRoot()}, {"APPDATA", appDataRoot()}};
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeAll(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::string numberedLines(std::size_t width, std::uint64_t size)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i) {
        const std::string number = std::to_string(i);
        text += number + std::string(width - 1 - number.size(), '.') + "\n";
    }
    return text;
}

} // namespace ktTest

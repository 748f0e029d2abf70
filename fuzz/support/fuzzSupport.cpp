#include "ktFuzz/fuzzSupport.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/strings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ktFuzz {

const unsigned char kMachineKey[kKeySize] = {
    0x6d, 0x61, 0x63, 0x68, 0x69, 0x6e, 0x65, 0x2d, 0x66, 0x75, 0x7a, 0x7a, 0x2d, 0x6b, 0x65, 0x79,
    0x9a, 0x13, 0x5e, 0xc4, 0x27, 0x81, 0xf0, 0x3b, 0x66, 0xd2, 0x0e, 0xa9, 0x54, 0xb7, 0x18, 0xcd,
};
const unsigned char kUserKey[kKeySize] = {
    0x75, 0x73, 0x65, 0x72, 0x2d, 0x66, 0x75, 0x7a, 0x7a, 0x2d, 0x6b, 0x65, 0x79, 0x2d, 0x30, 0x31,
    0x3c, 0xe8, 0x71, 0x05, 0xba, 0x4f, 0x92, 0xd6, 0x2a, 0x6b, 0xf3, 0x80, 0x1d, 0xc5, 0x47, 0xee,
};

namespace {

struct Folder {
    std::string path;
    ~Folder()
    {
        if (!path.empty()) {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    }
};

Folder& folder()
{
    static Folder f;
    return f;
}

void writeKey(const std::string& path, const unsigned char* key, mode_t mode)
{
    writeFile(path, std::string(reinterpret_cast<const char*>(key), kKeySize));
    if (::chmod(path.c_str(), mode) != 0) {
        fail("chmod of a key");
    }
}

} // namespace

void fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

const std::string& tempFolder()
{
    Folder& f = folder();
    if (f.path.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ktfuzz-XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr) {
            fail("mkdtemp");
        }
        f.path = pattern;
    }
    return f.path;
}

std::string makeFolder(const std::string& name)
{
    const std::string path = tempFolder() + "/" + name;
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        fail("create_directories");
    }
    return path;
}

void start()
{
    static bool started = false;
    if (started) {
        return;
    }
    started = true;
    ktPlatform::initProcessLocale();
    const std::string keys = makeFolder("keys");
    writeKey(keys + "/machine.key", kMachineKey, 0644);
    writeKey(keys + "/user-" + std::to_string(::geteuid()) + ".key", kUserKey, 0600);
    ::setenv("KTDIAG_DPAPI_KEY_DIR", keys.c_str(), 1);

    ::setenv("PUBLIC", makeFolder("Public").c_str(), 1);
    ::setenv("ProgramData", makeFolder("ProgramData").c_str(), 1);
    ::setenv("APPDATA", makeFolder("AppData").c_str(), 1);
    if (!ktLogInit()) {
        fail("ktLogInit");
    }
    g_programName = "ktdiag";
    g_logLevel = KT_LOG_DEBUG;
}

void logLevelFor(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 16777619u;
    }
    g_logLevel = (hash >> 29) == 0 ? KT_LOG_DEBUG : KT_LOG_CRITICAL; // the best-mixed bits
}

void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        fail("writeFile");
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("readFile");
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t takeBigEndian(const std::uint8_t*& data, std::size_t& size, std::size_t bytes)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        value <<= 8;
        if (size > 0) {
            value |= *data++;
            --size;
        }
    }
    return value;
}

} // namespace ktFuzz

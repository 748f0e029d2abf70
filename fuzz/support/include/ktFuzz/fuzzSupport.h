#pragma once
// What the fuzz targets share: a private temporary folder for the files they hand to file
// readers, the log started inside it, and the fixed data-protection keys their seeds were
// made with. Each target calls start() from LLVMFuzzerInitialize.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktFuzz {

// Makes the private folder (0700, under TMPDIR or /tmp, removed at exit), sets a UTF-8
// locale, starts the log there and points KTDIAG_DPAPI_KEY_DIR at the fixed keys. Safe to
// call more than once.
void start();

// Sets the log level for one input: the debug level for one input in eight, chosen by its
// bytes so a finding reproduces, so what the parsers log of their input is fuzzed too; only
// critical lines otherwise, as writing a line costs more than most parses.
void logLevelFor(const std::uint8_t* data, std::size_t size);

// The private folder, without a trailing separator.
const std::string& tempFolder();

// Makes a folder inside the private one and returns its path.
std::string makeFolder(const std::string& name);

// Replaces the file's content; aborts when it cannot, as nothing after it would be valid.
void writeFile(const std::string& path, const std::string& data);

// The file's whole content; aborts when it cannot be read.
std::string readFile(const std::string& path);

// Machine and user keys the seeds of the protected-file target were made with; fixed so
// committed seeds decrypt and the fuzzer gets past the tag check with them.
constexpr std::size_t kKeySize = 32;
extern const unsigned char kMachineKey[kKeySize];
extern const unsigned char kUserKey[kKeySize];

// Reads a big-endian number from the front of the input and advances it; 0 for the bytes
// that are missing.
std::uint32_t takeBigEndian(const std::uint8_t*& data, std::size_t& size, std::size_t bytes);

// Aborts with the message: a broken invariant is a finding like a crash.
[[noreturn]] void fail(const char* what);

} // namespace ktFuzz

#define KT_FUZZ_CHECK(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::ktFuzz::fail(#condition);                                                            \
        }                                                                                          \
    } while (0)

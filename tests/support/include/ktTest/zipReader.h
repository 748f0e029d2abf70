#pragma once
// Reads a zip archive back with the zip library's own reader, for tests of the archive.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ktTest {

struct ZipEntry {
    std::string name;
    std::uint64_t size = 0; // uncompressed
    std::string data;       // empty for entries above the data limit
};

// Every entry in archive order. The data of entries of at most dataLimit bytes is read and
// its CRC checked; nullopt when the archive cannot be opened or such an entry is damaged.
std::optional<std::vector<ZipEntry>> readZip(const std::string& path,
                                             std::uint64_t dataLimit = 1u << 20);

// The names alone, in archive order; empty when the archive cannot be read.
std::vector<std::string> zipNames(const std::optional<std::vector<ZipEntry>>& entries);

} // namespace ktTest

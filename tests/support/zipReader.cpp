#include "ktTest/zipReader.h"

#include <minizip/unzip.h>

namespace ktTest {

std::optional<std::vector<ZipEntry>> readZip(const std::string& path, std::uint64_t dataLimit)
{
    unzFile zip = unzOpen64(path.c_str());
    if (zip == nullptr) {
        return std::nullopt;
    }
    std::vector<ZipEntry> entries;
    bool ok = true;
    for (int step = unzGoToFirstFile(zip); ok && step == UNZ_OK; step = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        char name[1024] = {};
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            ok = false;
            break;
        }
        ZipEntry entry;
        entry.name = name;
        entry.size = info.uncompressed_size;
        if (entry.size <= dataLimit) {
            if (unzOpenCurrentFile(zip) != UNZ_OK) {
                ok = false;
                break;
            }
            char buffer[8192];
            int n = 0;
            while ((n = unzReadCurrentFile(zip, buffer, sizeof(buffer))) > 0) {
                entry.data.append(buffer, static_cast<size_t>(n));
            }
            // Closing checks the CRC of an entry read to its end.
            ok = n == 0 && unzCloseCurrentFile(zip) == UNZ_OK;
        }
        entries.push_back(entry);
    }
    unzClose(zip);
    if (!ok) {
        return std::nullopt;
    }
    return entries;
}

std::vector<std::string> zipNames(const std::optional<std::vector<ZipEntry>>& entries)
{
    std::vector<std::string> names;
    if (entries) {
        for (const ZipEntry& e : *entries) {
            names.push_back(e.name);
        }
    }
    return names;
}

} // namespace ktTest

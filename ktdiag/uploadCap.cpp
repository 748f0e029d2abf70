#include "uploadCap.h"

#include <algorithm>
#include <utility>

UploadChoice chooseUploadFiles(std::uint64_t listedBytes, std::vector<FileSizeRecord> candidates)
{
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const FileSizeRecord& a, const FileSizeRecord& b) { return a.size < b.size; });
    UploadChoice choice;
    std::uint64_t total = listedBytes;
    for (FileSizeRecord& candidate : candidates) {
        // total + size < cap, without the sum wrapping
        if (total < kUploadCapBytes && candidate.size < kUploadCapBytes - total) {
            total += candidate.size;
            choice.added.push_back(std::move(candidate.path));
        } else {
            choice.skipped.push_back({std::move(candidate.path), total});
        }
    }
    return choice;
}

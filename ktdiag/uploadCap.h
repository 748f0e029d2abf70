#pragma once
// The upload form's cap: which of the collection folder's captures and dumps fit into the
// archive beside its other files.

#include <cstdint>
#include <string>
#include <vector>

// The upload form keeps the archive's files below this many bytes (decimal, not 30 MiB).
constexpr std::uint64_t kUploadCapBytes = 30000000;

struct FileSizeRecord {
    std::string path;
    std::uint64_t size;
};

struct SkippedFile {
    std::string path;
    std::uint64_t totalBytes; // of the archive's files when its turn came
};

struct UploadChoice {
    std::vector<std::string> added; // in the order they were taken: smallest first
    std::vector<SkippedFile> skipped;
};

// Takes candidates smallest first (equal sizes in their given order) while listedBytes, the
// size of the files already in the archive, plus what was taken stays below kUploadCapBytes.
UploadChoice chooseUploadFiles(std::uint64_t listedBytes, std::vector<FileSizeRecord> candidates);

#pragma once
// Packs a list of files into one new, flat zip archive: one deflated entry per input,
// named by the input's base name. The only component that talks to the zip library.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct tm_zip_s; // the zip library's date structure

// Creates archivePath anew and adds the inputs in list order. The archive is written to a
// new file of mode 0600 beside archivePath and renamed onto it only once it was closed
// whole, so an existing file or link there is replaced, never written through; on failure
// (or SIGINT, SIGTERM or SIGHUP, once ktPlatform::installInterruptCleanup ran) the new file
// is removed and nothing at archivePath changed. An input that is missing, a link, not a
// regular file or one with a second name (a hard link), or that cannot be read at all, is
// skipped with a line in the log; one whose read breaks off part-way goes in short, with
// what was read; the same file listed twice goes in once; an input holds its bytes up to
// the size it had when it was opened, so a file that keeps growing cannot hold the archive
// up. Data is streamed, so memory use does not depend on the file sizes.
// True when the archive was written whole, closed and put in place, whatever inputs were
// skipped or short; false for a null path or an empty list (nothing is created) and on any
// failure to write, flush, close or rename the archive itself.
bool zipFiles(const char* archivePath, const std::vector<std::string>& files);

// One input as its opener hands it over: the stream (null with errno set to skip the input),
// at the first byte to go in, and the size of the file when the opener judged it, where the
// entry then ends, so that a file grown after that look costs nothing more; without a size,
// the entry ends at the size the file has when the zip writer looks at it.
struct ZipInput {
    ZipInput(std::FILE* stream = nullptr) : file(stream) {} // NOLINT: a plain stream is one
    ZipInput(std::FILE* stream, std::uint64_t judgedSize) : file(stream), size(judgedSize) {}

    std::FILE* file;
    std::optional<std::uint64_t> size;
};

// Opens one input for reading: a regular file, or null with errno set to skip it.
using ZipInputOpener = std::function<ZipInput(const std::string& path)>;

// The same, opening each input through open instead of by the rule above. When the finished
// archive cannot take its name, it is kept under its own (a hidden name beside archivePath),
// which keptAs, when given, then holds; it is emptied otherwise.
bool zipFiles(const char* archivePath, const std::vector<std::string>& files,
              const ZipInputOpener& open, std::string* keptAs = nullptr);

// Fills date with the local time of the last modification of path (links followed),
// clamped to the 1980..2107 range that zip dates can hold. False, date untouched, when
// the time cannot be read.
bool getFileModifiedTime(const char* path, tm_zip_s& date);

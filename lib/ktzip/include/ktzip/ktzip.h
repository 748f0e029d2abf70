#pragma once
// Packs a list of files into one new, flat zip archive: one deflated entry per input,
// named by the input's base name. The only component that talks to the zip library.

#include <string>
#include <vector>

struct tm_zip_s; // the zip library's date structure

// Creates archivePath anew (an existing file is replaced; a link there is not followed)
// and adds the inputs in list order. An input that is missing, a link or not a regular
// file is skipped with a line in the log; the same file listed twice goes in once. Data
// is streamed, so memory use does not depend on the file sizes.
// True when every entry that was started was written whole and the archive was closed;
// false for a null path or an empty list (nothing is created) and on any write failure.
bool zipFiles(const char* archivePath, const std::vector<std::string>& files);

// Fills date with the local time of the last modification of path (links followed),
// clamped to the 1980..2107 range that zip dates can hold. False, date untouched, when
// the time cannot be read.
bool getFileModifiedTime(const char* path, tm_zip_s& date);

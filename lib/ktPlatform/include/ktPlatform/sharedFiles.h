#pragma once
// The public folder and the log that every account shares, as they are on Windows: any
// account may create files in the folder and append to the log, none may remove or rename
// another account's files.

#include <cstdio>
#include <string>

namespace ktPlatform {

// Stands for CreateDirectoryA of the public folder: creates the last level with mode 01777.
// A folder already there that the calling thread's account owns gets that mode too; a
// link to a folder is used as it is. True when a folder stands at path afterwards; false
// with errno set otherwise (ENOTDIR when something else is there).
bool createSharedFolder(const std::string& path);

// Stands for fopen(path, "a") of the shared log: opened as openFileNoFollow opens it (no
// link, a regular file only); a file the calling thread's account owns is given mode 0666
// so every account can append. Null with errno set on failure.
std::FILE* openSharedFileForAppend(const std::string& path);

} // namespace ktPlatform

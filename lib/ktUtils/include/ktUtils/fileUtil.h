#pragma once
// Whole-file input and output and the client's two well-known folders. Every failure
// is a false result and an error line in the log; nothing throws.

#include <cstdint>
#include <string>

// Largest file read whole (16 MiB). Configuration, cached-list, digest, branding, device-id
// and session files are far smaller; a larger one is refused, never allocated.
constexpr std::uint64_t kMaxReadFileSize = 16 * 1024 * 1024;

// Reads the whole file as bytes (zeros included). False for a missing, unreadable or
// non-regular file and for one larger than kMaxReadFileSize (logged with its size); use
// data only after true.
bool readFile(const wchar_t* path, std::string& data);
bool readTextFile(const std::string& path, std::string& data);
// The same for a file in a folder another account controls: no link is followed at any
// level below anchor (ktPlatform::openFileBeneath), and one that stands there is refused
// with a line naming the path, never read.
bool readFileBeneath(const std::string& anchor, const wchar_t* path, std::string& data);

// Replaces the file with data atomically: on failure the old content stays.
bool writeFile(const wchar_t* path, const std::string& data);
// The same; a file new at path takes the mode of the regular file at modeOf.
bool writeFile(const wchar_t* path, const std::string& data, const wchar_t* modeOf);

// Removes a file; false when it could not.
bool deleteFile(const wchar_t* path);

// <PUBLIC>/Kestrani, not created; false when the public folder is unavailable.
bool getPublicFolderPath(std::string& folder);
// <ProgramData>/kestrani/merivon, not created; false (folder untouched) when unavailable.
bool getConfigFilePath(std::wstring& folder);

// Whether pathExists logs a path that is not there.
enum class AbsentPath { logged, quiet };
// True when the path exists: its status, links followed, is known and is not "not found".
// An absent path is logged unless absent is quiet (for paths whose absence is normal).
bool pathExists(const std::string& path, AbsentPath absent = AbsentPath::logged);
bool pathExists(const std::wstring& path, AbsentPath absent = AbsentPath::logged);
// True when anything stands at path itself (a link counts, unfollowed), or when that
// cannot be told: for a name that must not be taken over. Nothing is logged.
bool pathTaken(const std::wstring& path);

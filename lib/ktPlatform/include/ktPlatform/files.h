#pragma once
// File access that the shared folders need, and the atomic replacement of files.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ktPlatform {

// Stands for fopen/_wfopen: modes "r", "rb", "w", "wb", "a", "ab" (an optional "+").
// The last path element is never followed when it is a link, and only a regular file
// is opened; otherwise returns null with errno set (ELOOP, EISDIR, EINVAL, ...).
// The descriptor is close-on-exec.
std::FILE* openFileNoFollow(const std::string& path, const char* mode);

// The same for reading a file that root reads for another account to see (the collection):
// only a regular file with one name is opened, as a second name could be another account's
// hard link to a file that only root may read; one of root's or of the running account's
// already in the shared mode 0666 (the shared log) is opened whatever its names, as every
// account may read it anyway. Null with errno set (EMLINK for a second name, ELOOP for a
// link, ...).
std::FILE* openSingleNameFile(const std::string& path);

// The same for files outside the shared folders: links are followed, but only a
// regular file is opened (a directory gives EISDIR, a FIFO or device EINVAL).
std::FILE* openRegularFile(const std::string& path, const char* mode);

// For a folder owned by another account: opens path (absolute) for reading without
// following a link at any level below anchor; the levels up to anchor are resolved as
// usual. A path that does not lie below anchor is checked at every level from "/". Only a
// regular file is opened. Null with errno set: ELOOP or ENOTDIR for a link on the way,
// EINVAL for a relative path or a ".." level.
std::FILE* openFileBeneath(const std::string& anchor, const std::string& path);

// Lists the names of folder's entries that are not folders (links included, unfollowed),
// sorted, reaching folder as openFileBeneath does. False with errno set.
bool listFilesBeneath(const std::string& anchor, const std::string& folder,
                      std::vector<std::string>& names);

// True when path names a regular file (links are not followed); fills its size.
bool regularFileSize(const std::string& path, std::uint64_t& size);

struct OpenFileInfo {
    std::uint64_t size;
    std::uint64_t volume; // with index, tells one file from another
    std::uint64_t index;
    std::int64_t modified; // seconds since 1970
    std::int64_t modifiedNanoseconds;
    std::int64_t changed; // of the status (ctime), seconds since 1970
    std::int64_t changedNanoseconds;
    std::uint64_t links;       // names of the file
    std::uint32_t owner;       // uid
    std::uint64_t allocated;   // bytes the file takes on disk (its blocks)
    bool sharedMode;           // root's or the running account's, in the shared mode 0666
    std::uint32_t permissions; // the mode's permission bits (07777)
};
// Stands for GetFileInformationByHandle: fstat of the open file's size, device, inode,
// modification and status-change times and link count. False with errno set.
bool openFileInfo(std::FILE* file, OpenFileInfo& info);

// The same for the regular file at path, not following a link there; false with errno set
// (EINVAL when something else is there).
bool regularFileInfo(const std::string& path, OpenFileInfo& info);

// True for a file that another account could have made as long as it liked at no cost to
// itself: one that an account other than root or the running account may write (its owner,
// or any account through a group or others' write bit), taking less than half its length on
// disk (a sparse file).
bool isSparseFileAnotherAccountMayWrite(const OpenFileInfo& info);

// Positions file so that at most maxBytes remain up to size (its size when it was judged),
// at a line start: where the newest maxBytes begin inside a line, after that line's end when
// it comes within 64 KiB. False with errno set.
bool seekToNewestLines(std::FILE* file, std::uint64_t size, std::uint64_t maxBytes);

// Stands for _stat64's st_mtime: stat (links followed), seconds since 1970. False with
// errno set.
bool fileModifiedTime(const std::string& path, std::int64_t& seconds);

enum class ReplaceStatus { ok, openFailed, writeFailed };

// Writes data to a new temporary file in the folder of path, flushes it to disk,
// checks the close, keeps the mode of the file it replaces and renames it over path.
// On failure the old file is untouched, the temporary file removed and errno set.
ReplaceStatus replaceFileAtomically(const std::string& path, const std::string& data);
// The same, except that a file new at path takes the mode of the regular file at modeOf
// (not followed when it is a link), when there is one: a protected form made from a plain
// file is no more open than the plain file was.
ReplaceStatus replaceFileAtomically(const std::string& path, const std::string& data,
                                    const std::string& modeOf);

// Stands for _fdopen: a stream over fd, which the stream then owns. Null with errno set.
std::FILE* openDescriptor(int fd, const char* mode);
// Stands for _close; errno is kept.
void closeDescriptor(int fd);

// Stands for _ftelli64: the stream's position in bytes; -1 with errno set.
std::int64_t streamPosition(std::FILE* file);

// Stands for FlushFileBuffers: the stream's data flushed and on the disk. False with errno.
bool flushToDisk(std::FILE* file);

// Stands for MoveFileExA with MOVEFILE_REPLACE_EXISTING, within one file system: what was
// at to (a file or a link) is replaced, never followed. False with errno set.
bool renameFile(const std::string& from, const std::string& to);

// Creates a file with a unique name in folder and deletes it again: true when the
// folder is writable. On failure errno is set.
bool probeFolderWritable(const std::string& folder);

// Stands for DeleteFileW/DeleteFileA: removes a file (not a folder); false on failure.
bool deleteFile(const std::string& path);

// Stands for CreateDirectoryA: creates the last level only; false with errno set
// (EEXIST when it is already there).
bool createDirectory(const std::string& path);

// Stands for SHCreateDirectoryExW: creates the folder and every missing level above it. A
// relative path is refused (EINVAL), as the shell takes only full paths; false with errno
// EEXIST when the folder is already there, as the shell reports ERROR_ALREADY_EXISTS.
bool createDirectoryTree(const std::string& path);

// Stands for GetShortPathNameA: Linux has no short names, so the path itself when it
// names something that exists (links followed); false with errno set otherwise.
bool shortPathName(const std::string& path, std::string& shortPath);

// Stands for GetTempPathA: $TMPDIR, else /tmp.
std::string temporaryRoot();

// Stands for GetLastError: the calling thread's last system error (errno).
int lastError();
// The system's text for an error code.
std::string errorText(int code);

} // namespace ktPlatform

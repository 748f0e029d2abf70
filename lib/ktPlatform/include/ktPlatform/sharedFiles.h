#pragma once
// The public folder and the log that every account shares, as they are on Windows: any
// account may create files in the folder and append to the log, none may remove or rename
// another account's files.

#include <cstdint>
#include <cstdio>
#include <string>

namespace ktPlatform {

// Stands for CreateDirectoryA of the public folder: creates the last level with mode 01777,
// only once the folders above it (and a link among them) are judged as isTrustedSharedFolder
// judges them, so nothing is made where the folder would be refused. What is already there
// is used only when isTrustedSharedFolder allows it: a folder that the calling thread's
// account owns gets that mode too; a link to a folder is used as it is. True when a folder
// to use stands at path afterwards; false with errno set otherwise (EPERM when what is there,
// or a folder above, is not to be used: why, when given, then says which and why, as
// isTrustedSharedFolder does).
bool createSharedFolder(const std::string& path, std::string* why = nullptr);

// True when the shared folder at path may be used: a folder that root or the account
// running the tool owns, or a link that one of them owns to such a folder (an
// administrator's choice), where every folder above it up to "/", as named and as resolved,
// is root's or that account's, writable by others only with the sticky bit, and writable by
// its group only with the sticky bit or where that group holds nobody but root, that account
// and system accounts (uid below UID_MIN of /etc/login.defs), as members or by their primary
// group (a link on the way must be theirs too). Anything else another account made, owns or
// could rename could lead root's writes and reads elsewhere: false with errno set (EACCES,
// ENOTDIR, ENOENT), and why, when given, naming the folder at fault and what may change it,
// e.g. "/var/log may be changed by group adm, which alice is in", "/tmp/x may be changed by
// every account", "/p may be changed by account bob", "/p/l is a link of account bob".
bool isTrustedSharedFolder(const std::string& path, std::string* why = nullptr);

// A new file at path in a shared folder, made with O_EXCL (mode, close-on-exec, for
// writing), to be written through the one descriptor returned and never opened again by
// name. An earlier regular file with one link of the calling thread's account at path is
// deleted first (an earlier output); anything else there an account acting as root moves
// out of the way, never following or reading it (moveAside); another account fails with
// EEXIST. -1 with errno set on failure.
int createSharedFile(const std::string& path, unsigned mode);

// Stands for MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) of a finished file onto its
// name (renameFile). In the public folder, where any account may have made that name first,
// an account acting as root never renames over what holds it: the two are swapped in one
// step (from then holds what was at to), however often another account puts something at
// the name again; then only its own earlier file is deleted, a link, a FIFO or a second name
// loses the name from, and anything else (another account's file, which may be its only
// copy, or a folder made there meanwhile) is kept there, aside. False with errno set; from
// is then where it was.
bool renameOntoSharedName(const std::string& from, const std::string& to);

// Told of each thing moved aside in a shared folder and kept there, by its old and its new
// (hidden) name, on the thread that moved it, so the log can say where it went. Set it
// before other threads start; null (the default): nobody is told.
using MovedAsideSink = void (*)(const std::string& from, const std::string& to);
void setMovedAsideSink(MovedAsideSink sink);

// Called with the name before each attempt of renameOntoSharedName to rename onto it; tests
// put something at that name meanwhile. Null (the default) unless a test sets it.
using SharedRenameHook = void (*)(const std::string& to);
void setBeforeSharedRename(SharedRenameHook hook);

// Stands for DeleteFileA of an earlier output at path before it is made again (deleteFile);
// in the public folder an account acting as root frees the name as renameOntoSharedName
// does. True when nothing is at path afterwards; false with errno set.
bool deleteSharedName(const std::string& path);

// The log, the old log and the lock in that folder are used only when each is a regular file
// with one link, or root's or the running account's file already in the shared mode 0666: a
// second name of anything else could be another account's private file, which must not be
// written, truncated or given another mode. Anything else there (a link, a folder, a second
// name, a FIFO) an account acting as root moves out of the way, never following or reading
// it, and replaces with a new file; another account leaves it alone and fails (errno ELOOP,
// EISDIR, EMLINK or EINVAL).

// Stands for fopen(path, "a") of the shared log, under the rule above; a file the calling
// thread's account owns is given mode 0666 so every account can append. Null with errno set
// on failure.
std::FILE* openSharedFileForAppend(const std::string& path);

// Stands for CopyFileA(src, dst, FALSE) in the rotation of the shared log: dst receives src
// whole up to maxBytes, else its last maxBytes bytes, so a log grown far past its bound costs
// no more; a cut copy begins after the first line end of its first 64 KiB (when there is one
// there), so it starts with a whole line. src is read only when it is a regular file with one
// link, not following a link there. dst is written in place, under the rule above (a missing
// one is made with mode 0666), so any account can rotate a log that another account rotated
// before. False with errno set when src or dst cannot be used or a read or write fails; dst
// may then hold part of the copy.
bool copySharedFileTail(const std::string& src, const std::string& dst, std::uint64_t maxBytes);

// Stands for fopen(path, "w") and fclose of the shared log: empties it, under the rule above.
// False with errno set (ENOENT when there is no file).
bool emptySharedFile(const std::string& path);

} // namespace ktPlatform

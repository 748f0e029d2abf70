#pragma once
// The one rule for a file the tool writes, changes the mode of or truncates in a shared
// folder. Internal.

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace ktPlatform {

// Opens path with access (O_WRONLY or O_RDWR, O_APPEND as needed), creating it with mode
// when create and it is missing. It is used only when it is a regular file with one link:
// a second name could lead to another account's file. Such a file of the calling thread's
// account is given mode. Anything else at path (a link, a folder, a second name, a FIFO),
// as lstat sees it, an account acting as root moves aside (moveAside) and replaces with a
// new empty file of mode when replacePlanted; another account, or any account without
// replacePlanted, leaves it alone. Returns the descriptor (close-on-exec) or -1 with errno
// set (ELOOP, EISDIR, EMLINK, EINVAL, ...).
int openSharedEntry(const std::string& path, int access, bool create, mode_t mode,
                    bool replacePlanted);

// Frees the name path for a new file without following or reading whatever holds it: a
// folder or a regular file with one link (someone's only copy) is renamed aside, to a hidden
// name beside it; anything else (a link, a FIFO, a second name of a file) loses only its
// name. True when nothing is at path afterwards; false with errno set.
bool moveAside(const std::string& path);

// True when the folders above path, up to "/", as named and as resolved, would make path a
// trusted shared folder (isTrustedSharedFolder), whether or not path exists yet: nothing is
// made there before they are judged. Else false with the reason in why (when given) and
// errno set.
bool mayMakeSharedFolder(const std::string& path, std::string* why);

// True when st is owned by root or by the account running the tool (its effective uid).
bool ownedByRootOrUs(const struct stat& st);

// A regular file of root's or of the running account that is already in the shared mode
// 0666: every account may read and write it anyway, so a second name of it (another
// account's hard link) gives nobody anything new, and it is used whatever its link count.
bool isSharedModeFile(const struct stat& st);

// Where the newest maxBytes of the size bytes of fd begin, moved to a line start: at the
// cut itself when a line ends just before it, else after the first line end in the 64 KiB
// that follow (where there is none, the cut stays). 0 when the whole fits.
off_t newestLinesStart(int fd, std::uint64_t size, std::uint64_t maxBytes);

// Six letters or digits no one can guess, for a new name; empty when no randomness could be
// had. Tests may give a source of their own (setNameSuffixSource).
std::string randomSuffix();

} // namespace ktPlatform

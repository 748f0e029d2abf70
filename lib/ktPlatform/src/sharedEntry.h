#pragma once
// The one rule for a file the tool writes, changes the mode of or truncates in a shared
// folder. Internal.

#include <string>
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

// Six letters or digits no one can guess, for a new name; empty when no randomness could be
// had. Tests may give a source of their own (setNameSuffixSource).
std::string randomSuffix();

} // namespace ktPlatform

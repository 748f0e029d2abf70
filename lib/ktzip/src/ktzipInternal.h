#pragma once
// Limits of the zip writer, visible to its tests.

#include <minizip/ioapi.h>

#include <cstdint>

namespace ktzip {

// Inputs of at least this many bytes are written as zip64 entries. The margin below
// 4 GiB covers deflate's growth of incompressible data (under 0.1 %) and a file that
// grows while it is read, since a plain entry whose sizes pass 32 bits is corrupt.
constexpr std::uint64_t kZip64From = 0xFFFFFFFFull - 16 * 1024 * 1024;

// The limit in force; tests lower it to see the zip64 form without writing 4 GiB.
extern std::uint64_t g_zip64From;

// Called with the archive's file functions once they are set up; tests wrap them to make
// chosen writes fail. Null unless a test sets it.
extern void (*g_wrapArchiveIo)(zlib_filefunc64_def& io);

} // namespace ktzip

#include "ktPlatform/memory.h"

#include <malloc.h>

namespace ktPlatform {

namespace {

// Blocks from this size on come from the system and go back to it when freed.
constexpr int kMmapThreshold = 512 * 1024;
// Free room at the top of the heap kept for the next allocations: twice the threshold, as
// glibc's own adjustment would set it.
constexpr int kTrimThreshold = 2 * kMmapThreshold;

} // namespace

void initProcessHeap()
{
    // A sanitizer's allocator ignores this; it has its own.
    ::mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    ::mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}

} // namespace ktPlatform

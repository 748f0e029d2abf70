#include "ktPlatform/memory.h"

#include <malloc.h>

namespace ktPlatform {

void initProcessHeap()
{
    // A sanitizer's allocator ignores this; it has its own.
    ::mallopt(M_MMAP_THRESHOLD, 512 * 1024);
}

} // namespace ktPlatform

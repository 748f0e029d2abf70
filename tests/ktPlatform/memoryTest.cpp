// The process heap as initProcessHeap leaves it.

#include "ktPlatform/memory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

// The program's break, where the heap ends.
char* heapEnd()
{
    return static_cast<char*>(::sbrk(0));
}

// A block below the threshold of large blocks is made and freed at the top of the heap, as
// the compressor's state is for each archive entry: its room stays for the next one rather
// than going back to the system. A large block comes from the system and never moves the
// heap's end.
TEST(ProcessHeap, KeepsTheRoomOfFreedStateAndHandsLargeBlocksBack)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator has a heap of its own";
#endif
    ktPlatform::initProcessHeap();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // More than any free room the heap may hold below its top, so it is made at the top.
        const std::size_t size = 400 * 1024;
        char* block = static_cast<char*>(std::malloc(size));
        ASSERT_NE(block, nullptr);
        block[0] = block[size - 1] = 1;
        char* const end = heapEnd();
        std::free(block);
        EXPECT_EQ(heapEnd(), end) << "the room was given back";
    }
    char* const end = heapEnd();
    char* large = static_cast<char*>(std::malloc(600 * 1024));
    ASSERT_NE(large, nullptr);
    large[0] = 1;
    EXPECT_EQ(heapEnd(), end);
    std::free(large);
}

} // namespace

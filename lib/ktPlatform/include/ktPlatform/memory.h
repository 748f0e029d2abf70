#pragma once
// The process heap.

namespace ktPlatform {

// Stands for the Windows heap's handling of large blocks, which come from the system and go
// back to it when freed: fixes glibc's threshold for such blocks at 512 KiB. Left alone, it
// rises to the largest block freed (up to 32 MiB), and the buffers of each long message then
// stay resident after use. Fixing it also fixes the room kept free at the top of the heap,
// which glibc would otherwise raise with it: that is set to 1 MiB, so that state freed and
// made again for each piece of work (the compressor's, per archive entry) is reused rather
// than given back to the system and faulted in again each time. Call once at start, before
// other threads run.
void initProcessHeap();

} // namespace ktPlatform

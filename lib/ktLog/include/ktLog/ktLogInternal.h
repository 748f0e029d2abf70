#pragma once
// Seams of the log facility for tests; not for production callers.

#include <chrono>

// How long a line waits for the cross-process lock before it is written without it
// (5 s by default: any local account can hold a lock on the shared file).
void ktLogSetLockTimeout(std::chrono::milliseconds timeout);

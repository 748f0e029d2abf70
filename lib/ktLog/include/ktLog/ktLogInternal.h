#pragma once
// Seams of the log facility for tests; not for production callers.

#include <chrono>

// How long a line waits for the cross-process lock before it is written without it
// (5 s by default: any local account can hold a lock on the shared file). After one such
// wait the process's further lines do not wait for that lock; setting the time-out makes
// them wait again.
void ktLogSetLockTimeout(std::chrono::milliseconds timeout);

#pragma once
// Seams of the log facility for tests; not for production callers.

#include <chrono>

// How long the process's lines wait for the cross-process lock, all waits together, before
// they are written without it (5 s by default: any local account can hold a lock on the
// shared file, or take it again each time it is let go). Setting it starts the budget anew.
void ktLogSetLockTimeout(std::chrono::milliseconds timeout);

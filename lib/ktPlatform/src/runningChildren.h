#pragma once
// The children of runProcess still running, for the interrupt handler. Internal.

namespace ktPlatform {

// Kills every child of runProcess that has not been reaped yet, with its process group.
// System calls only, for the signal handler; waits briefly for a child being started.
void killRunningChildren();

} // namespace ktPlatform

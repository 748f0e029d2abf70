#pragma once
// The names that the client status prints for the service's tunnel status and the
// steering configuration's traffic mode.

#include <string>

// The name of a "tunnelstatus" value (0 to 17); any other value gives its number, since
// the service may know states that this build does not.
std::string tunnelStatusName(int status);

// 1 "Cloud Apps Only", 2 "All Web Traffic", 3 "All Traffic"; any other mode "INVALID".
const char* trafficModeName(int mode);

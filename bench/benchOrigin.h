#pragma once
// The HTTPS origin of scripts/bench: serves the speed test's sizes from one block in memory
// and drops what is uploaded, so the server costs the measured transfers as little as
// possible. Certificates of the test PKI; 127.0.0.1 only.

#include <cstdint>

namespace benchOrigin {

// Listens on a free port and serves, one thread per connection, for the life of the
// process; the port. Throws std::runtime_error when it cannot.
std::uint16_t start();

} // namespace benchOrigin

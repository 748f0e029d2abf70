#pragma once
// Small text helpers shared by the stand-ins that read system files. Internal.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktPlatform {

// A decimal number no greater than limit, digits only (no sign, no blanks).
bool parseUnsigned(const std::string& text, std::uint64_t limit, std::uint64_t& value);
// The same for a number of at most 32 bits.
bool parseUint32(const std::string& text, std::uint32_t& value);

// Reads a regular file of at most limit bytes whole; false with errno otherwise (EFBIG
// when it is larger).
bool readSmallFile(const std::string& path, std::string& text, std::size_t limit = 64 * 1024);

// text without the blanks and line ends at its end.
std::string trimLineEnd(const std::string& text);

} // namespace ktPlatform

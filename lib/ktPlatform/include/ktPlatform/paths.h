#pragma once
// Path joining: "/" separators on Linux wherever the Windows code joins with "\".

#include <string>

namespace ktPlatform {

constexpr char kPathSeparator = '/';

// a + "/" + b, without doubling a separator already at the end of a; an empty a gives b.
std::string joinPath(const std::string& a, const std::string& b);

} // namespace ktPlatform

#include "ktPlatform/paths.h"

namespace ktPlatform {

std::string joinPath(const std::string& a, const std::string& b)
{
    if (a.empty()) {
        return b;
    }
    if (a.back() == kPathSeparator) {
        return a + b;
    }
    return a + kPathSeparator + b;
}

} // namespace ktPlatform

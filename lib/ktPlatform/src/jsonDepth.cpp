#include "ktPlatform/jsonDepth.h"

#include <limits>

namespace ktPlatform {

bool jsonNestingWithin(const std::string& text, int maxDepth)
{
    return jsonWithin(text, maxDepth, std::numeric_limits<std::size_t>::max());
}

bool jsonWithin(const std::string& text, int maxDepth, std::size_t maxValues)
{
    int depth = 0;
    std::size_t values = 0;
    bool inString = false;
    bool escaped = false;
    bool inScalar = false; // inside a number or literal
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            inScalar = false;
            ++values;
            break;
        case '{':
        case '[':
            if (++depth > maxDepth) {
                return false;
            }
            inScalar = false;
            ++values;
            break;
        case '}':
        case ']':
            --depth;
            inScalar = false;
            break;
        case ',':
        case ':':
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            inScalar = false;
            break;
        default:
            if (!inScalar) {
                inScalar = true;
                ++values;
            }
            break;
        }
        if (values > maxValues) {
            return false;
        }
    }
    return true;
}

} // namespace ktPlatform

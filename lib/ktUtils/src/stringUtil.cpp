#include "ktUtils/stringUtil.h"

char toLowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string toLowerAscii(std::string text)
{
    for (char& c : text) {
        c = toLowerAscii(c);
    }
    return text;
}

#pragma once
// Small text helpers.

#include <string>

// c with 'A' to 'Z' mapped to 'a' to 'z'; every other byte, UTF-8 ones included, unchanged
// (the C library's tolower in the "C" and UTF-8 locales the tool runs in).
char toLowerAscii(char c);
// text with each byte mapped by toLowerAscii.
std::string toLowerAscii(std::string text);

#pragma once
// Narrow strings are UTF-8; wide strings are UTF-32 (wchar_t is 32-bit here).

#include <string>

namespace ktPlatform {

// Stands for MultiByteToWideChar(CP_UTF8): invalid sequences become U+FFFD.
std::wstring toWide(const std::string& utf8);
// Stands for WideCharToMultiByte(CP_UTF8): invalid code points become U+FFFD.
std::string toNarrow(const std::wstring& wide);
// text as valid UTF-8: each invalid sequence becomes U+FFFD, valid text is unchanged.
std::string toValidUtf8(const std::string& text);

// Sets a UTF-8 LC_CTYPE for the process so "%ls" formats wide text; call once at start.
void initProcessLocale();

} // namespace ktPlatform

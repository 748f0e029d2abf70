#pragma once
// Text that came from outside the tool: from the service, an HTTP server, a PAC script or a
// file another account can write. It reaches the log and the console only escaped, so a peer
// can neither forge nor break a line nor drive the terminal. The log escapes every message
// itself (ktLog.h); the console's writers escape what they print. Escaping is idempotent:
// escaped text has no control character left, and a backslash stays as it is.

#include <cstddef>
#include <cstdio>
#include <string>

// The longest message a log line keeps; a longer one is cut there anyway.
constexpr std::size_t kLogMessageLimit = 4095;

// text with each control character shown as a visible escape: \n, \r and \t, any other byte
// below 0x20 and 0x7F as \xNN (upper-case hex), the C1 controls U+0080 to U+009F, in their
// UTF-8 form, as \u0080 to \u009F, and a byte 0x80 to 0x9F outside valid UTF-8 (a C1 control
// to an 8-bit terminal) as \xNN. Every other byte stays, so UTF-8 text reads as it was.
// Stops before the result would pass maxBytes, never inside an escape.
std::string escapeControlChars(const std::string& text, std::size_t maxBytes = kLogMessageLimit);

// Writes all of text to out escaped as above, in pieces, so a long text is never copied
// whole. False when writing failed.
bool writeEscaped(std::FILE* out, const std::string& text);

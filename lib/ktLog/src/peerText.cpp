#include "ktLog/peerText.h"

#include <cstdio>
#include <cstring>

namespace {

// Length of the valid UTF-8 sequence of two to four bytes at data[at], read up to the end of
// data (so a sequence across a piece's end is judged whole); 0 when none starts there.
std::size_t sequenceAt(const std::string& data, std::size_t at)
{
    const auto byte = [&data](std::size_t i) { return static_cast<unsigned char>(data[i]); };
    const unsigned char c = byte(at);
    std::size_t length = 0;
    // The second byte's range also rules out overlong forms, surrogates and code points past
    // U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : low;
        high = c == 0xED ? 0x9F : high;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : low;
        high = c == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (data.size() - at < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// Escapes data[from, to) onto out until out would pass maxBytes; a UTF-8 sequence that
// starts before to is taken whole. Returns where it stopped.
std::size_t escapeRange(std::string& out, const std::string& data, std::size_t from, std::size_t to,
                        std::size_t maxBytes)
{
    std::size_t at = from;
    while (at < to) {
        const auto c = static_cast<unsigned char>(data[at]);
        char escape[8] = {};
        std::size_t length = 1;
        std::size_t used = 1;
        const std::size_t sequence = c >= 0x80 ? sequenceAt(data, at) : 0;
        if (c == '\n') {
            escape[0] = '\\';
            escape[1] = 'n';
            length = 2;
        } else if (c == '\r') {
            escape[0] = '\\';
            escape[1] = 'r';
            length = 2;
        } else if (c == '\t') {
            escape[0] = '\\';
            escape[1] = 't';
            length = 2;
        } else if (c < 0x20 || c == 0x7F) {
            length = static_cast<std::size_t>(std::snprintf(escape, sizeof(escape), "\\x%02X", c));
        } else if (sequence == 2 && c == 0xC2 && static_cast<unsigned char>(data[at + 1]) <= 0x9F) {
            // A C1 control: 8-bit terminals read U+009B as the start of a command.
            length = static_cast<std::size_t>(std::snprintf(
                escape, sizeof(escape), "\\u00%02X", static_cast<unsigned char>(data[at + 1])));
            used = 2;
        } else if (sequence > 0) {
            std::memcpy(escape, data.data() + at, sequence);
            length = sequence;
            used = sequence;
        } else if (c >= 0x80 && c <= 0x9F) {
            // Outside UTF-8 the byte is a C1 control itself.
            length = static_cast<std::size_t>(std::snprintf(escape, sizeof(escape), "\\x%02X", c));
        } else {
            escape[0] = static_cast<char>(c);
        }
        if (out.size() + length > maxBytes) {
            break;
        }
        out.append(escape, length);
        at += used;
    }
    return at;
}

} // namespace

std::string escapeControlChars(const std::string& text, std::size_t maxBytes)
{
    std::string out;
    escapeRange(out, text, 0, text.size(), maxBytes);
    return out;
}

bool writeEscaped(std::FILE* out, const std::string& text)
{
    constexpr std::size_t kPiece = 16 * 1024;
    std::string piece;
    piece.reserve(4 * kPiece + 8);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t to = text.size() - at > kPiece ? at + kPiece : text.size();
        piece.clear();
        // Four output bytes at most per input byte: the piece is always taken whole, with the
        // rest of a UTF-8 sequence that starts in it.
        const std::size_t next = escapeRange(piece, text, at, to, piece.capacity());
        if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) {
            return false;
        }
        at = next;
    }
    return true;
}

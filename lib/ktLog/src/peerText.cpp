#include "ktLog/peerText.h"

#include <cstdio>
#include <cstring>

namespace {

// Escapes data[from, to) onto out until out would pass maxBytes. A 0xC2 byte that ends the
// range is left for the next range unless last says no more follows. Returns where it stopped.
std::size_t escapeRange(std::string& out, const std::string& data, std::size_t from, std::size_t to,
                        bool last, std::size_t maxBytes)
{
    std::size_t at = from;
    while (at < to) {
        const auto c = static_cast<unsigned char>(data[at]);
        char escape[8] = {};
        std::size_t used = 1;
        if (c == '\n') {
            escape[0] = '\\';
            escape[1] = 'n';
        } else if (c == '\r') {
            escape[0] = '\\';
            escape[1] = 'r';
        } else if (c == '\t') {
            escape[0] = '\\';
            escape[1] = 't';
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof(escape), "\\x%02X", c);
        } else if (c == 0xC2 && at + 1 == to && !last) {
            break; // the pair may complete in the next range
        } else if (c == 0xC2 && at + 1 < to && static_cast<unsigned char>(data[at + 1]) >= 0x80 &&
                   static_cast<unsigned char>(data[at + 1]) <= 0x9F) {
            // A C1 control: 8-bit terminals read U+009B as the start of a command.
            std::snprintf(escape, sizeof(escape), "\\u00%02X",
                          static_cast<unsigned char>(data[at + 1]));
            used = 2;
        } else {
            escape[0] = static_cast<char>(c);
        }
        const std::size_t length = escape[1] == '\0' ? 1 : std::strlen(escape);
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
    escapeRange(out, text, 0, text.size(), true, maxBytes);
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
        // Four output bytes at most per input byte: the piece is always taken whole but for a
        // trailing 0xC2, which starts the next one.
        const std::size_t next =
            escapeRange(piece, text, at, to, to == text.size(), piece.capacity());
        if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) {
            return false;
        }
        at = next;
    }
    return true;
}

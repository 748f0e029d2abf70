// The system's base64 decoder on any text, against the rule it follows: the characters
// before the first one outside the alphabet count, every four give three bytes, a final two
// or three give one or two. Encoding the input and decoding it again must give it back.

#include "ktFuzz/fuzzSupport.h"

#include "ktCrypto/ktEncryptedFile.h"

#include <cstring>
#include <string>

namespace {

bool inAlphabet(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const char* text = reinterpret_cast<const char*>(data);
    const auto length = static_cast<unsigned int>(size);

    std::size_t valid = 0;
    while (valid < size && inAlphabet(text[valid])) {
        ++valid;
    }
    const std::string decoded = base64Decode(text, length);
    const std::size_t rest = valid % 4;
    KT_FUZZ_CHECK(decoded.size() == valid / 4 * 3 + (rest == 2 ? 1 : rest == 3 ? 2 : 0));
    // Only the valid part counts.
    KT_FUZZ_CHECK(base64Decode(text, static_cast<unsigned int>(valid)) == decoded);
    // Whole groups encode back to the very text.
    const std::size_t whole = valid / 4 * 4;
    KT_FUZZ_CHECK(base64Encode(reinterpret_cast<const unsigned char*>(decoded.data()),
                               static_cast<unsigned int>(whole / 4 * 3)) ==
                  std::string(text, whole));

    const std::string encoded = base64Encode(data, length);
    KT_FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    KT_FUZZ_CHECK(base64Decode(encoded.c_str(), static_cast<unsigned int>(encoded.size())) ==
                  std::string(text, size));
    KT_FUZZ_CHECK(base64Decode(nullptr, length).empty());
    return 0;
}

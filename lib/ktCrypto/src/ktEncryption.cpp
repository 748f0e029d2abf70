#include "ktCrypto/ktEncryption.h"

#include "ktCrypto/aes.h"
#include "ktLog/ktLog.h"

#include <openssl/crypto.h>

static const char* const kLogModule = "ktEncryption";

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kIvSize = 16;
constexpr std::size_t kBlockSize = 16;

// The decrypted bytes, wiped when they go.
struct PlainBuffer {
    unsigned char bytes[kMaxCipherText + kBlockSize] = {};
    ~PlainBuffer() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

} // namespace

bool ktDecrypt(std::string& key, std::string& iv, const std::string& cipherText,
               std::string& plainText)
{
    if (key.empty() || iv.empty() || cipherText.empty()) {
        KTLOG(KT_LOG_ERROR, "invalid parameters");
        return false;
    }
    if (key.size() > kKeySize || iv.size() > kIvSize) {
        KTLOG(KT_LOG_ERROR, "key more than 32 bytes or salt more than 16 bytes are not supported.");
        return false;
    }
    if (cipherText.size() > kMaxCipherText) {
        KTLOG(KT_LOG_ERROR, "cipher text of %d bytes is more than %d bytes, not supported.",
              static_cast<int>(cipherText.size()), static_cast<int>(kMaxCipherText));
        return false;
    }
    key.resize(kKeySize, '0');
    iv.resize(kIvSize, '0');

    CKTAes aes;
    if (!aes.init(reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                  reinterpret_cast<const unsigned char*>(iv.data()), iv.size())) {
        KTLOG(KT_LOG_ERROR, "Failed to initialize aes");
        return false;
    }
    std::string encoded;
    if (!aes.getEncodedKey(encoded)) {
        KTLOG(KT_LOG_ERROR, "Failed to get key in encoded format");
        return false;
    }
    const bool loaded = aes.loadEncodedKey(encoded.c_str(), encoded.size());
    OPENSSL_cleanse(&encoded[0], encoded.size());
    if (!loaded) {
        KTLOG(KT_LOG_ERROR, "Failed to load encoded key");
        return false;
    }
    // A context that failed to start makes the update fail.
    aes.decryptInit();

    PlainBuffer buffer;
    const int room = static_cast<int>(sizeof(buffer.bytes));
    int written = room;
    if (!aes.decryptUpdate(reinterpret_cast<const unsigned char*>(cipherText.data()),
                           static_cast<int>(cipherText.size()), buffer.bytes, &written)) {
        KTLOG(KT_LOG_ERROR, "Failed to update aes decryption flow");
        return false;
    }
    int last = room - written;
    if (!aes.decryptFinal(buffer.bytes + written, &last)) {
        KTLOG(KT_LOG_ERROR, "Failed to finalize aes decryption flow");
        return false;
    }
    plainText.assign(reinterpret_cast<const char*>(buffer.bytes),
                     static_cast<std::size_t>(written + last));
    return true;
}

#include "ktCrypto/aes.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktLog/ktLog.h"

#include <cstring>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

static const char* const kLogModule = "aes";

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kIvSize = 16;
constexpr int kBlockSize = 16;

void logOpenSslFailure(const char* function)
{
    const unsigned long code = ERR_get_error();
    char text[2048] = {};
    ERR_error_string_n(code, text, sizeof(text));
    KTLOG(KT_LOG_ERROR, "%s failed, err: %d, errStr: %s",
          ("\"" + std::string(function) + "\"").c_str(), static_cast<int>(code), text);
}

void wipe(std::string& secret)
{
    if (!secret.empty()) {
        OPENSSL_cleanse(&secret[0], secret.size());
    }
    secret.clear();
}

// Takes given bytes, or size random ones when none are given.
bool setMaterial(std::string& field, const unsigned char* given, std::size_t length,
                 std::size_t size)
{
    if (given != nullptr && length != 0) {
        wipe(field);
        field.assign(reinterpret_cast<const char*>(given), length);
        return true;
    }
    wipe(field);
    field.resize(size);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&field[0]), static_cast<int>(size)) != 1) {
        logOpenSslFailure("RAND_bytes");
        return false;
    }
    return true;
}

} // namespace

CKTAes::~CKTAes()
{
    if (m_ctx != nullptr) {
        EVP_CIPHER_CTX_free(m_ctx);
    }
    wipe(m_key);
    wipe(m_iv);
}

bool CKTAes::init(const unsigned char* key, std::size_t keyLength, const unsigned char* iv,
                  std::size_t ivLength)
{
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                            OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                        nullptr);
    return setMaterial(m_key, key, keyLength, kKeySize) && setMaterial(m_iv, iv, ivLength, kIvSize);
}

bool CKTAes::getEncodedKey(std::string& encoded)
{
    if (m_key.empty() || m_iv.empty()) {
        KTLOG(KT_LOG_ERROR, "keys not configured");
        return false;
    }
    encoded = base64Encode(reinterpret_cast<const unsigned char*>(m_key.data()),
                           static_cast<unsigned int>(m_key.size())) +
              ":" +
              base64Encode(reinterpret_cast<const unsigned char*>(m_iv.data()),
                           static_cast<unsigned int>(m_iv.size()));
    return true;
}

bool CKTAes::loadEncodedKey(const char* encoded, std::size_t length)
{
    if (encoded == nullptr || length == 0) {
        KTLOG(KT_LOG_ERROR, "invalid params");
        return false;
    }
    const std::string text(encoded, length);
    const std::string::size_type colon = text.find(':');
    if (colon != std::string::npos) {
        wipe(m_key);
        wipe(m_iv);
        m_key = base64Decode(text.c_str(), static_cast<unsigned int>(colon));
        m_iv = base64Decode(text.c_str() + colon + 1,
                            static_cast<unsigned int>(text.size() - colon - 1));
    }
    return true;
}

bool CKTAes::decryptInit()
{
    if (m_ctx != nullptr) {
        EVP_CIPHER_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
    m_ctx = EVP_CIPHER_CTX_new();
    if (m_ctx == nullptr) {
        logOpenSslFailure("EVP_CIPHER_CTX_new");
        return false;
    }
    // OpenSSL reads exactly 32 key bytes and 16 IV bytes, whatever the strings hold.
    if (m_key.size() != kKeySize || m_iv.size() != kIvSize) {
        KTLOG(KT_LOG_ERROR, "key of %d bytes or iv of %d bytes does not fit aes-256",
              static_cast<int>(m_key.size()), static_cast<int>(m_iv.size()));
        EVP_CIPHER_CTX_free(m_ctx);
        m_ctx = nullptr;
        return false;
    }
    if (EVP_DecryptInit_ex(m_ctx, EVP_aes_256_cbc(), nullptr,
                           reinterpret_cast<const unsigned char*>(m_key.data()),
                           reinterpret_cast<const unsigned char*>(m_iv.data())) != 1) {
        logOpenSslFailure("EVP_DecryptInit_ex");
        EVP_CIPHER_CTX_free(m_ctx);
        m_ctx = nullptr;
        return false;
    }
    return true;
}

bool CKTAes::decryptUpdate(const unsigned char* in, int inLength, unsigned char* out,
                           int* outLength)
{
    if (in == nullptr || inLength <= 0 || out == nullptr || outLength == nullptr ||
        *outLength <= 0) {
        KTLOG(KT_LOG_ERROR, "invalid parameters");
        return false;
    }
    // OpenSSL may write the input plus one block when it releases a held-back block.
    if (*outLength < kBlockSize || *outLength - kBlockSize < inLength) {
        KTLOG(KT_LOG_ERROR, "outbuffer size not enough");
        return false;
    }
    if (m_ctx == nullptr) {
        KTLOG(KT_LOG_ERROR, "cipher_ctx not set");
        return false;
    }
    if (EVP_DecryptUpdate(m_ctx, out, outLength, in, inLength) != 1) {
        logOpenSslFailure("EVP_DecryptUpdate");
        return false;
    }
    return true;
}

bool CKTAes::decryptFinal(unsigned char* out, int* outLength)
{
    if (out == nullptr || outLength == nullptr || *outLength <= 0) {
        KTLOG(KT_LOG_ERROR, "invalid parameters");
        return false;
    }
    if (*outLength < kBlockSize) {
        KTLOG(KT_LOG_ERROR, "outbuffer size not enough");
        return false;
    }
    if (m_ctx == nullptr) {
        KTLOG(KT_LOG_ERROR, "cipher_ctx not set");
        return false;
    }
    if (EVP_DecryptFinal_ex(m_ctx, out, outLength) != 1) {
        logOpenSslFailure("EVP_CipherFinal_ex");
        return false;
    }
    return true;
}

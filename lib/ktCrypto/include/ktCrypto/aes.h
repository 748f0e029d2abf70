#pragma once
// AES-256-CBC decryption with PKCS#7 padding over one cipher context. Failures are a false
// result and one error line; nothing throws.

#include <cstddef>
#include <string>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

class CKTAes {
public:
    CKTAes() = default;
    // Frees the context and wipes the key material.
    ~CKTAes();
    CKTAes(const CKTAes&) = delete;
    CKTAes& operator=(const CKTAes&) = delete;

    // Takes the key and the IV; a null or empty one is replaced by 32 (or 16) random bytes.
    bool init(const unsigned char* key, std::size_t keyLength, const unsigned char* iv,
              std::size_t ivLength);
    // base64(key) ":" base64(iv); false when either is not set.
    bool getEncodedKey(std::string& encoded);
    // Loads key and IV from the text getEncodedKey gives. Without a ":" nothing changes
    // and the result is still true.
    bool loadEncodedKey(const char* encoded, std::size_t length);

    // Starts a decryption with a fresh context.
    bool decryptInit();
    // *outLength: the room in out on entry (at least inLength plus one block), the bytes
    // written on return.
    bool decryptUpdate(const unsigned char* in, int inLength, unsigned char* out, int* outLength);
    // Checks and strips the padding; *outLength as above, with a room of at least one block.
    bool decryptFinal(unsigned char* out, int* outLength);

private:
    EVP_CIPHER_CTX* m_ctx = nullptr;
    std::string m_key;
    std::string m_iv;
};

#include "ktCrypto/aes.h"
#include "ktCrypto/ktEncryptedFile.h"
#include "ktCrypto/ktEncryption.h"

#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <openssl/evp.h>
#include <vector>

namespace {

// AES-256-CBC with PKCS#7 padding, made here with EVP as the vector source.
std::string encrypt(const std::string& key, const std::string& iv, const std::string& plain)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    std::vector<unsigned char> out(plain.size() + 16);
    int len = 0;
    int last = 0;
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(iv.size(), 16u);
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                                 reinterpret_cast<const unsigned char*>(key.data()),
                                 reinterpret_cast<const unsigned char*>(iv.data())),
              1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len,
                                reinterpret_cast<const unsigned char*>(plain.data()),
                                static_cast<int>(plain.size())),
              1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &last), 1);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(len + last));
}

const std::string kProductId = "00330-80000-00000-AA123"; // 23 characters
const std::string kIv = "vevodeziradire52";

TEST(Decrypt, ShortKeysArePaddedWithZeroCharactersInPlace)
{
    const std::string cipher = encrypt(kProductId + "000000000", kIv, "user:secret");
    std::string key = kProductId;
    std::string iv = kIv;
    std::string plain;
    ASSERT_TRUE(ktDecrypt(key, iv, cipher, plain));
    EXPECT_EQ(plain, "user:secret");
    EXPECT_EQ(key, kProductId + "000000000");
    EXPECT_EQ(iv, kIv);

    std::string shortIv = "abc";
    key = "k";
    ASSERT_TRUE(ktDecrypt(key, shortIv,
                          encrypt("k" + std::string(31, '0'), "abc" + std::string(13, '0'), "x"),
                          plain));
    EXPECT_EQ(plain, "x");
    EXPECT_EQ(shortIv.size(), 16u);
}

TEST(Decrypt, ResultIsExactlyThePlaintext)
{
    const std::string key32(32, 'K');
    const struct {
        const char* name;
        std::string plain;
    } cases[] = {
        {"with zero bytes", std::string("a\0b\0", 4)},
        {"one full padding block", ""},
        {"one block", std::string(16, 'p')},
        {"longest that fits: 1024 cipher bytes", std::string(1023, 'q')},
    };
    for (const auto& c : cases) {
        std::string key = key32;
        std::string iv = kIv;
        std::string plain = "previous";
        const std::string cipher = encrypt(key32, kIv, c.plain);
        ASSERT_LE(cipher.size(), kMaxCipherText) << c.name;
        ASSERT_TRUE(ktDecrypt(key, iv, cipher, plain)) << c.name;
        EXPECT_EQ(plain, c.plain) << c.name;
    }
}

TEST(Decrypt, RefusedInput)
{
    const std::string key32(32, 'K');
    const std::string good = encrypt(key32, kIv, "secret");
    struct Case {
        const char* name;
        std::string key;
        std::string iv;
        std::string cipher;
        const char* logged;
    };
    const Case cases[] = {
        {"empty cipher text", key32, kIv, "", "invalid parameters"},
        {"empty key", "", kIv, good, "invalid parameters"},
        {"empty iv", key32, "", good, "invalid parameters"},
        {"33-character key", std::string(33, 'K'), kIv, good,
         "key more than 32 bytes or salt more than 16 bytes are not supported."},
        {"17-character iv", key32, kIv + "x", good,
         "key more than 32 bytes or salt more than 16 bytes are not supported."},
        {"cipher text over 1024 bytes", key32, kIv, encrypt(key32, kIv, std::string(1024, 'q')),
         "is more than 1024 bytes"},
        {"length not a multiple of the block", key32, kIv, good.substr(0, 15),
         "Failed to finalize aes decryption flow"},
        {"another key", std::string(32, 'L'), kIv, good, "Failed to finalize aes decryption flow"},
    };
    for (const Case& c : cases) {
        std::string key = c.key;
        std::string iv = c.iv;
        std::string plain = "untouched";
        ktTest::clearLog();
        EXPECT_FALSE(ktDecrypt(key, iv, c.cipher, plain)) << c.name;
        EXPECT_EQ(plain, "untouched") << c.name;
        EXPECT_TRUE(ktTest::logHas(c.logged)) << c.name << ": " << ktTest::logText();
    }
}

TEST(Aes, OutputRoomMustHoldTheInputAndOneBlock)
{
    const std::string key(32, 'K');
    const std::string cipher = encrypt(key, kIv, std::string(60, 'p')); // 64 bytes
    CKTAes aes;
    ASSERT_TRUE(aes.init(reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                         reinterpret_cast<const unsigned char*>(kIv.data()), kIv.size()));
    ASSERT_TRUE(aes.decryptInit());
    const auto* in = reinterpret_cast<const unsigned char*>(cipher.data());
    // Heap buffers of exactly the stated room, so AddressSanitizer sees any write past it.
    std::unique_ptr<unsigned char[]> small(new unsigned char[64]);
    int room = 64;
    ktTest::clearLog();
    EXPECT_FALSE(aes.decryptUpdate(in, 64, small.get(), &room));
    EXPECT_TRUE(ktTest::logHas("outbuffer size not enough"));

    std::unique_ptr<unsigned char[]> enough(new unsigned char[80]);
    room = 80;
    ASSERT_TRUE(aes.decryptUpdate(in, 64, enough.get(), &room));
    int last = 15;
    EXPECT_FALSE(aes.decryptFinal(enough.get() + room, &last));
    last = 80 - room;
    ASSERT_TRUE(aes.decryptFinal(enough.get() + room, &last));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(enough.get()), static_cast<size_t>(room + last)),
              std::string(60, 'p'));

    CKTAes fresh;
    room = 80;
    ktTest::clearLog();
    EXPECT_FALSE(fresh.decryptUpdate(in, 64, enough.get(), &room));
    EXPECT_TRUE(ktTest::logHas("cipher_ctx not set"));
}

TEST(Aes, EncodedKeyMaterial)
{
    CKTAes aes;
    std::string encoded;
    EXPECT_FALSE(aes.getEncodedKey(encoded));
    ASSERT_TRUE(aes.init(nullptr, 0, nullptr, 0));
    ASSERT_TRUE(aes.getEncodedKey(encoded));
    const std::string::size_type colon = encoded.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(colon, 44u) << "base64 of 32 random bytes";
    EXPECT_EQ(encoded.size() - colon - 1, 24u) << "base64 of 16 random bytes";

    EXPECT_TRUE(aes.loadEncodedKey("no colon here", 13));
    std::string after;
    ASSERT_TRUE(aes.getEncodedKey(after));
    EXPECT_EQ(after, encoded) << "a text without a colon changes nothing";
    EXPECT_FALSE(aes.loadEncodedKey(nullptr, 3));
    EXPECT_FALSE(aes.loadEncodedKey("", 0));

    // Key material that does not fit AES-256 is never handed to OpenSSL.
    ASSERT_TRUE(aes.loadEncodedKey("c2hvcnQ=:c2hvcnQ=", 17));
    ktTest::clearLog();
    EXPECT_FALSE(aes.decryptInit());
    EXPECT_TRUE(ktTest::logHas("does not fit aes-256"));
}

} // namespace

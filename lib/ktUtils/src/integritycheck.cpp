#include "ktUtils/integritycheck.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"
#include "ktPlatform/namedLock.h"
#include "ktPlatform/strings.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/params.h>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

static const char* const kLogModule = "integritycheck";

namespace {

namespace pt = boost::property_tree;

const wchar_t* const kDigestFile = L"ktinternal.json";
// Another writer holds the lock only for one read-modify-write.
constexpr std::chrono::milliseconds kLockWait(5000);

// The digest key is built at run time from these words, never read from a file.
constexpr std::uint32_t kKeyWords[4] = {0x4b7d2e91u, 0xc35a08f6u, 0x1e9b74d2u, 0x68f0a53cu};

struct DigestKey {
    unsigned char bytes[16];
    DigestKey()
    {
        for (int i = 0; i < 4; ++i) {
            for (int b = 0; b < 4; ++b) {
                bytes[4 * i + b] = static_cast<unsigned char>(kKeyWords[i] >> (24 - 8 * b));
            }
        }
    }
    ~DigestKey() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

std::wstring digestPath(const std::wstring& folder)
{
    return folder + L"/" + kDigestFile;
}

bool readDigestFile(const std::wstring& path, std::string& content,
                    const std::optional<std::string>& beneath)
{
    return beneath ? readFileBeneath(*beneath, path.c_str(), content)
                   : readFile(path.c_str(), content);
}

// The JSON text up to its first zero byte, as one object; false with the reason otherwise.
bool parseDigests(const std::string& content, pt::ptree& tree, std::string& error)
{
    const std::string text = content.substr(0, content.find('\0'));
    if (!jsonNestingWithin(text)) {
        error = "nesting too deep";
        return false;
    }
    try {
        std::istringstream in(text);
        pt::read_json(in, tree);
    } catch (const pt::json_parser_error& e) {
        error = e.what();
        return false;
    }
    // An array reads as members without names; a digest file is an object.
    for (const auto& member : tree) {
        if (member.first.empty()) {
            error = "not a JSON object";
            return false;
        }
    }
    return true;
}

void toHex(const unsigned char* md, unsigned int length, std::string& hex)
{
    static const char* const kDigits = "0123456789abcdef";
    hex.clear();
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[md[i] >> 4];
        hex += kDigits[md[i] & 0x0F];
    }
}

struct MacDeleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The file's digest, read in blocks so that a large list costs no more memory than a
// block. False, logged, when the file cannot be read whole.
bool hmacSha1HexOfFile(const std::wstring& path, std::string& hex)
{
    const std::string narrow = ktPlatform::toNarrow(path);
    std::unique_ptr<std::FILE, FileCloser> file(ktPlatform::openRegularFile(narrow, "rb"));
    if (!file) {
        KTLOG(KT_LOG_ERROR, "failed to read file %ls", path.c_str());
        return false;
    }
    const DigestKey key;
    std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    std::unique_ptr<EVP_MAC_CTX, MacDeleter> ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    char digestName[] = "SHA1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
        OSSL_PARAM_construct_end()};
    if (!ctx || EVP_MAC_init(ctx.get(), key.bytes, sizeof(key.bytes), params) != 1) {
        KTLOG(KT_LOG_ERROR, "HMAC-SHA1 failed to start for %ls", path.c_str());
        return false;
    }
    // Small enough to stay in the cache between the copy from the kernel and the hashing.
    std::vector<unsigned char> block(64 * 1024);
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
        if (got > 0 && EVP_MAC_update(ctx.get(), block.data(), got) != 1) {
            KTLOG(KT_LOG_ERROR, "HMAC-SHA1 failed for %ls", path.c_str());
            return false;
        }
        if (got < block.size()) {
            break;
        }
    }
    if (std::ferror(file.get()) != 0) {
        KTLOG(KT_LOG_ERROR, "failed to read file %ls", path.c_str());
        return false;
    }
    unsigned char md[EVP_MAX_MD_SIZE] = {};
    std::size_t mdLen = 0;
    if (EVP_MAC_final(ctx.get(), md, &mdLen, sizeof(md)) != 1 || mdLen != 20) {
        KTLOG(KT_LOG_ERROR, "HMAC-SHA1 failed for %ls", path.c_str());
        return false;
    }
    toHex(md, static_cast<unsigned int>(mdLen), hex);
    return true;
}

} // namespace

bool hmacSha1Hex(const std::string& data, std::string& hex)
{
    const DigestKey key;
    unsigned char md[EVP_MAX_MD_SIZE] = {};
    unsigned int mdLen = 0;
    if (HMAC(EVP_sha1(), key.bytes, sizeof(key.bytes),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), md,
             &mdLen) == nullptr ||
        mdLen != 20) {
        KTLOG(KT_LOG_ERROR, "HMAC-SHA1 failed, size %d, md len %d", static_cast<int>(data.size()),
              static_cast<int>(mdLen));
        return false;
    }
    toHex(md, mdLen, hex);
    return true;
}

InternalFileStatus updateInternalFile(const std::wstring& folder, const std::string& key,
                                      const std::string& value, std::string& error,
                                      const std::optional<std::string>& beneath)
{
    const std::wstring path = digestPath(folder);
    // The lock is private to the writing account and lies outside every collected folder:
    // no other account can hold it to make saves fail.
    const std::optional<std::string> lockFolder = ktPlatform::privateLockFolder();
    ktPlatform::NamedLock lock;
    if (!lockFolder || !lock.open(*lockFolder, ktPlatform::toNarrow(kDigestFile), false) ||
        !lock.lock(kLockWait)) {
        KTLOG(KT_LOG_ERROR, "Failed to lock %ls, err: %d", path.c_str(), ktPlatform::lastError());
        return InternalFileStatus::lockFailed;
    }
    struct Unlock {
        ktPlatform::NamedLock& lock;
        ~Unlock() { lock.unlock(); }
    } unlock{lock};

    std::string content;
    if (!readDigestFile(path, content, beneath)) {
        // Only a file that is not there counts as empty: one that cannot be read is kept.
        if (pathTaken(path)) {
            error = "cannot read the file";
            return InternalFileStatus::unreadable;
        }
        content.clear();
    }
    pt::ptree tree;
    if (!content.empty() && !parseDigests(content, tree, error)) {
        return InternalFileStatus::notJson;
    }
    try {
        tree.put(pt::ptree::path_type(key, '.'), value);
        std::ostringstream out;
        pt::write_json(out, tree, true);
        if (!writeFile(path.c_str(), out.str())) {
            return InternalFileStatus::writeFailed;
        }
    } catch (const std::exception& e) {
        error = e.what();
        return InternalFileStatus::treeError;
    }
    return InternalFileStatus::ok;
}

namespace {

// Stores hex under key in <folder>/ktinternal.json, keeping its other members.
bool storeDigest(const std::wstring& folder, const std::string& hex, const std::string& key,
                 const std::optional<std::string>& beneath = std::nullopt)
{
    std::string error;
    switch (updateInternalFile(folder, key, hex, error, beneath)) {
    case InternalFileStatus::ok:
        return true;
    case InternalFileStatus::lockFailed:
    case InternalFileStatus::unreadable:
        return false;
    case InternalFileStatus::notJson:
        KTLOG(KT_LOG_ERROR, "Not replacing %ls as failed to parse it, error: %s", kDigestFile,
              error.c_str());
        return false;
    case InternalFileStatus::treeError:
        KTLOG(KT_LOG_ERROR, "Failed to update %ls, error: %s", kDigestFile, error.c_str());
        return false;
    case InternalFileStatus::writeFailed:
        KTLOG(KT_LOG_ERROR, "Failed to write to file %ls", digestPath(folder).c_str());
        return false;
    }
    return false;
}

// True only when the digest stored under key is hex.
bool matchesStoredDigest(const std::wstring& folder, const std::string& hex, const std::string& key,
                         const std::optional<std::string>& beneath = std::nullopt)
{
    const std::wstring path = digestPath(folder);
    std::string content;
    if (!readDigestFile(path, content, beneath)) {
        KTLOG(KT_LOG_ERROR, "Failed to read file %ls", path.c_str());
        return false;
    }
    if (content.empty()) {
        KTLOG(KT_LOG_INFO, "File %ls is empty", path.c_str());
        return false;
    }
    pt::ptree tree;
    std::string error;
    std::string stored;
    if (parseDigests(content, tree, error)) {
        try {
            stored = tree.get<std::string>(pt::ptree::path_type(key, '.'));
        } catch (const pt::ptree_error& e) {
            error = e.what();
        }
    }
    if (!error.empty()) {
        KTLOG(KT_LOG_ERROR, "Parsing error %s, file %ls", error.c_str(), path.c_str());
        return false;
    }
    return stored == hex;
}

} // namespace

bool saveDigest(const std::wstring& folder, const std::string& text, std::string key,
                const std::optional<std::string>& beneath)
{
    std::string hex;
    return hmacSha1Hex(text, hex) && storeDigest(folder, hex, key, beneath);
}

bool saveFileDigest(const std::wstring& folder, const std::wstring& path, std::string key)
{
    std::string hex;
    return hmacSha1HexOfFile(path, hex) && storeDigest(folder, hex, key);
}

bool validateDigest(const std::wstring& folder, const std::string& text, std::string key,
                    const std::optional<std::string>& beneath)
{
    std::string hex;
    return hmacSha1Hex(text, hex) && matchesStoredDigest(folder, hex, key, beneath);
}

bool validateFileDigest(const std::wstring& folder, const std::wstring& path, std::string key)
{
    std::string hex;
    return hmacSha1HexOfFile(path, hex) && matchesStoredDigest(folder, hex, key);
}

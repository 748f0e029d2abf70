#include "ktPlatform/dataProtection.h"

#include "ktPlatform/folders.h"
#include "ktPlatform/strings.h"
#include "identity.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace ktPlatform {

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kHeaderSize = 8 + kNonceSize; // magic, version, scope, length, nonce
const char kMagic[4] = {'K', 'T', 'D', 'P'};
constexpr unsigned char kVersion = 1;
constexpr unsigned char kMachineScope = 1;
constexpr unsigned char kUserScope = 2;

unsigned char scopeByte(ProtectionScope scope)
{
    return scope == ProtectionScope::machine ? kMachineScope : kUserScope;
}

// The key bytes, wiped when they go.
struct Key {
    unsigned char bytes[kKeySize] = {};
    ~Key() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

struct KeyLocation {
    std::string folder;
    std::string file;
    mode_t folderMode = 0755;
    mode_t fileMode = 0644;
    bool ownedByCaller = false; // a user key must belong to the user
    std::uint32_t uid = 0;
};

bool locateKey(ProtectionScope scope, KeyLocation& where)
{
    const bool user = scope == ProtectionScope::user;
    where.uid = currentFsUid();
    where.ownedByCaller = user;
    where.fileMode = user ? 0600 : 0644;
    where.folderMode = user ? 0700 : 0755;
    std::optional<std::string> forced = getEnv("KTDIAG_DPAPI_KEY_DIR");
    if (forced && !forced->empty()) {
        where.folder = *forced;
        where.folderMode = 0755;
        where.file = user ? "user-" + std::to_string(where.uid) + ".key" : "machine.key";
        return true;
    }
    if (!user) {
        std::optional<std::string> machine = machineFolder();
        if (!machine) {
            errno = ENOENT;
            return false;
        }
        where.folder = *machine + "/keys";
        where.file = "machine.key";
        return true;
    }
    Token token;
    if (!lookupUser(where.uid, token) || token.home.empty()) {
        errno = ENOENT;
        return false;
    }
    where.folder = token.home + "/.local/share/kestrani/keys";
    where.file = "user.key";
    return true;
}

bool loadKey(const KeyLocation& where, Key& key)
{
    const std::string path = where.folder + "/" + where.file;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(kKeySize);
    if (ok && where.ownedByCaller && st.st_uid != where.uid) {
        ok = false;
    }
    if (!ok) {
        ::close(fd);
        errno = EACCES;
        return false;
    }
    ssize_t n = 0;
    do {
        n = ::read(fd, key.bytes, kKeySize);
    } while (n < 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(kKeySize)) {
        errno = n < 0 ? saved : EIO;
        return false;
    }
    return true;
}

// Creates each missing folder of path with mode.
bool makeFolders(const std::string& path, mode_t mode)
{
    for (std::string::size_type pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') {
            continue;
        }
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), mode) == 0) {
            ::chmod(part.c_str(), mode);
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return true;
}

// Writes a new random key beside the final name and links it there, so two processes
// that make a key at once agree on the one that was linked first.
bool makeKey(const KeyLocation& where)
{
    if (!makeFolders(where.folder, where.folderMode)) {
        return false;
    }
    Key fresh;
    if (RAND_bytes(fresh.bytes, static_cast<int>(kKeySize)) != 1) {
        errno = EIO;
        return false;
    }
    std::string temp = where.folder + "/.key-XXXXXX";
    const int fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, where.fileMode) == 0 &&
              ::write(fd, fresh.bytes, kKeySize) == static_cast<ssize_t>(kKeySize) &&
              ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    const std::string path = where.folder + "/" + where.file;
    if (ok && ::link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        ok = false;
    }
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return ok;
}

bool obtainKey(ProtectionScope scope, bool create, Key& key)
{
    KeyLocation where;
    if (!locateKey(scope, where)) {
        return false;
    }
    if (loadKey(where, key)) {
        return true;
    }
    if (!create || errno != ENOENT) {
        return false;
    }
    return makeKey(where) && loadKey(where, key);
}

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

} // namespace

bool protectData(const std::string& plain, const std::wstring& description, ProtectionScope scope,
                 std::string& blob)
{
    const std::string text = toNarrow(description);
    if (text.size() > 0xFFFF || plain.size() > static_cast<std::size_t>(INT_MAX) - kTagSize) {
        errno = EINVAL;
        return false;
    }
    Key key;
    if (!obtainKey(scope, true, key)) {
        return false;
    }
    unsigned char nonce[kNonceSize];
    if (RAND_bytes(nonce, static_cast<int>(kNonceSize)) != 1) {
        errno = EIO;
        return false;
    }
    std::string header(kMagic, sizeof(kMagic));
    header.push_back(static_cast<char>(kVersion));
    header.push_back(static_cast<char>(scopeByte(scope)));
    header.push_back(static_cast<char>((text.size() >> 8) & 0xFF));
    header.push_back(static_cast<char>(text.size() & 0xFF));
    header.append(reinterpret_cast<const char*>(nonce), kNonceSize);
    header += text;

    std::string out(header.size() + plain.size() + kTagSize, '\0');
    unsigned char* cipher = reinterpret_cast<unsigned char*>(&out[header.size()]);
    CtxPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int finalLen = 0;
    const bool ok =
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, bytes(header),
                          static_cast<int>(header.size())) == 1 &&
        EVP_EncryptUpdate(ctx.get(), cipher, &len, bytes(plain), static_cast<int>(plain.size())) ==
            1 &&
        EVP_EncryptFinal_ex(ctx.get(), cipher + len, &finalLen) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                            cipher + plain.size()) == 1;
    if (!ok) {
        errno = EIO;
        return false;
    }
    std::memcpy(&out[0], header.data(), header.size());
    blob.swap(out);
    return true;
}

bool unprotectData(const std::string& blob, ProtectionScope scope, std::string& plain,
                   std::wstring* description)
{
    if (blob.size() < kHeaderSize + kTagSize || std::memcmp(blob.data(), kMagic, 4) != 0 ||
        static_cast<unsigned char>(blob[4]) != kVersion ||
        static_cast<unsigned char>(blob[5]) != scopeByte(scope)) {
        errno = EINVAL;
        return false;
    }
    const std::size_t textSize =
        (static_cast<std::size_t>(static_cast<unsigned char>(blob[6])) << 8) |
        static_cast<unsigned char>(blob[7]);
    const std::size_t headerSize = kHeaderSize + textSize;
    if (blob.size() < headerSize + kTagSize ||
        blob.size() - headerSize - kTagSize > static_cast<std::size_t>(INT_MAX)) {
        errno = EINVAL;
        return false;
    }
    const std::size_t cipherSize = blob.size() - headerSize - kTagSize;
    Key key;
    if (!obtainKey(scope, false, key)) {
        return false;
    }
    const unsigned char* nonce = bytes(blob) + 8;
    const unsigned char* cipher = bytes(blob) + headerSize;
    std::string out(cipherSize, '\0');
    unsigned char* target = reinterpret_cast<unsigned char*>(&out[0]);
    unsigned char tag[kTagSize];
    std::memcpy(tag, cipher + cipherSize, kTagSize);
    unsigned char scratch[1];
    CtxPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int finalLen = 0;
    const bool ok =
        ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &len, bytes(blob), static_cast<int>(headerSize)) ==
            1 &&
        EVP_DecryptUpdate(ctx.get(), cipherSize > 0 ? target : scratch, &len, cipher,
                          static_cast<int>(cipherSize)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) ==
            1 &&
        EVP_DecryptFinal_ex(ctx.get(), (cipherSize > 0 ? target : scratch) + len, &finalLen) == 1;
    if (!ok) {
        OPENSSL_cleanse(&out[0], out.size());
        errno = EINVAL;
        return false;
    }
    if (description != nullptr) {
        *description = toWide(blob.substr(kHeaderSize, textSize));
    }
    plain.swap(out);
    return true;
}

} // namespace ktPlatform

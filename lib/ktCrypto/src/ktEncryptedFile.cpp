#include "ktCrypto/ktEncryptedFile.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/dataProtection.h"
#include "ktPlatform/strings.h"
#include "ktUtils/fileUtil.h"

static const char* const kLogModule = "ktEncryptedFile";

namespace {

const std::string kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of c in the alphabet, or -1 when c is not in it.
int base64Value(char c)
{
    const std::string::size_type pos = kBase64Alphabet.find(c);
    return c != '\0' && pos != std::string::npos ? static_cast<int>(pos) : -1;
}

} // namespace

std::string protectedText(const std::string& data)
{
    return data.substr(0, data.find('\0'));
}

CKTEncryptedFile::CKTEncryptedFile(const std::wstring& path, bool userScope)
    : m_path(path), m_userScope(userScope)
{
}

std::wstring CKTEncryptedFile::protectedPath() const
{
    return m_path + L".enc";
}

std::string CKTEncryptedFile::protectData(const std::string& data)
{
    std::string plain = data;
    plain.push_back('\0');
    std::string blob;
    const bool ok = ktPlatform::protectData(plain, m_path,
                                            m_userScope ? ktPlatform::ProtectionScope::user
                                                        : ktPlatform::ProtectionScope::machine,
                                            blob);
    if (!ok) {
        return std::string();
    }
    return base64Encode(reinterpret_cast<const unsigned char*>(blob.data()),
                        static_cast<unsigned int>(blob.size()));
}

std::string CKTEncryptedFile::unprotectData(const std::string& text)
{
    const std::string blob = base64Decode(text.c_str(), static_cast<unsigned int>(text.size()));
    std::string plain;
    if (!ktPlatform::unprotectData(blob,
                                   m_userScope ? ktPlatform::ProtectionScope::user
                                               : ktPlatform::ProtectionScope::machine,
                                   plain, nullptr)) {
        return std::string();
    }
    return plain;
}

bool CKTEncryptedFile::write(const std::string& data)
{
    const std::string text = protectData(data);
    const std::wstring path = protectedPath();
    if (text.empty()) {
        KTLOG(KT_LOG_WARNING, "Invalid encryption of protected file: %s",
              ktPlatform::toNarrow(path).c_str());
        return false;
    }
    // Never more open than the plain file it protects.
    return writeFile(path.c_str(), text, m_path.c_str());
}

bool CKTEncryptedFile::read(std::string& data, const std::optional<std::string>& beneath)
{
    const std::wstring path = protectedPath();
    std::string text;
    // A missing file leaves the text empty, and decrypting nothing fails below.
    if (beneath) {
        ::readFileBeneath(*beneath, path.c_str(), text);
    } else {
        ::readFile(path.c_str(), text);
    }
    data = unprotectData(text);
    if (data.empty()) {
        KTLOG(KT_LOG_WARNING, "Invalid decryption of protected file: %s",
              ktPlatform::toNarrow(path).c_str());
        return false;
    }
    return true;
}

std::string base64Encode(const unsigned char* data, unsigned int length)
{
    std::string out;
    if (data == nullptr) {
        return out;
    }
    out.reserve((static_cast<std::size_t>(length) + 2) / 3 * 4);
    unsigned int i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned int v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    const unsigned int rest = length - i;
    if (rest > 0) {
        const unsigned int v = (data[i] << 16) | (rest == 2 ? data[i + 1] << 8 : 0);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string base64Decode(const char* text, unsigned int length)
{
    std::string out;
    if (text == nullptr) {
        return out;
    }
    out.reserve(static_cast<std::size_t>(length) / 4 * 3 + 2);
    unsigned int group = 0;
    int count = 0;
    for (unsigned int i = 0; i < length; ++i) {
        const int value = base64Value(text[i]);
        if (value < 0) {
            break;
        }
        group = (group << 6) | static_cast<unsigned int>(value);
        if (++count == 4) {
            out += static_cast<char>((group >> 16) & 0xFF);
            out += static_cast<char>((group >> 8) & 0xFF);
            out += static_cast<char>(group & 0xFF);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out += static_cast<char>((group >> 4) & 0xFF);
    } else if (count == 3) {
        out += static_cast<char>((group >> 10) & 0xFF);
        out += static_cast<char>((group >> 2) & 0xFF);
    }
    return out;
}

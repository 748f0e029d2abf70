#pragma once
// Protected files: the plain file's path with ".enc" appended, holding one line of base64
// text (no line break) of a data-protection blob whose plaintext is the data followed by
// one zero byte. Also the system's base64 (standard alphabet, "=" fill, no line breaks).

#include <optional>
#include <string>

class CKTEncryptedFile {
public:
    // path: the plain file, without ".enc". userScope: protect for the current user (the
    // impersonated one while impersonating), else for the machine. Touches nothing on disk.
    CKTEncryptedFile(const std::wstring& path, bool userScope);

    // Reads and decrypts the protected file into data (the written text followed by one zero
    // byte; empty on failure). True when that gave a non-empty result. With beneath, the file
    // lies in a folder another account controls: no link below that folder is followed.
    bool read(std::string& data, const std::optional<std::string>& beneath = std::nullopt);
    // Protects data and replaces the protected file atomically; false when nothing was
    // written. A protected file made new takes the mode of the plain file beside it.
    bool write(const std::string& data);

    // The base64 text of the blob protecting data plus one zero byte; empty on failure.
    std::string protectData(const std::string& data);
    // The bytes that text (base64 of a blob) protects; empty on failure.
    std::string unprotectData(const std::string& text);

private:
    std::wstring protectedPath() const;

    std::wstring m_path;
    bool m_userScope;
};

// The text that data read from a protected file (or from its plain form) carries: up to its
// first zero byte, the end mark written after a protected file's data; all of data when it
// holds no zero.
std::string protectedText(const std::string& data);

// RFC 4648 base64 with "=" fill; empty input gives empty text.
std::string base64Encode(const unsigned char* data, unsigned int length);

// Decodes up to the first "=" or the first character outside the alphabet (blanks and line
// breaks included); a final group of two or three characters gives one or two bytes, a
// single one nothing. A null text gives nothing.
std::string base64Decode(const char* text, unsigned int length);

#pragma once
// The branding file ktbranding.json of a session's folder, plain or protected (the path with
// ".enc" appended). userScope chooses the protection scope: the user's when per-user folders
// are on, the machine's otherwise. Config::readBranding reads it into the configuration.

#include <optional>
#include <string>

// True when the protected form exists, or when text (lower-cased) holds "encryptbranding"
// with the first "true" after it beginning at most 5 characters after its end.
bool isBrandingEncryptionEnabled(const std::wstring& path, std::string text);
// True when text asks for protection and the protected form does not exist yet.
bool isBrandingConversionNeeded(const std::wstring& path, const std::string& text);
// Reads the protected form when isBrandingEncryptionEnabled holds for path and the current
// text (the protected plaintext ends with one zero byte), else the plain file. beneath: set
// when path lies in a user's own folder, where no link below beneath is followed.
bool readBrandingFile(bool userScope, std::string& text, const std::wstring& path,
                      const std::optional<std::string>& beneath = std::nullopt);
// Writes text in protected form when it asks for protection (or the protected form exists),
// else to the plain file; atomically either way.
bool writeBrandingFile(bool userScope, const std::wstring& path, const std::string& text);
// Removes the plain file, or when that fails the protected form. The reader never calls it.
bool removeBrandingFile(const std::wstring& path);

#pragma once
// Keyed digests of cached files, kept in <folder>/ktinternal.json as 40 lowercase
// hexadecimal characters per key ("d1" ... "d7"). Every failure is a false result and a
// log line; nothing throws.

#include <string>

// HMAC-SHA1 of data under the fixed key, as 40 lowercase hexadecimal characters.
bool hmacSha1Hex(const std::string& data, std::string& hex);

// Stores the digest of text under key in <folder>/ktinternal.json, keeping its other
// members. The file is replaced atomically under a cross-process lock; a file that is not
// a JSON object is left unchanged and the save fails.
bool saveDigest(const std::wstring& folder, const std::string& text, std::string key);
// The same with the content of the file at path.
bool saveFileDigest(const std::wstring& folder, const std::wstring& path, std::string key);

// True only when the digest stored under key equals the digest of text (case matters).
bool validateDigest(const std::wstring& folder, const std::string& text, std::string key);
// The same with the content of the file at path.
bool validateFileDigest(const std::wstring& folder, const std::wstring& path, std::string key);

#pragma once
// Keyed digests of cached files, kept in <folder>/ktinternal.json as 40 lowercase
// hexadecimal characters per key ("d1" ... "d7"). Every failure is a false result and a
// log line; nothing throws.

#include <string>

// HMAC-SHA1 of data under the fixed key, as 40 lowercase hexadecimal characters.
bool hmacSha1Hex(const std::string& data, std::string& hex);

// Stores the digest of text under key in <folder>/ktinternal.json, keeping its other
// members. The file is replaced atomically under a cross-process lock private to the
// writing account (ktinternal.json.lock in ktPlatform::privateLockFolder); a file that is
// not a JSON object is left unchanged and the save fails.
bool saveDigest(const std::wstring& folder, const std::string& text, std::string key);
// The same with the content of the file at path.
bool saveFileDigest(const std::wstring& folder, const std::wstring& path, std::string key);

// Why an update of ktinternal.json failed; whenever one did, the file is as it was.
enum class InternalFileStatus { ok, lockFailed, unreadable, notJson, treeError, writeFailed };

// Puts value under key in <folder>/ktinternal.json, keeping its other members: under the
// cross-process lock of saveDigest, replaced atomically. A missing or empty file starts
// empty; one that cannot be read or is not a JSON object is left alone. Logs only a lock
// failure (the reader logs its own); error holds the parser's or writer's reason.
InternalFileStatus updateInternalFile(const std::wstring& folder, const std::string& key,
                                      const std::string& value, std::string& error);

// True only when the digest stored under key equals the digest of text (case matters).
bool validateDigest(const std::wstring& folder, const std::string& text, std::string key);
// The same with the content of the file at path.
bool validateFileDigest(const std::wstring& folder, const std::wstring& path, std::string key);

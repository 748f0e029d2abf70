#pragma once
// Keyed digests of cached files, kept in <folder>/ktinternal.json as 40 lowercase
// hexadecimal characters per key ("d1" ... "d7"). Every failure is a false result and a
// log line; nothing throws.

#include <optional>
#include <string>

// HMAC-SHA1 of data under the fixed key, as 40 lowercase hexadecimal characters.
bool hmacSha1Hex(const std::string& data, std::string& hex);

// Stores the digest of text under key in <folder>/ktinternal.json, keeping its other
// members. The file is replaced atomically under a cross-process lock private to the
// writing account (ktinternal.json.lock in ktPlatform::privateLockFolder); a file that is
// not a JSON object is left unchanged and the save fails.
// With beneath, folder lies in a folder another account controls: ktinternal.json is read
// without following a link below beneath (ktUtils/fileUtil.h, readFileBeneath), and one that
// stands there is never replaced.
bool saveDigest(const std::wstring& folder, const std::string& text, std::string key,
                const std::optional<std::string>& beneath = std::nullopt);
// The same with the content of the file at path.
bool saveFileDigest(const std::wstring& folder, const std::wstring& path, std::string key);

// Why an update of ktinternal.json failed; whenever one did, the file is as it was.
enum class InternalFileStatus { ok, lockFailed, unreadable, notJson, treeError, writeFailed };

// Puts value under key in <folder>/ktinternal.json, keeping its other members: under the
// cross-process lock of saveDigest, replaced atomically. A missing or empty file starts
// empty; one that cannot be read or is not a JSON object is left alone. Logs only a lock
// failure (the reader logs its own); error holds the parser's or writer's reason.
InternalFileStatus updateInternalFile(const std::wstring& folder, const std::string& key,
                                      const std::string& value, std::string& error,
                                      const std::optional<std::string>& beneath = std::nullopt);

// True only when the digest stored under key equals the digest of text (case matters).
// beneath: as for saveDigest.
bool validateDigest(const std::wstring& folder, const std::string& text, std::string key,
                    const std::optional<std::string>& beneath = std::nullopt);
// The same with the content of the file at path.
bool validateFileDigest(const std::wstring& folder, const std::wstring& path, std::string key);

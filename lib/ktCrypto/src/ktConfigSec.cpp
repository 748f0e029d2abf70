#include "ktCrypto/ktConfigSec.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/strings.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/jsonUtil.h"
#include "ktWinUtils/launchApp.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <exception>

static const char* const kLogModule = "configSec";

namespace fs = boost::filesystem;

namespace {

const char* const kProtectedSuffix = ".enc";

bool isRegularFile(const fs::path& path)
{
    boost::system::error_code ec;
    return fs::is_regular_file(fs::status(path, ec));
}

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// True when the form in force of the file at plain (its protected form when protectedForm)
// yields content: read, decrypted when protected, not empty and, for JSON, parsed. Only
// then is the other form stale; otherwise it may be the only usable copy.
bool formUsable(const fs::path& plain, bool protectedForm)
{
    const std::wstring path = ktPlatform::toWide(plain.string());
    std::string data;
    if (protectedForm) {
        if (!CKTEncryptedFile(path, false).read(data)) {
            return false;
        }
        data = protectedText(data);
    } else if (!::readFile(path.c_str(), data)) {
        return false;
    }
    if (data.empty()) {
        return false;
    }
    if (plain.extension() != ".json") {
        return true;
    }
    try {
        boost::property_tree::ptree tree;
        readJsonBounded(data, tree);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// read, after text was read: the text cut where a protected plaintext ends.
bool cutWhenRead(bool read, std::string& text)
{
    if (read) {
        text = protectedText(text);
    }
    return read;
}

// Removes stale, the other form of the file at plain, once the form in force is usable.
// A failure to remove is returned as ec.
void removeStaleForm(const fs::path& plain, const fs::path& stale, bool encrypted,
                     boost::system::error_code& ec)
{
    ec.clear();
    const fs::path kept = encrypted ? fs::path(plain.string() + kProtectedSuffix) : plain;
    if (!formUsable(plain, encrypted)) {
        KTLOG(KT_LOG_WARNING, "Keeping %s: %s could not be read", stale.string().c_str(),
              kept.string().c_str());
        return;
    }
    fs::remove(stale, ec);
}

} // namespace

ktConfigSec::ktConfigSec()
    : m_encrypted(false), m_plainExtensions{".json", ".pem", ".p12"},
      m_protectedExtensions{kProtectedSuffix}, m_plainExceptions{"ktinternal.json", "ktpubkey.pem",
                                                                 "certutil.json"}
{
}

bool ktConfigSec::readFile(const std::wstring& path, std::string& data)
{
    if (m_encrypted) {
        return CKTEncryptedFile(path, false).read(data);
    }
    return ::readFile(path.c_str(), data);
}

bool ktConfigSec::readFile(const std::string& path, std::string& data)
{
    if (m_encrypted) {
        return readFile(ktPlatform::toWide(path), data);
    }
    return readTextFile(path, data);
}

bool ktConfigSec::readFile(const std::wstring& path, std::string& data, std::string& stored)
{
    if (!m_encrypted) {
        if (!::readFile(path.c_str(), stored)) {
            return false;
        }
        data = stored;
        return true;
    }
    const std::wstring protectedPath = encryptedFileName(path);
    if (!::readFile(protectedPath.c_str(), stored)) {
        return false;
    }
    data = CKTEncryptedFile(path, false).unprotectData(stored);
    if (data.empty()) {
        KTLOG(KT_LOG_WARNING, "Invalid decryption of protected file: %s",
              ktPlatform::toNarrow(protectedPath).c_str());
        return false;
    }
    return true;
}

bool ktConfigSec::readText(const std::wstring& path, std::string& text)
{
    return cutWhenRead(readFile(path, text), text);
}

bool ktConfigSec::readText(const std::string& path, std::string& text)
{
    return cutWhenRead(readFile(path, text), text);
}

bool ktConfigSec::writeFile(const std::wstring& path, const std::string& data)
{
    if (m_encrypted) {
        return CKTEncryptedFile(path, false).write(data);
    }
    return ::writeFile(path.c_str(), data);
}

bool ktConfigSec::writeFile(const std::string& path, const std::string& data)
{
    return writeFile(ktPlatform::toWide(path), data);
}

std::wstring ktConfigSec::encryptedFileName(const std::wstring& path) const
{
    return m_encrypted ? path + L".enc" : path;
}

void ktConfigSec::apply(bool encrypted, const std::wstring& filePath,
                        const std::vector<std::wstring>& folders)
{
    m_encrypted = encrypted;
    for (const std::wstring& folder : folders) {
        try {
            cleanFolder(folder);
        } catch (const std::exception& e) {
            KTLOG(KT_LOG_ERROR, "Failed to clean %ls, error: %s", folder.c_str(), e.what());
        }
    }
    if (filePath.empty()) {
        return;
    }
    const fs::path plain(ktPlatform::toNarrow(filePath));
    const fs::path sealed(ktPlatform::toNarrow(filePath + L".enc"));
    const fs::path& stale = encrypted ? plain : sealed;
    const fs::path& kept = encrypted ? sealed : plain;
    boost::system::error_code ec;
    const fs::file_type type = fs::symlink_status(stale, ec).type();
    if (!isRegularFile(kept) || (type != fs::regular_file && type != fs::symlink_file)) {
        return;
    }
    removeStaleForm(plain, stale, encrypted, ec);
    if (ec) {
        KTLOG(KT_LOG_ERROR, "Failed to remove %s, error: %s", stale.string().c_str(),
              ec.message().c_str());
    }
}

void ktConfigSec::cleanFolder(const std::wstring& folder)
{
    if (folder.empty()) {
        return;
    }
    const std::optional<std::uint32_t> session =
        getProcessSessionId(SessionIdFailureLine::lastError, kLogModule, KT_LOG_ERROR);
    if (!session) {
        return;
    }
    // Only the service's session cleans folders; a tool in a user's session never does.
    if (*session != 0) {
        return;
    }
    const std::vector<std::string>& extensions =
        m_encrypted ? m_plainExtensions : m_protectedExtensions;
    const fs::path root(ktPlatform::toNarrow(folder));
    boost::system::error_code ec;
    if (!fs::is_directory(fs::status(root, ec))) {
        return;
    }
    std::vector<fs::path> stale;
    // Links to folders are listed but not entered.
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const fs::path& path = it->path();
        if (!fs::is_regular_file(it->status())) {
            continue;
        }
        if (!contains(extensions, path.extension().string())) {
            continue;
        }
        if (m_encrypted && contains(m_plainExceptions, path.filename().string())) {
            continue;
        }
        // The form in force must be there, or this file is the only copy.
        const fs::path counterpart = m_encrypted ? fs::path(path.string() + kProtectedSuffix)
                                                 : path.parent_path() / path.stem();
        if (isRegularFile(counterpart)) {
            stale.push_back(path);
        }
    }
    for (const fs::path& path : stale) {
        const fs::path plain = m_encrypted ? path : path.parent_path() / path.stem();
        removeStaleForm(plain, path, m_encrypted, ec);
        if (ec) {
            throw fs::filesystem_error("cannot remove", path, ec);
        }
    }
}

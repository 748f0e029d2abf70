#pragma once
// The per-user folder of a session, as the collection reads it: acting as the session's
// user, and without following a link at any level below that user's home. The collection
// runs as root; read this way, the archive holds only what the user could read anyway.

#include "ktPlatform/tokens.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class UserFolderReader {
public:
    // Takes the user of sessionId for folder (absolute). False, logged, when that user
    // cannot be had; nothing is read then.
    bool open(std::uint32_t sessionId, const std::string& folder);

    bool isOpen() const { return m_open; }
    const std::string& folder() const { return m_folder; }

    // The full paths of the folder's entries that are not folders (links included, which
    // openFile refuses), sorted. A folder that cannot be read is logged and gives none.
    std::vector<std::string> files() const;
    // Opens path for reading as the user; null with errno set (EPERM when the user cannot
    // be acted as, ELOOP for a link).
    std::FILE* openFile(const std::string& path) const;
    // Reads path whole as the user, when it holds at most maxBytes; false otherwise.
    bool readFile(const std::string& path, std::uint64_t maxBytes, std::string& data) const;
    // The size of path as the user sees it; false with errno set.
    bool fileSize(const std::string& path, std::uint64_t& size) const;

private:
    bool m_open = false;
    ktPlatform::Token m_user;
    std::string m_folder;
};

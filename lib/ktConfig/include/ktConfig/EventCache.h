#pragma once
// The per-session queue of client-status messages whose post failed, kept in
// eventcache.json in the session's configuration folder and guarded by its digest "d5" in
// <folder>/data/ktinternal.json. Copies share one mutex. The layout of the file and how it
// is replaced are in docs/client-status.md.

#include <boost/shared_ptr.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <cstdint>
#include <list>
#include <optional>
#include <string>

class EventCache {
public:
    // Larger files are not read: 12 messages take a few KiB.
    static constexpr std::uint64_t kMaxFileSize = 1024 * 1024;

    EventCache();

    // Reads <folder>/<fileName> ("eventcache.json" when empty); every message it holds, up
    // to the first missing member, replaces the queue, however many there are. key: the
    // digest's key ("d5" when empty), also used by save. beneath: set when folder lies in a
    // folder another account controls; neither this file nor its digest is then read
    // through a link below beneath. The paths are kept even when the read fails, and then
    // so is the queue. True when read, its digest matched and it was JSON.
    bool load(std::wstring folder, const std::wstring& fileName, const std::string& key,
              const std::optional<std::string>& beneath = std::nullopt);
    // Appends one message, dropping the oldest one when the queue is full; false when empty.
    bool push(const std::string& message);
    // Writes the queue and its digest; true only when a non-empty queue was written whole.
    // When the digest cannot be stored the previous file is put back, so file and digest
    // still agree. A queued message that is not valid JSON is dropped from the queue (and
    // logged); the queue is not changed otherwise.
    bool save();

    // A copy of the queue, oldest first.
    std::list<std::string> events() const;

private:
    // Replaces the file with text and stores its digest; see save.
    bool writeWithDigest(const std::string& text);

    boost::shared_ptr<boost::recursive_mutex> m_mutex;
    std::list<std::string> m_events;
    std::int32_t m_maxEvents = 12;
    std::wstring m_filePath;
    std::wstring m_dataDir;
    std::string m_digestKey = "d5";
    std::optional<std::string> m_beneath;
};

#pragma once
// The per-session queue of client-status messages whose post failed, kept in
// eventcache.json in the session's configuration folder and guarded by its digest "d5" in
// <folder>/data/ktinternal.json. Copies share one mutex.

#include <boost/shared_ptr.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <cstdint>
#include <list>
#include <string>

class EventCache {
public:
    EventCache();

    // Reads <folder>/<fileName> ("eventcache.json" when empty) and appends its messages;
    // key: the digest's key ("d5" when empty). True when read, its digest matched and it
    // was JSON.
    bool load(std::wstring folder, const std::wstring& fileName, const std::string& key);
    // Appends one message, dropping the oldest while the queue is full; false when empty.
    bool push(const std::string& message);
    // Writes the queue and its digest; true only when a non-empty queue was written whole.
    bool save();

    std::list<std::string> events() const;

private:
    boost::shared_ptr<boost::recursive_mutex> m_mutex;
    std::list<std::string> m_events;
    std::int32_t m_maxEvents = 12;
    std::wstring m_filePath;
    std::wstring m_dataDir;
};

#include "ktConfig/EventCache.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/strings.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/integritycheck.h"
#include "ktUtils/jsonUtil.h"

#include <boost/make_shared.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <sstream>

static const char* const kLogModule = "eventCache";

namespace {

namespace pt = boost::property_tree;

using Lock = boost::recursive_mutex::scoped_lock;

enum class ReadResult { ok, missing, refused, failed };

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The whole file, refused above EventCache::kMaxFileSize; with beneath, no link below it is
// followed. A missing file and a link are told apart from one that cannot be read,
// quietly: the callers decide what to log.
ReadResult readBounded(const std::wstring& path, std::string& data,
                       const std::optional<std::string>& beneath)
{
    data.clear();
    const std::string narrow = ktPlatform::toNarrow(path);
    std::unique_ptr<std::FILE, FileCloser> file(beneath
                                                    ? ktPlatform::openFileBeneath(*beneath, narrow)
                                                    : ktPlatform::openRegularFile(narrow, "rb"));
    if (!file) {
        if (errno == ENOENT) {
            return ReadResult::missing;
        }
        return beneath && (errno == ELOOP || errno == ENOTDIR) ? ReadResult::refused
                                                               : ReadResult::failed;
    }
    char buffer[8192];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
        if (data.size() + n > EventCache::kMaxFileSize) {
            KTLOG(KT_LOG_ERROR, "%ls is larger than %u bytes", path.c_str(),
                  static_cast<unsigned>(EventCache::kMaxFileSize));
            data.clear();
            return ReadResult::failed;
        }
        data.append(buffer, n);
    }
    if (std::ferror(file.get())) {
        data.clear();
        return ReadResult::failed;
    }
    return ReadResult::ok;
}

pt::ptree::path_type memberPath(std::size_t index)
{
    return pt::ptree::path_type(std::to_string(index), '.');
}

} // namespace

EventCache::EventCache() : m_mutex(boost::make_shared<boost::recursive_mutex>()) {}

bool EventCache::load(std::wstring folder, const std::wstring& fileName, const std::string& key,
                      const std::optional<std::string>& beneath)
{
    Lock lock(*m_mutex);
    m_filePath = folder + L"/" + (fileName.empty() ? std::wstring(L"eventcache.json") : fileName);
    m_dataDir = folder + L"/data";
    m_digestKey = key.empty() ? std::string("d5") : key;
    m_beneath = beneath;
    KTLOG(KT_LOG_DEBUG, "EventCache file path %ls", m_filePath.c_str());

    std::string content;
    const ReadResult read = readBounded(m_filePath, content, m_beneath);
    if (read != ReadResult::ok) {
        if (read == ReadResult::refused) {
            KTLOG(KT_LOG_ERROR, "not reading %ls: it or a folder on its way is a link",
                  m_filePath.c_str());
        }
        KTLOG(KT_LOG_ERROR, "failed to read file %ls", m_filePath.c_str());
        return false;
    }
    if (!validateDigest(m_dataDir, content, m_digestKey, m_beneath)) {
        KTLOG(KT_LOG_ERROR, "Failed to validate integrity of event cache file.");
        return false;
    }
    pt::ptree tree;
    try {
        readJsonBounded(content, tree);
    } catch (const std::exception& e) {
        tree.clear();
        KTLOG(KT_LOG_ERROR, "Invalid eventscache.json: %s", e.what());
        return false;
    }

    // Members "0", "1", ... up to the first name that is missing, whose look-up ends the
    // loop with the line below on every load. They replace the queue, so loading the same
    // file again does not queue its messages twice; none is left out for the limit, which
    // only push applies.
    std::list<std::string> events;
    try {
        for (std::size_t index = 0;; ++index) {
            const pt::ptree& member = tree.get_child(memberPath(index));
            std::ostringstream out;
            pt::write_json(out, member, true);
            events.push_back(out.str());
        }
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Error reading eventscache.json: %s", e.what());
    }
    m_events.swap(events);
    KTLOG(KT_LOG_DEBUG, "Event cache: %d messages read", static_cast<int>(m_events.size()));
    return true;
}

bool EventCache::push(const std::string& message)
{
    if (message.empty()) {
        return false;
    }
    Lock lock(*m_mutex);
    // One out, one in: a longer queue loaded from the file keeps its length.
    if (!m_events.empty() && m_events.size() >= static_cast<std::size_t>(m_maxEvents)) {
        KTLOG(KT_LOG_DEBUG, "Queue is full, pop the old entry");
        m_events.pop_front();
    }
    m_events.push_back(message);
    return true;
}

bool EventCache::save()
{
    Lock lock(*m_mutex);
    if (m_events.empty()) {
        KTLOG(KT_LOG_DEBUG, "Event queue is empty, empty the file");
        writeWithDigest(std::string());
        return false;
    }

    std::string text;
    try {
        pt::ptree tree;
        std::size_t index = 0;
        for (auto event = m_events.begin(); event != m_events.end();) {
            pt::ptree message;
            try {
                readJsonBounded(*event, message);
            } catch (const std::exception& e) {
                // One message that no longer parses must not keep the others from the file.
                KTLOG(KT_LOG_ERROR, "Dropping a queued message that is not valid JSON: %s",
                      e.what());
                event = m_events.erase(event);
                continue;
            }
            try {
                tree.put_child(memberPath(index++), message);
            } catch (const std::exception& e) {
                KTLOG(KT_LOG_ERROR, "Error creating eventscache.json: %s", e.what());
                return false;
            }
            ++event;
        }
        if (m_events.empty()) {
            KTLOG(KT_LOG_DEBUG, "Event queue is empty, empty the file");
            writeWithDigest(std::string());
            return false;
        }
        std::ostringstream out;
        pt::write_json(out, tree, true);
        text = out.str();
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Exception during write to Event Cache File. Exception : %s", e.what());
        return false;
    } catch (...) {
        KTLOG(KT_LOG_ERROR, "Exception during write to Event Cache File. Unknown Exception ");
        return false;
    }
    return writeWithDigest(text);
}

bool EventCache::writeWithDigest(const std::string& text)
{
    if (m_filePath.empty()) {
        KTLOG(KT_LOG_ERROR, "Failed to write eventscache.json");
        return false;
    }
    // What is there now, to put back should the digest not follow the new content.
    std::string previous;
    const ReadResult before = readBounded(m_filePath, previous, m_beneath);
    if (!writeFile(m_filePath.c_str(), text)) {
        KTLOG(KT_LOG_ERROR, "Failed to write eventscache.json");
        return false;
    }
    if (saveDigest(m_dataDir, text, m_digestKey, m_beneath)) {
        return true;
    }
    KTLOG(KT_LOG_ERROR, "Failed to save digest for %ls", m_filePath.c_str());
    bool restored = false;
    if (before == ReadResult::ok) {
        restored = writeFile(m_filePath.c_str(), previous);
    } else if (before == ReadResult::missing) {
        restored = deleteFile(m_filePath.c_str());
    }
    if (!restored) {
        KTLOG(KT_LOG_ERROR, "Failed to put back the previous %ls; it no longer matches its digest",
              m_filePath.c_str());
    }
    return false;
}

std::list<std::string> EventCache::events() const
{
    Lock lock(*m_mutex);
    return m_events;
}

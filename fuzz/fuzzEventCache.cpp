// The event cache reader on any eventcache.json whose digest matches, through real files in
// the private folder. A load never changes the file and keeps at most 12 messages, each of
// them JSON; what it keeps saves and loads back the same.

#include "ktFuzz/fuzzSupport.h"

#include "ktConfig/EventCache.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cstring>
#include <exception>
#include <sstream>
#include <string>

namespace {

std::string g_folder;

bool isJson(const std::string& text)
{
    try {
        boost::property_tree::ptree tree;
        std::istringstream in(text);
        boost::property_tree::read_json(in, tree);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// The property-tree writer escapes each byte above 0x7F on its own ("\u00C3"), which reads
// back as another character: such text changes on every rewrite, so it is left out of the
// round trip.
bool writesBackUnchanged(const std::string& event)
{
    for (std::size_t at = event.find("\\u00"); at != std::string::npos;
         at = event.find("\\u00", at + 1)) {
        if (at + 4 < event.size() && std::strchr("89ABCDEFabcdef", event[at + 4]) != nullptr) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    g_folder = ktFuzz::makeFolder("session");
    ktFuzz::makeFolder("session/data");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = g_folder + "/eventcache.json";
    const std::wstring folder = ktPlatform::toWide(g_folder);
    ktFuzz::writeFile(path, content);
    KT_FUZZ_CHECK(saveDigest(folder + L"/data", content, "d5"));

    EventCache cache;
    const bool loaded = cache.load(folder, L"", "");
    KT_FUZZ_CHECK(ktFuzz::readFile(path) == content); // a load changes nothing
    const auto events = cache.events();
    KT_FUZZ_CHECK(loaded || events.empty());
    KT_FUZZ_CHECK(events.size() <= 12);
    bool stable = true;
    for (const std::string& event : events) {
        KT_FUZZ_CHECK(!event.empty() && isJson(event));
        stable = stable && writesBackUnchanged(event);
    }
    if (events.empty() || !stable) {
        return 0;
    }

    KT_FUZZ_CHECK(cache.save());
    EventCache again;
    KT_FUZZ_CHECK(again.load(folder, L"", ""));
    KT_FUZZ_CHECK(again.events() == events);
    return 0;
}

// The event cache reader on any eventcache.json whose digest matches, through real files in
// the private folder. A load never changes the file and keeps every member "0", "1", ... up
// to the first gap, each of them JSON; what it keeps as UTF-8 saves and loads back byte for
// byte.

#include "ktFuzz/fuzzSupport.h"

#include "ktConfig/EventCache.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <exception>
#include <sstream>
#include <string>

namespace {

std::string g_folder;

bool parse(const std::string& text, boost::property_tree::ptree& tree)
{
    try {
        std::istringstream in(text);
        boost::property_tree::read_json(in, tree);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool isJson(const std::string& text)
{
    boost::property_tree::ptree tree;
    return parse(text, tree);
}

// The members "0", "1", ... of the root up to the first one missing or holding a plain value
// (an object or array alone is a message the writer can give back).
std::size_t messageMembers(const boost::property_tree::ptree& tree)
{
    std::size_t count = 0;
    for (;; ++count) {
        const auto member = tree.get_child_optional(
            boost::property_tree::ptree::path_type(std::to_string(count), '.'));
        if (!member || !member->data().empty()) {
            return count;
        }
    }
}

// The property-tree writer passes bytes above 0x7F through as they are and the reader turns
// "\u" escapes into UTF-8, so UTF-8 text comes back unchanged from any number of rewrites.
// Other bytes pass through too, but nothing promises that of them.
bool isUtf8(const std::string& text)
{
    return ktPlatform::toNarrow(ktPlatform::toWide(text)) == text;
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
    boost::property_tree::ptree tree;
    // Every message is taken, however many there are.
    KT_FUZZ_CHECK(!loaded || !parse(content, tree) || events.size() == messageMembers(tree));
    bool utf8 = true;
    for (const std::string& event : events) {
        KT_FUZZ_CHECK(!event.empty() && isJson(event));
        utf8 = utf8 && isUtf8(event);
    }
    if (events.empty() || !utf8) {
        return 0;
    }

    KT_FUZZ_CHECK(cache.save());
    EventCache again;
    KT_FUZZ_CHECK(again.load(folder, L"", ""));
    KT_FUZZ_CHECK(again.events() == events);
    return 0;
}

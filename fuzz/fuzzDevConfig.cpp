// The devconfig.json reader on any file in the configuration location. A read never changes
// the file and reads the same twice.

#include "configTree.h"

#include <string>

namespace {

std::string g_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_path = ktFuzz::startClientTree() + "/devconfig.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    ktFuzz::writeFile(g_path, content);
    Config::Impl first;
    first.initConfigLocation();
    const bool read = first.readDevConfig();
    KT_FUZZ_CHECK(ktFuzz::readFile(g_path) == content);

    Config::Impl second;
    second.initConfigLocation();
    KT_FUZZ_CHECK(second.readDevConfig() == read);
    KT_FUZZ_CHECK(first.devConfig() == second.devConfig());
    // An empty file is no configuration.
    KT_FUZZ_CHECK(!content.empty() || !read);
    return 0;
}

// The ktuserconfig.json reader on any file in the configuration location. A read never
// changes the file and reads the same twice: the folder switch and location, the update
// switch, and the whole client, branding and fail-close values it may fill.

#include "configTree.h"

#include <string>

namespace {

std::string g_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_path = ktFuzz::startClientTree() + "/ktuserconfig.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    ktFuzz::writeFile(g_path, content);
    // The location's set-up reads the file once; the explicit read must agree with it.
    Config::Impl first;
    first.initConfigLocation();
    const bool read = first.readUserConfig();
    KT_FUZZ_CHECK(ktFuzz::readFile(g_path) == content);
    KT_FUZZ_CHECK(!content.empty() || !read);

    Config::Impl second;
    second.initConfigLocation();
    KT_FUZZ_CHECK(second.readUserConfig() == read);
    KT_FUZZ_CHECK(first.enablePerUserConfig() == second.enablePerUserConfig() &&
                  first.perUserConfigLocation() == second.perUserConfigLocation() &&
                  first.autoUpdate() == second.autoUpdate() &&
                  first.branding() == second.branding() &&
                  first.clientConfig() == second.clientConfig() &&
                  first.failClose().values() == second.failClose().values());
    return 0;
}

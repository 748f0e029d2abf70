// The readers of the three lists guarded by digests, on any file in the data folder. The
// first byte chooses: bit 0 dynamic steering active, bit 1 the list's digest stored, bit 2
// the developer mode, bits 3 and 4 the list (bypass, category, exception). A read never
// changes the list; it stores exactly the file or keeps what was stored; a list without its
// digest is never taken outside the developer mode; its flag is set then and no digest is
// lost. A tamper report finds no add-on host here, so it fails before any connection.

#include "configTree.h"

#include "ktUtils/integritycheck.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string g_location;
Config::Impl* g_static = nullptr;  // dynamic steering off
Config::Impl* g_dynamic = nullptr; // dynamic steering active

struct List {
    const char* file;
    const char* digestKey;
    const char* flagKey;
    bool (Config::Impl::*read)();
    std::string (Config::Impl::*stored)();
};

const List kLists[] = {
    {"ktbypass.json", "d2", "df2", &Config::Impl::readBypassList, &Config::Impl::bypassList},
    {"ktbypasscat.json", "d7", "df7", &Config::Impl::readBypassCategoryList,
     &Config::Impl::bypassCategoryList},
    {"ktexception.json", "d3", "df3", &Config::Impl::readExceptionList,
     &Config::Impl::exceptionList},
};

void setDeveloperMode(Config::Impl& config, bool on)
{
    ktFuzz::writeFile(g_location + "/devconfig.json",
                      std::string("{\"devConfig\": {\"useDevConfig\": \"") +
                          (on ? "true" : "false") + "\"}}\n");
    config.readDevConfig();
}

// A Config loaded in the developer mode (no digests needed) with dynamic steering as asked.
Config::Impl* loaded(bool dynamic)
{
    const std::string flag = dynamic ? "true" : "false";
    ktFuzz::writeFile(g_location + "/ktconfig.json",
                      "{\"ktgw\": {\"host\": \"gw.test\", \"port\": \"443\"}, "
                      "\"clientConfig\": {\"dynamicSteering\": \"" +
                          flag + "\"}}\n");
    ktFuzz::writeFile(g_location + "/data/ktsteering.json",
                      "{\"traffic_mode\": \"cloud\", \"dynamic_steering\": " + flag +
                          ", \"domains\": []}\n");
    Config::Impl* config = new Config::Impl();
    if (!config->initConfigLocation()) {
        ktFuzz::fail("no configuration location");
    }
    setDeveloperMode(*config, true);
    config->steeringConfig()->setSkipIntegrityCheck(true);
    if (!config->readClientConfig() || config->steeringConfig()->readConfig() != 0 ||
        config->isDynamicSteeringActive() != dynamic) {
        ktFuzz::fail("the configuration could not be loaded");
    }
    return config;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Nothing here may reach a proxy named by the environment.
    for (const char* name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"}) {
        unsetenv(name);
    }
    g_location = ktFuzz::startClientTree();
    g_static = loaded(false);
    g_dynamic = loaded(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const unsigned flags = ktFuzz::takeBigEndian(data, size, 1);
    const bool dynamic = (flags & 1) != 0;
    const bool withDigest = (flags & 2) != 0;
    const bool developer = (flags & 4) != 0;
    const List& list = kLists[((flags >> 3) & 3) % 3];
    Config::Impl& config = dynamic ? *g_dynamic : *g_static;
    setDeveloperMode(config, developer);

    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string dataFolder = g_location + "/data";
    const std::wstring folder = ktPlatform::toWide(dataFolder);
    const std::string path = dataFolder + "/" + list.file;
    const std::string internal = dataFolder + "/ktinternal.json";
    ktFuzz::writeFile(path, content);
    std::remove(internal.c_str());
    if (withDigest && !saveDigest(folder, content, list.digestKey)) {
        ktFuzz::fail("cannot store the digest");
    }

    const std::string before = (config.*list.stored)();
    const bool read = (config.*list.read)();
    KT_FUZZ_CHECK(ktFuzz::readFile(path) == content);
    KT_FUZZ_CHECK((config.*list.stored)() == (read ? content : before));
    if (developer) {
        KT_FUZZ_CHECK(read);
    } else if (!withDigest) {
        KT_FUZZ_CHECK(!read);
        // The report cannot be posted: the flag is the only member of the new file.
        KT_FUZZ_CHECK(ktFuzz::readFile(internal).find(std::string("\"") + list.flagKey +
                                                      "\": \"true\"") != std::string::npos);
    } else if (!(dynamic && list.read == &Config::Impl::readExceptionList)) {
        KT_FUZZ_CHECK(read);
    }
    if (withDigest) {
        KT_FUZZ_CHECK(validateDigest(folder, content, list.digestKey));
    }
    KT_FUZZ_CHECK((config.*list.read)() == read);
    return 0;
}

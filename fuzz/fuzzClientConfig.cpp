// The ktconfig.json reader on any file, on a fresh client tree each time. The first byte
// chooses: bit 0 the developer mode (devconfig.json switches it on, so the digest check is
// skipped and the keys are read), bit 1 the file stored protected (ktconfig.json.enc). A
// failed read never deletes or changes the file; the same tree reads the same twice, in
// everything the read fills.

#include "configTree.h"

#include "ktConfig/compareWhole.h"
#include "ktCrypto/ktConfigSec.h"

#include <filesystem>

#include <string>
#include <utility>
#include <vector>

// Compared whole: a field added to a record or a member to Outcome must be listed here.
KT_COMPARE_WHOLE(ExternalProxyRecord, product, host, port, description);

namespace {

std::string g_location;

// Everything a read fills: the values of the file, the SFChecker values it gives the
// branding, the fail-close policy, the external proxies and the list built from them, the
// request settings' proxies and stored credential, and the protection mode.
struct Outcome {
    bool read = false;
    ClientConfigValues values;
    BrandingValues branding;
    FailCloseConfig::Values failClose;
    std::vector<ExternalProxyRecord> externalProxies;
    std::vector<std::string> allProxies;
    std::vector<std::string> requestProxies;
    std::string credentials; // the stored form
    bool encrypted = false;
};

KT_COMPARE_WHOLE(Outcome, read, values, branding, failClose, externalProxies, allProxies,
                 requestProxies, credentials, encrypted);

// Builds the tree afresh, writes the file in the chosen form and reads it.
Outcome readOnce(unsigned flags, const std::string& content)
{
    std::error_code ignored;
    std::filesystem::remove_all(g_location, ignored);
    Config::Impl config;
    if (!config.initConfigLocation()) {
        ktFuzz::fail("no configuration location");
    }
    if ((flags & 1) != 0) {
        ktFuzz::writeFile(g_location + "/devconfig.json",
                          "{\"devConfig\": {\"useDevConfig\": \"true\"}}\n");
        config.readDevConfig();
    }
    std::string stored = g_location + "/ktconfig.json";
    if ((flags & 2) != 0) {
        ktConfigSec sec;
        sec.apply(true, config.m_configFilePath, std::vector<std::wstring>());
        if (!sec.writeFile(config.m_configFilePath, content)) {
            ktFuzz::fail("cannot write the protected form");
        }
        stored += ".enc";
    } else {
        ktFuzz::writeFile(stored, content);
    }
    const std::string before = ktFuzz::readFile(stored);
    Outcome outcome;
    outcome.read = config.readClientConfig();
    if (!outcome.read) {
        KT_FUZZ_CHECK(std::filesystem::exists(stored));
        KT_FUZZ_CHECK(ktFuzz::readFile(stored) == before);
    }
    outcome.values = config.clientConfig();
    outcome.branding = config.branding();
    outcome.failClose = config.failClose().values();
    outcome.externalProxies = config.externalProxies();
    outcome.allProxies = config.allProxies();
    auto [proxies, credentials] = config.requestProxySettings();
    outcome.requestProxies = std::move(proxies);
    outcome.credentials = std::move(credentials);
    outcome.encrypted = config.configSec().encrypted();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_location = ktFuzz::startClientTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const unsigned flags = ktFuzz::takeBigEndian(data, size, 1);
    const std::string content(reinterpret_cast<const char*>(data), size);
    const Outcome first = readOnce(flags, content);
    const Outcome second = readOnce(flags, content);
    KT_FUZZ_CHECK(first == second);
    KT_FUZZ_CHECK(!content.empty() || !first.read);
    return 0;
}

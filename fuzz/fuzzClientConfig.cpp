// The ktconfig.json reader on any file, on a fresh client tree each time. The first byte
// chooses: bit 0 the developer mode (devconfig.json switches it on, so the digest check is
// skipped and the keys are read), bit 1 the file stored protected (ktconfig.json.enc). A
// failed read never deletes or changes the file; the same tree reads the same twice.

#include "configTree.h"

#include "ktCrypto/ktConfigSec.h"

#include <filesystem>

#include <string>
#include <vector>

namespace {

std::string g_location;

struct Outcome {
    bool read = false;
    std::string stored; // the file as it was after the read
    ClientConfigValues values;
};

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
    return outcome;
}

bool sameValues(const ClientConfigValues& a, const ClientConfigValues& b)
{
    return a.logLevelText == b.logLevelText && a.logLevel == b.logLevel &&
           a.encryptClientConfig == b.encryptClientConfig && a.ktgwHost == b.ktgwHost &&
           a.ktgwPort == b.ktgwPort && a.qpaTenant == b.qpaTenant && a.qpaPort == b.qpaPort &&
           a.updateIntervalInMin == b.updateIntervalInMin && a.dnsTtl == b.dnsTtl &&
           a.metricsHosts == b.metricsHosts && a.configurationName == b.configurationName &&
           a.priority == b.priority && a.protocol == b.protocol && a.mtu == b.mtu &&
           a.newClientVer == b.newClientVer && a.lastClientUpdated == b.lastClientUpdated &&
           a.productOneProxyHost == b.productOneProxyHost &&
           a.productOneProxyPort == b.productOneProxyPort && a.secureAccess == b.secureAccess;
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
    KT_FUZZ_CHECK(first.read == second.read);
    KT_FUZZ_CHECK(sameValues(first.values, second.values));
    KT_FUZZ_CHECK(!content.empty() || !first.read);
    return 0;
}

// The ktsteering.json reader on any file in a data folder. The first byte chooses: bit 0 the
// developer mode (the digest is not compared), bit 1 the digest "d1" of the file stored. A
// read never changes the file; a failed one leaves every value as it was; a file without
// its digest is never taken outside the developer mode; a taken one holds only valid modes
// and ports; a second read agrees.

#include "ktFuzz/fuzzSupport.h"

#include "ktConfig/SteeringConfig.h"
#include "ktCrypto/ktConfigSec.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string g_folder;
ktConfigSec* g_sec = nullptr;
SteeringConfig* g_steering = nullptr;

struct Values {
    std::int32_t mode, onPrem, offPrem;
    bool dynamic, privateApps, offPremApps, onPremApps, otherApps;
    std::string name;
    std::vector<std::string> domains;
    std::vector<DomainPortRule> rules;
    std::vector<PortRange> ports;
    bool operator==(const Values& o) const
    {
        return mode == o.mode && onPrem == o.onPrem && offPrem == o.offPrem &&
               dynamic == o.dynamic && privateApps == o.privateApps &&
               offPremApps == o.offPremApps && onPremApps == o.onPremApps &&
               otherApps == o.otherApps && name == o.name && domains == o.domains &&
               rules == o.rules && ports == o.ports;
    }
};

Values values(const SteeringConfig& s)
{
    return Values{s.trafficMode(),
                  s.onPremSteeringMethod(),
                  s.offPremSteeringMethod(),
                  s.isDynamicSteeringEnabled(),
                  s.privateAppsEnabled(),
                  s.privateAppsOffPrem(),
                  s.privateAppsOnPrem(),
                  s.privateAppsOtherSteeringMethod(),
                  s.name(),
                  s.domains(),
                  s.domainPorts(),
                  s.ports()};
}

bool validMode(std::int32_t mode)
{
    return mode >= 1 && mode <= 3;
}

bool validRange(const PortRange& range)
{
    return range.first >= 1 && (range.last == 0 || range.first <= range.last);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    setenv("KTDIAG_REGISTRY_FILE", (ktFuzz::tempFolder() + "/registry.json").c_str(), 1);
    g_folder = ktFuzz::makeFolder("data");
    g_sec = new ktConfigSec();
    g_steering = new SteeringConfig(g_sec);
    g_steering->setDataDir(g_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const unsigned flags = ktFuzz::takeBigEndian(data, size, 1);
    const bool developer = (flags & 1) != 0;
    const bool withDigest = (flags & 2) != 0;
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = g_folder + "/ktsteering.json";
    ktFuzz::writeFile(path, content);
    std::remove((g_folder + "/ktinternal.json").c_str());
    if (withDigest && !saveDigest(ktPlatform::toWide(g_folder), content, "d1")) {
        ktFuzz::fail("cannot store the digest");
    }
    g_steering->setSkipIntegrityCheck(developer);

    const Values before = values(*g_steering);
    const int result = g_steering->readConfig();
    KT_FUZZ_CHECK(result == 0 || result == 1);
    KT_FUZZ_CHECK(ktFuzz::readFile(path) == content);
    if (!developer && !withDigest) {
        KT_FUZZ_CHECK(result == 1);
    }
    const Values after = values(*g_steering);
    if (result != 0) {
        KT_FUZZ_CHECK(after == before);
        return 0;
    }
    KT_FUZZ_CHECK(validMode(after.mode) && validMode(after.onPrem) && validMode(after.offPrem));
    if (!after.dynamic) {
        KT_FUZZ_CHECK(after.onPrem == 1 && after.offPrem == 2);
    }
    std::vector<PortRange> ports;
    for (const DomainPortRule& rule : after.rules) {
        for (const PortRange& range : rule.second) {
            KT_FUZZ_CHECK(validRange(range));
            ports.push_back(range);
        }
    }
    KT_FUZZ_CHECK(ports == after.ports);
    for (const std::string& domain : after.domains) {
        KT_FUZZ_CHECK(!domain.empty());
    }
    KT_FUZZ_CHECK(g_steering->readConfig() == 0);
    KT_FUZZ_CHECK(values(*g_steering) == after);
    return 0;
}

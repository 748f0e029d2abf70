#pragma once
// The client tree the configuration targets read from: ProgramData, PUBLIC, APPDATA, the
// registry file and the key folder all inside the private folder, so Config finds its
// configuration location there and nothing outside is touched.

#include "ktFuzz/fuzzSupport.h"

#include "configInternal.h"
#include "ktPlatform/strings.h"

#include <cstdlib>
#include <string>

namespace ktFuzz {

// Sets the folders Config looks in and returns its configuration location.
inline std::string startClientTree()
{
    start();
    // start() already points PUBLIC, ProgramData, APPDATA and the keys into the folder.
    setenv("KTDIAG_REGISTRY_FILE", (tempFolder() + "/registry.json").c_str(), 1);
    Config::Impl config;
    if (!config.initConfigLocation()) {
        fail("no configuration location inside the private folder");
    }
    const std::string location = ktPlatform::toNarrow(config.m_configLocation);
    if (location.compare(0, tempFolder().size(), tempFolder()) != 0) {
        fail("the configuration location is outside the private folder");
    }
    return location;
}

} // namespace ktFuzz

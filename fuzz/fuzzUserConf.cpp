// The ktuser.conf reader on any file in a session's folder (the configuration location, as
// per-user folders are off). A read never changes the file and reads the same twice; what
// it read is written back and reads the same; setting the session up over a file that reads
// never replaces it, over one whose text holds no status replaces it with a status that
// reads.

#include "configTree.h"

#include "ktConfig/userConfig.h"

#include <string>

namespace {

std::string g_path;

bool sameFields(const CUserConfig& a, const CUserConfig& b)
{
    return a.m_userStatus == b.m_userStatus && a.m_tunnelId == b.m_tunnelId &&
           a.m_clientStatus == b.m_clientStatus && a.m_lastTunnelStatus == b.m_lastTunnelStatus &&
           a.m_lastQpaStatus == b.m_lastQpaStatus && a.m_failCloseStatus == b.m_failCloseStatus;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_path = ktFuzz::startClientTree() + "/ktuser.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    ktFuzz::writeFile(g_path, content);
    Config::Impl config;
    config.initConfigLocation();

    CUserConfig first;
    first.m_location = config.m_configLocation;
    const bool read = config.readUserConf(first);
    KT_FUZZ_CHECK(ktFuzz::readFile(g_path) == content);
    KT_FUZZ_CHECK(!content.empty() || !read);
    CUserConfig second;
    second.m_location = config.m_configLocation;
    KT_FUZZ_CHECK(config.readUserConf(second) == read);
    KT_FUZZ_CHECK(sameFields(first, second));

    CUserConfig session;
    config.initUserConfig(session, 1);
    if (read) {
        KT_FUZZ_CHECK(ktFuzz::readFile(g_path) == content);
    } else {
        CUserConfig replaced;
        replaced.m_location = config.m_configLocation;
        KT_FUZZ_CHECK(config.readUserConf(replaced));
    }
    KT_FUZZ_CHECK(session.m_tunnelStatus >= 0 && session.m_tunnelStatus <= 2);
    KT_FUZZ_CHECK(session.m_tunnelStatus == (session.m_clientStatus == 0 ? 2
                                             : session.m_userStatus      ? 0
                                                                         : 1));

    if (read) {
        // Written from what was read, the file reads back the same status.
        first.m_tunnelStatus = first.m_lastTunnelStatus;
        first.m_qpaStatus = first.m_lastQpaStatus;
        KT_FUZZ_CHECK(config.writeUserStatus(first));
        CUserConfig again;
        again.m_location = config.m_configLocation;
        KT_FUZZ_CHECK(config.readUserConf(again));
        KT_FUZZ_CHECK(again.m_userStatus == first.m_userStatus &&
                      again.m_clientStatus == first.m_clientStatus &&
                      again.m_lastTunnelStatus == first.m_lastTunnelStatus &&
                      again.m_lastQpaStatus == first.m_lastQpaStatus &&
                      again.m_failCloseStatus == first.m_failCloseStatus);
    }
    return 0;
}

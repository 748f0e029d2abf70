// The ktidpconfig.json reader on any file. A read never changes the file, reads the same
// twice, and keeps a domain only with two characters or more.

#include "configTree.h"

#include <string>

namespace {

std::string g_location;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_location = ktFuzz::startClientTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = g_location + "/ktidpconfig.json";
    ktFuzz::writeFile(path, content);
    idpConfig first;
    first.m_location = ktPlatform::toWide(g_location);
    const bool read = first.readIdpConfig();
    KT_FUZZ_CHECK(ktFuzz::readFile(path) == content);
    KT_FUZZ_CHECK(!content.empty() || !read);
    KT_FUZZ_CHECK(first.m_domain.empty() || first.m_domain.size() >= 2);

    idpConfig second;
    second.m_location = first.m_location;
    KT_FUZZ_CHECK(second.readIdpConfig() == read);
    KT_FUZZ_CHECK(first.m_domain == second.m_domain && first.m_tenant == second.m_tenant &&
                  first.m_requestEmail == second.m_requestEmail);
    return 0;
}

// The branding reader on any file, on a fresh session folder each time. The first byte
// chooses: bit 0 the file stored protected (ktbranding.json.enc), bit 1 per-user folders on
// (the user's scope instead of the machine's). A read never loses the file's content: it
// stays in the plain file or, once converted, in the protected form. A failed read keeps the
// values read before; the same file reads the same twice.

#include "configTree.h"

#include "ktConfig/branding.h"
#include "ktCrypto/ktEncryptedFile.h"

#include <filesystem>

#include <string>

namespace {

std::string g_location;
std::string g_known; // a folder with a complete branding file, read before each input

const char* const kKnownBranding =
    "{\"UserKey\":\"uk\",\"OrgKey\":\"ok\",\"OrgName\":\"on\",\"AddonManagerHost\":\"am\","
    "\"AddonCheckerHost\":\"ac\",\"UserEmail\":\"ue\"}";

struct Outcome {
    bool read = false;
    BrandingValues values;
};

// The protected form's plaintext as written (without its final zero byte), or nothing.
bool protectedText(const std::string& plain, bool userScope, std::string& text)
{
    CKTEncryptedFile file(ktPlatform::toWide(plain), userScope);
    if (!file.read(text) || text.empty() || text.back() != '\0') {
        return false;
    }
    text.pop_back();
    return true;
}

Outcome readOnce(unsigned flags, const std::string& content)
{
    const bool protectedForm = (flags & 1) != 0;
    const bool userScope = (flags & 2) != 0;
    std::error_code ignored;
    std::filesystem::remove_all(g_location, ignored);
    std::filesystem::create_directories(g_location, ignored);
    if (userScope) {
        ktFuzz::writeFile(
            g_location + "/ktuserconfig.json",
            "{\"ktUserConfig\":{\"enablePerUserConfig\":\"true\",\"configLocation\":\"" +
                g_location + "\"}}");
    }
    Config::Impl config;
    if (!config.initConfigLocation() || config.enablePerUserConfig() != userScope) {
        ktFuzz::fail("no configuration location");
    }
    CUserConfig known;
    known.m_location = ktPlatform::toWide(g_known);
    if (!config.readBranding(known)) {
        ktFuzz::fail("the known branding file does not read");
    }
    const BrandingValues before = config.branding();

    const std::string plain = g_location + "/ktbranding.json";
    if (protectedForm) {
        CKTEncryptedFile file(ktPlatform::toWide(plain), userScope);
        if (!file.write(content)) {
            ktFuzz::fail("cannot write the protected form");
        }
    } else {
        ktFuzz::writeFile(plain, content);
    }

    // Before the read: a plain file that asks for protection is to be converted.
    const bool converts =
        !protectedForm && isBrandingConversionNeeded(ktPlatform::toWide(plain), content);
    CUserConfig session;
    session.m_location = config.m_configLocation;
    Outcome outcome;
    outcome.read = config.readBranding(session);
    outcome.values = config.branding();
    KT_FUZZ_CHECK(outcome.read == session.m_brandingRead);
    if (!outcome.read) {
        KT_FUZZ_CHECK(before == outcome.values);
    } else {
        KT_FUZZ_CHECK(session.m_userKey == outcome.values.userKey &&
                      session.m_userEmail == outcome.values.userEmail);
    }

    // The content is never lost: in the form it was written in or, converted, protected
    // (the plain file removed only then).
    std::string stored;
    if (protectedForm || converts) {
        KT_FUZZ_CHECK(protectedText(plain, userScope, stored) && stored == content);
        KT_FUZZ_CHECK(protectedForm || !std::filesystem::exists(plain));
    } else {
        KT_FUZZ_CHECK(ktFuzz::readFile(plain) == content);
        KT_FUZZ_CHECK(!std::filesystem::exists(plain + ".enc"));
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_location = ktFuzz::startClientTree();
    g_known = ktFuzz::makeFolder("known-branding");
    ktFuzz::writeFile(g_known + "/ktbranding.json", kKnownBranding);
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
    KT_FUZZ_CHECK(first.values == second.values);
    return 0;
}

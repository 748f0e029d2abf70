// The protected-file reader on any file content, through a real file in the private folder
// and the fixed keys. Input: one byte of flags (bit 0: user scope; bit 1: the rest is a blob,
// written as its base64 text, so mutations reach the blob layout), then the content. What
// reads back must be what the same object reads again after writing it anew.

#include "ktFuzz/fuzzSupport.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"

#include <string>

namespace {

std::string g_plain; // the plain file's path; the reader adds ".enc"

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    g_plain = ktFuzz::makeFolder("protected") + "/ktconfig.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const unsigned flags = ktFuzz::takeBigEndian(data, size, 1);
    const bool userScope = (flags & 1) != 0;
    std::string content(reinterpret_cast<const char*>(data), size);
    if ((flags & 2) != 0) {
        content = base64Encode(data, static_cast<unsigned int>(size));
    }
    ktFuzz::writeFile(g_plain + ".enc", content);

    CKTEncryptedFile file(ktPlatform::toWide(g_plain), userScope);
    std::string read = "stale";
    const bool ok = file.read(read);
    KT_FUZZ_CHECK(ok == !read.empty());
    KT_FUZZ_CHECK(file.unprotectData(content) == read);
    if (!ok) {
        // Neither a failed read nor a refused blob leaves anything behind.
        KT_FUZZ_CHECK(ktFuzz::readFile(g_plain + ".enc") == content);
        return 0;
    }
    // The other scope never opens it.
    KT_FUZZ_CHECK(
        CKTEncryptedFile(ktPlatform::toWide(g_plain), !userScope).unprotectData(content).empty());
    KT_FUZZ_CHECK(file.write(read));
    std::string again;
    KT_FUZZ_CHECK(file.read(again));
    KT_FUZZ_CHECK(again == read + '\0');
    return 0;
}

// The digest file reader on any ktinternal.json, through a real file in the private folder:
// the check of a guarded text and the save of its digest. A save that fails leaves the file
// as it was; one that succeeds makes the check pass.

#include "ktFuzz/fuzzSupport.h"

#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"

#include <string>

namespace {

std::string g_folder;
// The guarded text of the seeds' "d5" and "d2" digests.
const std::string kGuarded = "{\n    \"events\": \"\"\n}\n";

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    g_folder = ktFuzz::makeFolder("data");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const unsigned which = ktFuzz::takeBigEndian(data, size, 1);
    const std::string key = which % 3 == 0 ? "d5" : which % 3 == 1 ? "d2" : "d1.x";
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = g_folder + "/ktinternal.json";
    ktFuzz::writeFile(path, content);
    const std::wstring folder = ktPlatform::toWide(g_folder);

    validateDigest(folder, kGuarded, key);
    KT_FUZZ_CHECK(ktFuzz::readFile(path) == content); // a check changes nothing

    if (!saveDigest(folder, kGuarded, key)) {
        KT_FUZZ_CHECK(ktFuzz::readFile(path) == content);
        return 0;
    }
    KT_FUZZ_CHECK(validateDigest(folder, kGuarded, key));
    KT_FUZZ_CHECK(!validateDigest(folder, kGuarded + " ", key));
    return 0;
}

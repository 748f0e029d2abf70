// ktprotectfile: stores configuration files in the client's protected form, for the demo.
// For each plain file named, writes "<file>.enc" (machine scope) with the client's own
// code, then removes the plain file. Exits 1 at the first file that fails, keeping it.

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"
#include "ktUtils/fileUtil.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ktprotectfile <file>...\n");
        return 1;
    }
    ktPlatform::initProcessLocale();
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        const std::wstring widePath = ktPlatform::toWide(path);
        std::string data;
        if (!readFile(widePath.c_str(), data)) {
            std::fprintf(stderr, "ktprotectfile: cannot read %s\n", path.c_str());
            return 1;
        }
        if (!CKTEncryptedFile(widePath, false).write(data)) {
            std::fprintf(stderr, "ktprotectfile: cannot protect %s\n", path.c_str());
            return 1;
        }
        if (std::remove(path.c_str()) != 0) {
            std::fprintf(stderr, "ktprotectfile: %s.enc written, but %s stays\n", path.c_str(),
                         path.c_str());
            return 1;
        }
    }
    return 0;
}

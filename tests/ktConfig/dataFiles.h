#pragma once
// Files of the client's data folder for the configuration tests.

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"
#include "ktTest/clientTree.h"

#include <filesystem>
#include <stdexcept>
#include <string>

namespace ktConfigTest {

// Writes name into the data folder, plain or protected (machine scope), and stores the
// digest of the bytes as stored under digestKey when one is given.
inline void writeDataFile(ktTest::ClientTree& tree, const std::string& name,
                          const std::string& content, const std::string& digestKey = "",
                          bool protectedForm = false)
{
    std::filesystem::create_directories(tree.dataFolder());
    const std::string path = tree.dataFolder() + "/" + name;
    if (protectedForm) {
        if (!CKTEncryptedFile(ktPlatform::toWide(path), false).write(content)) {
            throw std::runtime_error("the protected file could not be written");
        }
    } else {
        ktTest::writeAll(path, content);
    }
    if (!digestKey.empty()) {
        tree.writeDigest(digestKey, ktTest::readAll(protectedForm ? path + ".enc" : path));
    }
}

} // namespace ktConfigTest

#pragma once
// Stored proxy credentials made by the openssl command-line tool, independently of the
// client's code: base64 of AES-256-CBC of plain, keyed by the product id padded on the
// right with '0' characters to 32 bytes, with the client's fixed IV.

#include <string>

namespace ktTest {

// scratchFolder: where the plain text is kept while openssl reads it (removed after).
// Fails the running test when openssl fails.
std::string storedProxyCredentials(const std::string& productId, const std::string& plain,
                                   const std::string& scratchFolder);

} // namespace ktTest

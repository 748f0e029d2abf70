#pragma once
// The process of the REST tests: no proxy variables, the test PKI trusted, a registry file
// and data-protection keys of its own, the log at debug level.

#include <optional>
#include <string>

namespace restTest {

// Writes the registry file with this "ProductId"; nullopt removes the file.
void setProductId(const std::optional<std::string>& productId);

// Stored proxy credentials made by the openssl command-line tool, independently of our
// code: base64 of AES-256-CBC of plain, keyed by the product id padded on the right with
// '0' characters to 32 bytes, with the fixed IV.
std::string storedCredentials(const std::string& productId, const std::string& plain);

} // namespace restTest

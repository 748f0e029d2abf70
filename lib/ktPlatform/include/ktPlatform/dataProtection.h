#pragma once
// The data-protection API: AES-256-GCM under a key of the chosen scope, in a blob format
// of our own (docs/protected-blob.md). The machine key is readable by every local account,
// as machine scope is on Windows; a user's key is private to that user. A blob of one
// scope never opens under the other. Keys are made on first use and live outside every
// folder the diagnostics collection walks:
//   machine: <ProgramData>/kestrani/keys/machine.key
//   user:    <home>/.local/share/kestrani/keys/user.key (home of the thread's identity)
// KTDIAG_DPAPI_KEY_DIR puts both into one folder instead: machine.key and user-<uid>.key.

#include <string>

namespace ktPlatform {

enum class ProtectionScope { user, machine };

// Stands for CryptProtectData(plain, description, no entropy, no prompt, flags 0 or
// CRYPTPROTECT_LOCAL_MACHINE): the user scope follows the calling thread's identity, so it
// is the impersonated user's while impersonating. False (errno) when the scope's key can be
// neither read nor made.
bool protectData(const std::string& plain, const std::wstring& description, ProtectionScope scope,
                 std::string& blob);

// Stands for CryptUnprotectData: false (errno EINVAL) for a blob that is not ours, is of
// the other scope, was changed or made under another key; false (errno) when the key is
// missing or unreadable. Never makes a key. description may be null.
bool unprotectData(const std::string& blob, ProtectionScope scope, std::string& plain,
                   std::wstring* description);

} // namespace ktPlatform

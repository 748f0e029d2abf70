#pragma once
// The calling thread's identity, shared by the stand-ins that act as it. Internal.

#include "ktPlatform/tokens.h"

#include <cstdint>

namespace ktPlatform {

// The calling thread's file-system uid: the impersonated user's while impersonating.
std::uint32_t currentFsUid();
// Its file-system gid.
std::uint32_t currentFsGid();

// The passwd entry of uid; false (errno ENOENT) when there is none.
bool lookupUser(std::uint32_t uid, Token& token);

} // namespace ktPlatform

#pragma once
// The tool's fixed identity; the product version comes from the build (kProductVersion).

#include "ktConfig/productVersion.h"

constexpr const char* kTitle = "Kestrani Client Diagnostics Tool";
constexpr const char* kCopyright = "Copyright (c) Kestrani. All rights reserved.";

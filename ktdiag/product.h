#pragma once
// The tool's fixed identity; the product version is the configuration's kProductVersion.

#include "ktConfig/config.h"

constexpr const char* kTitle = "Kestrani Client Diagnostics Tool";
constexpr const char* kCopyright = "Copyright (c) Kestrani. All rights reserved.";

#pragma once
// The tool's fixed identity.

constexpr const char* kTitle = "Kestrani Client Diagnostics Tool";
constexpr const char* kProductVersion = "93.0.1.944";
constexpr const char* kCopyright = "Copyright (c) Kestrani. All rights reserved.";

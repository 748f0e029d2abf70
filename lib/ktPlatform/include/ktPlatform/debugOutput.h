#pragma once
// Stands for OutputDebugStringA: a replaceable sink, silent by default.

#include <functional>
#include <string>

namespace ktPlatform {

using DebugOutputSink = std::function<void(const std::string&)>;

// Passes text to the current sink unchanged.
void outputDebugString(const std::string& text);
// Replaces the sink; an empty function makes it silent again. Not thread-safe:
// set it before other threads start.
void setDebugOutputSink(DebugOutputSink sink);

} // namespace ktPlatform

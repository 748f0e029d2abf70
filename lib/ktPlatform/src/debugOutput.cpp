#include "ktPlatform/debugOutput.h"

#include <utility>

namespace ktPlatform {

namespace {
DebugOutputSink& sink()
{
    static DebugOutputSink s;
    return s;
}
} // namespace

void outputDebugString(const std::string& text)
{
    if (sink()) {
        sink()(text);
    }
}

void setDebugOutputSink(DebugOutputSink newSink)
{
    sink() = std::move(newSink);
}

} // namespace ktPlatform

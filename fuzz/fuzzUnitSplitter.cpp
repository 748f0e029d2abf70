// The pump's unit splitter on any byte stream, fed in chunks whose sizes the input chooses.
// Input: a 4-byte unit limit (0: the link's own), a 2-byte count of chunk sizes, that many
// 2-byte sizes (used in turn, round and round), then the stream. However the stream is cut,
// the splitter must hand out what a plain reading of the whole stream gives.

#include "ktFuzz/fuzzSupport.h"

#include "ktcom2/KTUnitSplitter.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Split {
    std::vector<std::string> units;
    bool refused = false;
    std::size_t partial = 0; // bytes of an incomplete last unit, prefix included
};

// A plain reading of the whole stream, as docs/service-link.md describes it.
Split reference(const std::string& stream, std::size_t limit)
{
    Split out;
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        std::size_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            length = (length << 8) | static_cast<unsigned char>(stream[at + i]);
        }
        if (length > limit) {
            out.refused = true;
            return out;
        }
        if (stream.size() - at - 4 < length) {
            break;
        }
        out.units.push_back(stream.substr(at + 4, length));
        at += 4 + length;
    }
    out.partial = stream.size() - at;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    std::size_t limit = ktFuzz::takeBigEndian(data, size, 4);
    if (limit == 0) {
        limit = kMaxUnitLength;
    }
    std::vector<std::size_t> chunks(ktFuzz::takeBigEndian(data, size, 2) % 64);
    for (std::size_t& chunk : chunks) {
        chunk = ktFuzz::takeBigEndian(data, size, 2);
    }
    if (std::none_of(chunks.begin(), chunks.end(), [](std::size_t c) { return c > 0; })) {
        chunks.push_back(std::max<std::size_t>(size, 1)); // so the stream arrives in the end
    }
    const std::string stream(reinterpret_cast<const char*>(data), size);
    const Split expected = reference(stream, limit);

    CKTUnitSplitter splitter(limit);
    Split got;
    const auto deliver = [&](std::string&& unit) {
        KT_FUZZ_CHECK(!got.refused);
        got.units.push_back(std::move(unit));
    };
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size() || i == 0; ++i) {
        // A chunk of 0 bytes is a call with nothing new, which must change nothing.
        const std::size_t chunk = std::min(chunks[i % chunks.size()], stream.size() - at);
        const bool ok = splitter.feed(stream.data() + at, chunk, deliver);
        at += chunk;
        if (!ok) {
            got.refused = true;
            KT_FUZZ_CHECK(splitter.buffered() == 0);
            break;
        }
        // Never more than one partial unit.
        KT_FUZZ_CHECK(splitter.buffered() <= 4 + limit);
    }
    KT_FUZZ_CHECK(got.refused == expected.refused);
    KT_FUZZ_CHECK(got.units == expected.units);
    if (got.refused) {
        // Refused for good until a new stream starts.
        KT_FUZZ_CHECK(!splitter.feed("\0\0\0\0", 4, deliver));
    } else {
        KT_FUZZ_CHECK(splitter.buffered() == expected.partial);
    }
    splitter.clear();
    KT_FUZZ_CHECK(splitter.buffered() == 0);
    std::vector<std::string> fresh;
    KT_FUZZ_CHECK(splitter.feed("\0\0\0\1x", 5, [&](std::string&& u) { fresh.push_back(u); }));
    KT_FUZZ_CHECK(fresh == std::vector<std::string>{"x"});
    return 0;
}

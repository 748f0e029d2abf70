// The handshake's frame parser and the acknowledgement check, on any bytes as a received
// frame; and frames built from the input, which the parser must take back unchanged.

#include "ktFuzz/fuzzSupport.h"

#include "ktcom2/KTComFrame.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string buffer(reinterpret_cast<const char*>(data), size);

    CKTComFrameParser parser;
    const bool taken = parser.setFrameBuffer(buffer);
    if (taken) {
        const std::uint64_t declared =
            (std::uint64_t{data[10]} << 24) | (data[11] << 16) | (data[12] << 8) | data[13];
        KT_FUZZ_CHECK(parser.frame().size() == kFrameHeaderSize + declared);
        KT_FUZZ_CHECK(buffer.compare(0, parser.frame().size(), parser.frame()) == 0);
        KT_FUZZ_CHECK(parser.frameType() == data[9]);
        // A refusal later keeps the frame taken before.
        const std::string before = parser.frame();
        KT_FUZZ_CHECK(!parser.setFrameBuffer(buffer.substr(0, kFrameHeaderSize - 1)));
        KT_FUZZ_CHECK(parser.frame() == before && parser.frameType() == data[9]);
    } else {
        KT_FUZZ_CHECK(parser.frameType() == -1 && parser.frame().empty());
    }
    KT_FUZZ_CHECK((checkHandshakeAck(buffer) == 0) == (taken && data[9] == kFrameTypeAck));

    // The input as TLVs of a frame the creator builds: type and length from the first four
    // bytes of each, its value behind them.
    CKTComFrameCreator creator;
    KT_FUZZ_CHECK(creator.createFrameHeader(size % 2 == 0 ? kFrameTypeAck : kFrameTypeRequest));
    std::string tlvs;
    std::size_t at = 0;
    while (size - at >= 5) {
        const int type = (data[at] << 8) | data[at + 1];
        const std::size_t wanted = (data[at + 2] << 8) | data[at + 3];
        at += 4;
        const std::string value = buffer.substr(at, wanted);
        at += value.size();
        const auto length = static_cast<std::uint16_t>(value.size());
        if (value.empty()) {
            const std::string before = creator.frame();
            KT_FUZZ_CHECK(!creator.addTLV(type, length, value) && creator.frame() == before);
            continue;
        }
        KT_FUZZ_CHECK(creator.addTLV(type, length, value));
        tlvs += std::string{static_cast<char>(type >> 8), static_cast<char>(type),
                            static_cast<char>(length >> 8), static_cast<char>(length)} +
                value;
    }
    CKTComFrameParser reader;
    KT_FUZZ_CHECK(reader.setFrameBuffer(creator.frame() + "trailing"));
    KT_FUZZ_CHECK(reader.frame() == creator.frame());
    KT_FUZZ_CHECK(reader.frame().compare(kFrameHeaderSize, std::string::npos, tlvs) == 0);
    KT_FUZZ_CHECK(reader.frameType() == (size % 2 == 0 ? kFrameTypeAck : kFrameTypeRequest));
    return 0;
}

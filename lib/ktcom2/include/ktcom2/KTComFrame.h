#pragma once
// Handshake frames of the service link (layout in docs/service-link.md): a 14-byte
// header (signature "KesTr4ni", version 1, frame type, big-endian length of what follows)
// and back-to-back TLVs (big-endian 16-bit type and length, then the value).

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kFrameHeaderSize = 14;
constexpr int kFrameVersion = 1;
constexpr int kFrameTypeRequest = 0;
constexpr int kFrameTypeAck = 1;
constexpr int kTlvClientName = 0;

// Builds one frame in place.
class CKTComFrameCreator {
public:
    // Starts a new frame: signature, version 1, frameType (0 or 1), length 0. Another
    // type is refused (logged, false) and the frame is left as it was.
    bool createFrameHeader(int frameType);

    // Appends a TLV with the first length bytes of value and updates the header's length.
    // Refused (logged, false, nothing appended) before a header, for a type outside 0 to
    // 65535, an empty value or a length larger than the value.
    bool addTLV(int type, std::uint16_t length, const std::string& value);

    // The frame bytes so far.
    const std::string& frame() const { return m_frame; }

private:
    std::string m_frame;
};

// Checks and keeps one received frame.
class CKTComFrameParser {
public:
    // Takes buffer when it holds a whole frame: at least the header, the signature,
    // version 1 and all the bytes its length field announces (bytes beyond are dropped).
    // False, logged, otherwise.
    bool setFrameBuffer(const std::string& buffer);

    // Header byte 9 of the frame taken; -1 before one was taken.
    int frameType() const;

    // The frame taken, cut to its declared size.
    const std::string& frame() const { return m_frame; }

private:
    std::string m_frame;
    bool m_valid = false; // the acknowledgement is judged by its header alone
};

// Judges the payload of the service's acknowledgement unit: 0 when it is a whole frame (as
// setFrameBuffer takes it) of type 1, else -1 (logged). Its TLVs are not examined.
int checkHandshakeAck(const std::string& frame);

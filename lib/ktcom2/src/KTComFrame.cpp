#include "ktcom2/KTComFrame.h"

#include "bigEndian.h"

#include "ktLog/ktLog.h"

#include <cstring>

static const char* const kLogModule = "KTCOM2";

namespace {

constexpr char kSignature[8] = {'K', 'e', 's', 'T', 'r', '4', 'n', 'i'};

} // namespace

bool CKTComFrameCreator::createFrameHeader(int frameType)
{
    if (frameType < 0 || frameType > kFrameTypeAck) {
        KTLOG(KT_LOG_ERROR, "CKTComFrameCreator::createFrameHeader(): Invalid Frame type");
        return false;
    }
    m_frame.assign(kSignature, sizeof(kSignature));
    m_frame += static_cast<char>(kFrameVersion);
    m_frame += static_cast<char>(frameType);
    m_frame.append(4, '\0');
    return true;
}

bool CKTComFrameCreator::addTLV(int type, std::uint16_t length, const std::string& value)
{
    if (m_frame.size() < kFrameHeaderSize || type < 0 || type > 0xFFFF || value.empty() ||
        length > value.size()) {
        KTLOG(KT_LOG_ERROR, "CKTComFrameCreator::addTLV(): Invalid TLV type (%d) or value is empty",
              type);
        return false;
    }
    m_frame += static_cast<char>((type >> 8) & 0xFF);
    m_frame += static_cast<char>(type & 0xFF);
    m_frame += static_cast<char>((length >> 8) & 0xFF);
    m_frame += static_cast<char>(length & 0xFF);
    m_frame.append(value, 0, length);
    writeBigEndian32(&m_frame[10], static_cast<std::uint32_t>(m_frame.size() - kFrameHeaderSize));
    return true;
}

bool CKTComFrameParser::setFrameBuffer(const std::string& buffer)
{
    if (buffer.empty()) {
        KTLOG(KT_LOG_ERROR, "CKTComFrameParser::setFrameBuffer(): frame size is zero");
        return false;
    }
    if (buffer.size() < sizeof(kSignature) ||
        std::memcmp(buffer.data(), kSignature, sizeof(kSignature)) != 0) {
        KTLOG(KT_LOG_ERROR, "CKTComFrameParser::setFrameBuffer(): Invalid Signature");
        return false;
    }
    if (buffer.size() > 8 && buffer[8] != kFrameVersion) {
        KTLOG(KT_LOG_ERROR, "CKTComFrameParser::setFrameBuffer(): frame ver: %d, lib ver:%d",
              static_cast<int>(static_cast<signed char>(buffer[8])), kFrameVersion);
        return false;
    }
    // A short header, or fewer bytes than the length field announces (64-bit sum).
    if (buffer.size() < kFrameHeaderSize ||
        static_cast<std::uint64_t>(buffer.size()) <
            static_cast<std::uint64_t>(kFrameHeaderSize) + readBigEndian32(buffer.data() + 10)) {
        KTLOG(KT_LOG_ERROR, "CKTComFrameParser::setFrameBuffer(): frame size is zero");
        return false;
    }
    m_frame.assign(buffer, 0, kFrameHeaderSize + readBigEndian32(buffer.data() + 10));
    m_valid = true;
    return true;
}

int CKTComFrameParser::frameType() const
{
    return m_valid ? static_cast<unsigned char>(m_frame[9]) : -1;
}

int checkHandshakeAck(const std::string& frame)
{
    CKTComFrameParser parser;
    if (!parser.setFrameBuffer(frame)) {
        KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer, failed to parse msg");
        return -1;
    }
    if (parser.frameType() != kFrameTypeAck) {
        KTLOG(KT_LOG_ERROR, "recvHandshakeAckfromServer failed to get a valid reply");
        return -1;
    }
    return 0;
}

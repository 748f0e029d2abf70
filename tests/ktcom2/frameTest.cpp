#include "ktcom2/KTComFrame.h"

#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

const std::string kHeaderAck = "KesTr4ni\x01\x01\x00\x00\x00\x00"s;

TEST(FrameCreator, HandshakeRequestForANineCharacterName)
{
    CKTComFrameCreator creator;
    ASSERT_TRUE(creator.createFrameHeader(kFrameTypeRequest));
    ASSERT_TRUE(creator.addTLV(kTlvClientName, 9, "ktDiag_s1"));
    EXPECT_EQ(creator.frame(), "KesTr4ni\x01\x00\x00\x00\x00\x0d\x00\x00\x00\x09ktDiag_s1"s);
}

TEST(FrameCreator, SecondTlvUpdatesTheLengthAndLongerValuesAreCut)
{
    CKTComFrameCreator creator;
    ASSERT_TRUE(creator.createFrameHeader(kFrameTypeAck));
    ASSERT_TRUE(creator.addTLV(0, 2, "abc"));
    ASSERT_TRUE(creator.addTLV(0x0102, 1, "z"));
    EXPECT_EQ(creator.frame(), "KesTr4ni\x01\x01\x00\x00\x00\x0b"
                               "\x00\x00\x00\x02"
                               "ab"
                               "\x01\x02\x00\x01"
                               "z"s);
}

TEST(FrameCreator, RefusalsLeaveTheFrameAlone)
{
    CKTComFrameCreator creator;
    EXPECT_FALSE(creator.addTLV(0, 1, "a")); // no header yet
    EXPECT_TRUE(creator.frame().empty());
    EXPECT_FALSE(creator.createFrameHeader(2));
    EXPECT_FALSE(creator.createFrameHeader(-1));
    EXPECT_TRUE(creator.frame().empty());

    ASSERT_TRUE(creator.createFrameHeader(kFrameTypeAck));
    const struct {
        int type;
        std::uint16_t length;
        std::string value;
    } refused[] = {
        {0, 0, ""},        // empty value
        {0, 4, "abc"},     // longer than the value
        {-1, 1, "a"},      // type out of range
        {0x10000, 1, "a"}, // type out of range
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.type);
        EXPECT_FALSE(creator.addTLV(r.type, r.length, r.value));
        EXPECT_EQ(creator.frame(), kHeaderAck);
    }
}

TEST(FrameParser, Table)
{
    const struct {
        std::string buffer;
        int type; // -1: refused
        std::size_t kept;
    } cases[] = {
        {"", -1, 0},
        {"KesTr4n", -1, 0},                                 // shorter than the signature
        {"KesTr4nX\x01\x01\x00\x00\x00\x00"s, -1, 0},       // bad signature
        {"KesTr4ni\x02\x01\x00\x00\x00\x00"s, -1, 0},       // version 2
        {"KesTr4ni\x01\x01\x00\x00\x00"s, -1, 0},           // 13 bytes
        {"KesTr4ni\x01\x01\x00\x00\x00\x05xyz"s, -1, 0},    // fewer than announced
        {"KesTr4ni\x01\x01\xff\xff\xff\xff"s, -1, 0},       // 14 + 0xFFFFFFFF
        {kHeaderAck, 1, 14},                                // bare acknowledgement
        {"KesTr4ni\x01\x00\x00\x00\x00\x00"s, 0, 14},       // a request frame
        {"KesTr4ni\x01\x01\x00\x00\x00\x02xyrest"s, 1, 16}, // trailing bytes dropped
        {"KesTr4ni\x01\x07\x00\x00\x00\x00"s, 7, 14},       // type is not judged here
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.buffer));
        CKTComFrameParser parser;
        EXPECT_EQ(parser.setFrameBuffer(c.buffer), c.type >= 0);
        EXPECT_EQ(parser.frameType(), c.type);
        EXPECT_EQ(parser.frame().size(), c.kept);
    }
}

TEST(HandshakeAck, OnlyAWholeFrameOfType1IsAccepted)
{
    const struct {
        std::string frame;
        int result;
        const char* logged;
    } cases[] = {
        {kHeaderAck, 0, nullptr},
        {"KesTr4ni\x01\x01\x00\x00\x00\x02xy"s, 0, nullptr},
        {"KesTr4ni\x01\x00\x00\x00\x00\x00"s, -1,
         "recvHandshakeAckfromServer failed to get a valid reply"},
        {"KesTr4ni\x01\x01\x00\x00\x00\x02x"s, -1,
         "recvHandshakeAckfromServer, failed to parse msg"},
        {"KesTr4nX\x01\x01\x00\x00\x00\x00"s, -1,
         "recvHandshakeAckfromServer, failed to parse msg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.frame));
        ktTest::clearLog();
        EXPECT_EQ(checkHandshakeAck(c.frame), c.result);
        if (c.logged != nullptr) {
            EXPECT_TRUE(ktTest::logHas(c.logged));
        } else {
            EXPECT_EQ(ktTest::logText(), "");
        }
    }
}

} // namespace

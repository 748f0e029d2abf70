#include "ktmsg2/KTMsg2.h"
#include "ktmsg2/KTMsgIds.h"

#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new ktTest::TestLogEnvironment);

TEST(MessageIds, TableSkipsTheUnnamedIds)
{
    ASSERT_EQ(std::size(messageNames), 60u);
    const struct {
        std::size_t position;
        int id;
        const char* name;
    } cases[] = {
        {0, GET_UA, "GET_UA"},
        {23, CLIENT_PING, "CLIENT_PING"},
        {40, RESP_DRIVER_LOG_CAPTURE_STATUS, "RESP_DRIVER_LOG_CAPTURE_STATUS"},
        {41, GET_QPA_STATUS, "GET_QPA_STATUS"},
        {59, RESP_SET_PKT_ACTION, "RESP_SET_PKT_ACTION"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(messageNames[c.position], c.name);
        EXPECT_EQ(c.id, c.position <= 40 ? 101 + static_cast<int>(c.position)
                                         : 103 + static_cast<int>(c.position));
    }
    EXPECT_EQ(CLIENT_PING, 124);
    EXPECT_EQ(GET_QPA_STATUS, 144);
    EXPECT_EQ(SET_PKT_ACTION, 161);
}

TEST(KTMsg2, DetachOfAnEmptyBodyIsThePingText)
{
    KTMsg2 ping;
    ping.m_msgId = CLIENT_PING;
    std::string text;
    ASSERT_TRUE(ping.detach(text));
    EXPECT_EQ(text, "{\n    \"124\": \"\"\n}\n");
    // Detach empties the message.
    ASSERT_TRUE(ping.detach(text));
    EXPECT_EQ(text, "{\n    \"0\": \"\"\n}\n");
}

TEST(KTMsg2, DetachWritesTypedItemsAsStringsInInsertionOrder)
{
    KTMsg2 msg;
    msg.m_msgId = START_PKT_CAPTURE;
    msg.AddItem<std::string>("Capture", "c.pcap");
    msg.AddItem<unsigned int>("snapLen", 1500u);
    msg.AddItem<unsigned long>("sessionID", 1ul);
    msg.AddItem<int>("pktAction", -1);
    msg.AddItem<bool>("ktdiagEnable", true);
    msg.AddItem<const char*>("clientName", "ktDiag");
    msg.AddItem<KtLogLevel>("logLevel", KT_LOG_WARNING);
    msg.AddItem<std::string>("a.b", "x");
    msg.AddItem<std::string>("a.c", "y");
    msg.AddItem<std::string>("snapLen", "replaced");
    std::string text;
    ASSERT_TRUE(msg.detach(text));
    EXPECT_EQ(text, "{\n"
                    "    \"120\": {\n"
                    "        \"Capture\": \"c.pcap\",\n"
                    "        \"snapLen\": \"replaced\",\n"
                    "        \"sessionID\": \"1\",\n"
                    "        \"pktAction\": \"-1\",\n"
                    "        \"ktdiagEnable\": \"true\",\n"
                    "        \"clientName\": \"ktDiag\",\n"
                    "        \"logLevel\": \"3\",\n"
                    "        \"a\": {\n"
                    "            \"b\": \"x\",\n"
                    "            \"c\": \"y\"\n"
                    "        }\n"
                    "    }\n"
                    "}\n");
    EXPECT_EQ(msg.m_msgId, 0);
    EXPECT_TRUE(msg.m_body.empty());
}

TEST(KTMsg2, DetachEscapesKeysAndValues)
{
    KTMsg2 msg;
    msg.m_msgId = GET_DIAG;
    msg.AddItem<std::string>("Diag", "C:\\t/\"q\"\n\x01\t\xC3\xA9");
    msg.AddItem<std::string>("k\"/", "v");
    std::string text;
    ASSERT_TRUE(msg.detach(text));
    EXPECT_EQ(text,
              "{\n    \"115\": {\n        \"Diag\": \"C:\\\\t\\/\\\"q\\\"\\n\\u0001\\t\xC3\xA9\",\n"
              "        \"k\\\"\\/\": \"v\"\n"
              "    }\n}\n");
}

TEST(KTMsg2, FailedDetachChangesNothing)
{
    KTMsg2 msg;
    msg.m_msgId = GET_STATUS;
    // A node with both a value and children cannot be written as JSON.
    msg.AddItem<std::string>("a", "x");
    msg.AddItem<std::string>("a.b", "y");
    std::string text = "earlier";
    EXPECT_FALSE(msg.detach(text));
    EXPECT_EQ(text, "earlier");
    EXPECT_EQ(msg.m_msgId, GET_STATUS);
    EXPECT_EQ(msg.m_body.get<std::string>("a"), "x");
    EXPECT_NE(ktTest::logText().find("detach threw exception"), std::string::npos);
}

std::string nested(int depth)
{
    std::string text = "\"v\"";
    for (int i = 1; i < depth; ++i) {
        text = "{\"k\":" + text + "}";
    }
    return "{\"104\":" + text + "}";
}

// A message of count values and keys in all: the object, its key, an array and its zeros.
std::string withValues(std::size_t count)
{
    std::string text = "{\"104\":[0";
    for (std::size_t i = 4; i < count; ++i) {
        text += ",0";
    }
    return text + "]}";
}

TEST(KTMsg2, AttachTable)
{
    const struct {
        std::string text;
        std::optional<int> id; // nullopt: refused
    } cases[] = {
        {"{\"104\":{\"status\":\"1\"}}", 104},
        {"{\"104\":{\"status\":\"1\"},\"105\":{\"status\":\"2\"}}", 104},
        {"{\"124\":\"\"}", 124},
        {"{\" 104\":{}}", 104},
        {"{\"-5\":{}}", -5},
        {"{\"+7\":{}}", 7},
        {"{\"145abc\":{}}", 145}, // as atoi reads it: up to the first other character
        {"{\" \\t-3 4\":{}}", -3},
        {"{\"+\":{}}", 0},
        {"{\"-x1\":{}}", 0},
        {"{\"abc\":{}}", 0},
        {"{\"99999999999x\":{}}", 0},
        {"{\"99999999999\":{}}", 0},
        {"{\"2147483647\":{}}", 2147483647},
        {nested(64), 104},
        {nested(65), std::nullopt},
        {std::string(100000, '[') + std::string(100000, ']'), std::nullopt},
        {withValues(kMaxMessageValues), 104},
        {withValues(kMaxMessageValues + 1), std::nullopt},
        {"{}", std::nullopt},
        {"[]", std::nullopt},
        {"[\"1\",\"2\"]", std::nullopt},
        {"\"abc\"", std::nullopt},
        {"5", std::nullopt},
        {"{\"\":{\"status\":\"1\"}}", std::nullopt},
        {"not json", std::nullopt},
        {"", std::nullopt},
        {"{\"104\":", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        KTMsg2 msg;
        msg.m_msgId = 7;
        msg.AddItem<std::string>("keep", "1");
        const bool ok = msg.attach(c.text);
        ASSERT_EQ(ok, c.id.has_value());
        if (ok) {
            EXPECT_EQ(msg.m_msgId, *c.id);
            EXPECT_FALSE(msg.m_body.get_optional<std::string>("keep"));
        } else {
            EXPECT_EQ(msg.m_msgId, 7);
            EXPECT_EQ(msg.m_body.get<std::string>("keep"), "1");
        }
    }
}

TEST(KTMsg2, AttachKeepsTheFirstMessageBody)
{
    KTMsg2 msg;
    ASSERT_TRUE(
        msg.attach("{\"104\":{\"status\":\"1\",\"a\":{\"b\":\"c\"}},\"105\":{\"x\":\"y\"}}"));
    std::string status;
    std::string nestedValue;
    std::string other = "none";
    msg.GetItem("status", status);
    msg.GetItem("a.b", nestedValue);
    msg.GetItem("x", other);
    EXPECT_EQ(status, "1");
    EXPECT_EQ(nestedValue, "c");
    EXPECT_EQ(other, "none");
}

TEST(KTMsg2, RefusedPeerTextIsLoggedWithControlsEscaped)
{
    ktTest::clearLog();
    KTMsg2 msg;
    EXPECT_FALSE(msg.attach("{\"1\":\x01\r\nforged line"));
    const std::string log = ktTest::logText();
    EXPECT_NE(log.find("attach():exception"), std::string::npos);
    EXPECT_NE(log.find("corrupted message: {\"1\":\\x01\\r\\nforged line"), std::string::npos);
    EXPECT_EQ(log.find('\x01'), std::string::npos);
    EXPECT_EQ(log.find("\nforged"), std::string::npos);
}

TEST(KTMsg2, RefusalsAreLoggedOnceAndOnlyByAttach)
{
    for (const std::string& text : {withValues(kMaxMessageValues + 1), std::string("")}) {
        ktTest::clearLog();
        KTMsg2 msg;
        EXPECT_FALSE(msg.attachQuietly(text));
        EXPECT_EQ(ktTest::logText(), "");
        EXPECT_FALSE(msg.attach(text));
        const std::string log = ktTest::logText();
        const std::size_t first = log.find("corrupted message");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(log.find("corrupted message", first + 1), std::string::npos);
    }
}

TEST(KTMsg2, TakeItemMovesTheTextOut)
{
    KTMsg2 msg;
    ASSERT_TRUE(msg.attach("{\"145\":{\"qpaStatus\":\"enabled\",\"a\":{\"b\":\"c\"}}}"));
    std::string status = "none";
    std::string inner;
    std::string missing = "kept";
    EXPECT_TRUE(msg.TakeItem("qpaStatus", status));
    EXPECT_TRUE(msg.TakeItem("a.b", inner));
    EXPECT_TRUE(msg.TakeItem("missing", missing));
    EXPECT_EQ(status, "enabled");
    EXPECT_EQ(inner, "c");
    EXPECT_EQ(missing, "kept");
    EXPECT_EQ(msg.m_body.get<std::string>("qpaStatus"), "");
}

TEST(KTMsg2, GetItemTable)
{
    KTMsg2 msg;
    ASSERT_TRUE(msg.attach("{\"1\":{\"s\":\"text\",\"t\":\"true\",\"f\":\"false\",\"one\":\"1\","
                           "\"zero\":\"0\",\"n\":\"42\",\"neg\":\"-3\",\"big\":\"2147483648\","
                           "\"mixed\":\"12abc\",\"obj\":{\"x\":\"9\"}}}"));
    const struct {
        const char* key;
        std::optional<bool> value; // nullopt: unchanged
    } bools[] = {
        {"t", true},
        {"f", false},
        {"one", true},
        {"zero", false},
        {"n", {}},
        {"s", std::nullopt},
        {"missing", std::nullopt},
    };
    for (const auto& c : bools) {
        SCOPED_TRACE(c.key);
        for (const bool start : {false, true}) {
            bool value = start;
            EXPECT_TRUE(msg.GetItem(c.key, value));
            EXPECT_EQ(value, c.value.value_or(start));
        }
    }
    const struct {
        const char* key;
        std::optional<int> value;
    } ints[] = {
        {"n", 42},
        {"neg", -3},
        {"obj.x", 9},
        {"big", std::nullopt},
        {"s", {}},
        {"mixed", std::nullopt},
        {"missing", std::nullopt},
    };
    for (const auto& c : ints) {
        SCOPED_TRACE(c.key);
        int value = 77;
        EXPECT_TRUE(msg.GetItem(c.key, value));
        EXPECT_EQ(value, c.value.value_or(77));
    }
    std::string text = "default";
    EXPECT_TRUE(msg.GetItem("missing", text));
    EXPECT_EQ(text, "default");
    EXPECT_TRUE(msg.GetItem("s", text));
    EXPECT_EQ(text, "text");
}

TEST(KTMsg2, PeekIdReadsThePlainFirstKeyOnly)
{
    const struct {
        const char* text;
        std::optional<int> id;
    } cases[] = {
        {"{\"124\": \"\"}", 124},
        {" \r\n\t{ \"121\":{\"status\":\"true\"}}", 121},
        {"{\" +105\": oops", 105}, // the rest is not looked at
        {"{\"abc\": \"\"}", 0},    // as attach reads such a key
        {"{\"145abc\": \"\"}", 145},
        {"{\"\\u0031\": \"\"}", std::nullopt}, // escapes are left to the parser
        {"{\"12\x01\": \"\"}", std::nullopt},
        {"[\"124\"]", std::nullopt},
        {"{\"124", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(KTMsg2::peekId(c.text), c.id);
        KTMsg2 msg;
        if (c.id && msg.attach(c.text)) {
            EXPECT_EQ(msg.m_msgId, *c.id);
        }
    }
}

} // namespace

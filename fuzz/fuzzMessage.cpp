// KTMsg2::attach on any text as a received message. It must agree with the property tree's
// own reading of the text from a string stream (within the bound on values and keys) and with
// peekId; a text it takes must come back the same through detach and attach again, and its
// items must read without throwing.

#include "ktFuzz/fuzzSupport.h"
#include "ktFuzz/plainJson.h"

#include "ktmsg2/KTMsg2.h"
#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/json_parser.hpp>

#include <optional>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string text(reinterpret_cast<const char*>(data), size);
    KTMsg2 message;
    message.m_msgId = 7;
    message.AddItem<std::string>("before", "kept");
    const std::optional<boost::property_tree::ptree> plain = ktFuzz::plainReading(text);
    const bool hasKey = plain && !plain->empty() && !plain->front().first.empty();
    if (!message.attach(text)) {
        // Refused only without a first key, or beyond the bound on values and keys.
        KT_FUZZ_CHECK(!hasKey || !jsonWithin(text, kMaxJsonDepth, kMaxMessageValues));
        // A refusal leaves the message as it was.
        std::string kept;
        KT_FUZZ_CHECK(message.m_msgId == 7 && message.GetItem("before", kept) && kept == "kept");
        return 0;
    }
    KT_FUZZ_CHECK(hasKey && message.m_body == plain->front().second);
    const std::optional<int> peeked = KTMsg2::peekId(text);
    KT_FUZZ_CHECK(!peeked || *peeked == message.m_msgId);
    const int id = message.m_msgId;
    const boost::property_tree::ptree body = message.m_body;

    // The items a listener asks for, with each type it asks for them.
    for (const char* key : {"status", "tunnelstatus", "updateStatus", "a.b", ""}) {
        std::string s;
        int n = -5;
        bool b = false;
        KT_FUZZ_CHECK(message.GetItem(key, s));
        KT_FUZZ_CHECK(message.GetItem(key, n));
        KT_FUZZ_CHECK(message.GetItem(key, b));
        // Taking the text gives what reading it gives.
        KTMsg2 copy = message;
        std::string taken;
        KT_FUZZ_CHECK(copy.TakeItem(key, taken) && taken == s);
    }

    std::string written;
    if (!message.detach(written)) {
        return 0; // a body JSON cannot hold; refused, not lost
    }
    KTMsg2 again;
    KT_FUZZ_CHECK(again.attach(written));
    KT_FUZZ_CHECK(again.m_msgId == id);
    KT_FUZZ_CHECK(again.m_body == body);
    return 0;
}

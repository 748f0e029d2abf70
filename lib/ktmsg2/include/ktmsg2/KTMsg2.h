#pragma once
// One message of the service link: an id and a body of items addressed by dotted paths.
// As text it is one JSON object whose first key is the id in decimal and whose value is
// the body, every leaf a JSON string. Used by one thread at a time.

#include "ktLog/ktLog.h"
#include "ktmsg2/KTMsgIds.h"

#include <boost/property_tree/ptree.hpp>

#include <cstddef>
#include <optional>
#include <string>

// Values and keys a received message may hold (every string, number, literal, object and
// array counts once). The service's messages hold a few dozen; the bound keeps what one
// 16 MiB unit can cost as a tree to a few megabytes.
constexpr std::size_t kMaxMessageValues = 10000;

class KTMsg2 {
public:
    boost::property_tree::ptree m_body;
    int m_msgId = 0; // set directly by senders, read directly after attach

    // Sets the item at the dotted path key to value (as text; bool as "true"/"false",
    // numbers and enums in decimal). False, logged, when the tree throws.
    template <typename T>
    bool AddItem(const std::string& key, const T& value);

    // Stores the item at key into value when it exists and converts to T; otherwise
    // value keeps what it held. True in both cases; false only when the tree throws.
    template <typename T>
    bool GetItem(const char* key, T& value);
    // GetItem of text that may be long: the item's text is moved into value, not copied, and
    // the item is left empty.
    bool TakeItem(const char* key, std::string& value);

    // Writes the message as pretty JSON text into out, then empties the message (id 0).
    // On failure (logged) returns false and changes neither out nor the message, so a
    // caller must send nothing then.
    bool detach(std::string& out);

    // Replaces id and body from text. False (logged, message unchanged) when the text is
    // not JSON, nests deeper than kMaxJsonDepth, holds more than kMaxMessageValues values
    // and keys, or has no first key (an empty object, an array, a bare value, an empty key).
    // The key is read as atoi reads it ("145abc" gives 145); one without digits, or beyond
    // int, gives id 0. The lines about a refused text
    // are bounded by the thread's KtPeerLineScope (ktLog/peerLines.h).
    bool attach(const std::string& text);
    // attach without a line about a refused text: for code that only looks at a message
    // before the listener that owns it attaches it, and complains, itself.
    bool attachQuietly(const std::string& text);

    // The id attach would take from text, read from its first key alone without parsing
    // the rest; none when the key cannot be read that way (it holds escapes, or the text does
    // not start as an object). Says nothing about whether attach would succeed.
    static std::optional<int> peekId(const std::string& text);

private:
    bool attachText(const std::string& text, bool complain);
};

extern template bool KTMsg2::AddItem<std::string>(const std::string&, const std::string&);
extern template bool KTMsg2::AddItem<const char*>(const std::string&, const char* const&);
extern template bool KTMsg2::AddItem<int>(const std::string&, const int&);
extern template bool KTMsg2::AddItem<unsigned int>(const std::string&, const unsigned int&);
extern template bool KTMsg2::AddItem<unsigned long>(const std::string&, const unsigned long&);
extern template bool KTMsg2::AddItem<bool>(const std::string&, const bool&);
extern template bool KTMsg2::AddItem<KtLogLevel>(const std::string&, const KtLogLevel&);

extern template bool KTMsg2::GetItem<bool>(const char*, bool&);
extern template bool KTMsg2::GetItem<int>(const char*, int&);
extern template bool KTMsg2::GetItem<std::string>(const char*, std::string&);

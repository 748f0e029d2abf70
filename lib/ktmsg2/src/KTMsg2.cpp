#include "ktmsg2/KTMsg2.h"

#include "ktLog/peerLines.h"
#include "ktLog/peerText.h"
#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/json_parser.hpp>

#include <cstdio>
#include <istream>
#include <limits>
#include <sstream>
#include <streambuf>

static const char* const kLogModule = "KTMSG2";

namespace pt = boost::property_tree;

namespace {

// The id of a message key, read as atoi reads it: optional leading blanks and sign, then
// the decimal digits up to the first other character ("145abc" is 145). No digits give 0, and
// so does a number beyond int, where atoi itself has no defined result.
int parseId(const std::string& key)
{
    std::size_t i = 0;
    while (i < key.size() && (key[i] == ' ' || (key[i] >= '\t' && key[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < key.size() && (key[i] == '+' || key[i] == '-')) {
        negative = key[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < key.size() && key[i] >= '0' && key[i] <= '9'; ++i) {
        value = value * 10 + (key[i] - '0');
        if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1) {
            return 0;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) {
        return 0;
    }
    return static_cast<int>(value);
}

// Reads a text in place: a received message can be 16 MiB, and a string stream would hold
// a second copy of it while the tree is built.
class TextReader : public std::streambuf {
public:
    explicit TextReader(const std::string& text)
    {
        char* begin = const_cast<char*>(text.data()); // only ever read
        setg(begin, begin, begin + text.size());
    }
};

// A peer may send refused messages without end: the lines are bounded per connection.
void logCorrupted(const char* reason, const std::string& text)
{
    KTLOG_PEER(KT_LOG_ERROR, "attach():exception %s", reason);
    KTLOG_PEER(KT_LOG_ERROR, "corrupted message: %s", escapeControlChars(text).c_str());
}

} // namespace

template <typename T>
bool KTMsg2::AddItem(const std::string& key, const T& value)
{
    try {
        m_body.put(pt::ptree::path_type(key, '.'), value);
    } catch (const std::exception&) {
        KTLOG(KT_LOG_ERROR, "AddItem %s returns false", key.c_str());
        return false;
    }
    return true;
}

template <typename T>
bool KTMsg2::GetItem(const char* key, T& value)
{
    try {
        boost::optional<T> item = m_body.get_optional<T>(pt::ptree::path_type(key, '.'));
        if (item) {
            value = std::move(*item);
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool KTMsg2::TakeItem(const char* key, std::string& value)
{
    try {
        const boost::optional<pt::ptree&> item =
            m_body.get_child_optional(pt::ptree::path_type(key, '.'));
        if (item) {
            value = std::move(item->data());
            item->data().clear();
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool KTMsg2::detach(std::string& out)
{
    try {
        char key[16];
        std::snprintf(key, sizeof(key), "%d", m_msgId);
        pt::ptree root;
        root.push_back(pt::ptree::value_type(key, m_body));
        std::ostringstream stream;
        pt::write_json(stream, root, true);
        std::string text = stream.str();
        m_msgId = 0;
        m_body.clear();
        out.swap(text);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "detach threw exception %s", e.what());
        return false;
    }
    KTLOG(KT_LOG_DEBUG, "detach msg %s", out.c_str());
    return true;
}

bool KTMsg2::attach(const std::string& text)
{
    return attachText(text, true);
}

bool KTMsg2::attachQuietly(const std::string& text)
{
    return attachText(text, false);
}

bool KTMsg2::attachText(const std::string& text, bool complain)
{
    if (complain) {
        KTLOG_PEER(KT_LOG_DEBUG, "attach:Msg %s", escapeControlChars(text).c_str());
    }
    // The reader recurses once per level, and each value becomes a node of a few hundred
    // bytes: deeper text, or text of more values than any message holds, is refused before
    // a node is built.
    if (!jsonWithin(text, kMaxJsonDepth, kMaxMessageValues)) {
        if (complain) {
            logCorrupted("nesting too deep or too many values", text);
        }
        return false;
    }
    pt::ptree root;
    try {
        TextReader reader(text);
        std::istream stream(&reader);
        pt::read_json(stream, root);
    } catch (const std::exception& e) {
        if (complain) {
            logCorrupted(e.what(), text);
        }
        return false;
    }
    if (root.empty() || root.front().first.empty()) {
        if (complain) {
            logCorrupted("no message id", text);
        }
        return false;
    }
    m_msgId = parseId(root.front().first);
    m_body.swap(root.front().second);
    return true;
}

std::optional<int> KTMsg2::peekId(const std::string& text)
{
    // The blanks the JSON reader skips.
    const auto skipBlanks = [&](std::size_t i) {
        while (i < text.size() &&
               (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) {
            ++i;
        }
        return i;
    };
    std::size_t i = skipBlanks(0);
    if (i >= text.size() || text[i] != '{') {
        return std::nullopt;
    }
    i = skipBlanks(i + 1);
    if (i >= text.size() || text[i] != '"') {
        return std::nullopt;
    }
    const std::size_t begin = i + 1;
    for (i = begin; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' || static_cast<unsigned char>(text[i]) < 0x20) {
            return std::nullopt; // read as the JSON reader would, or refused by it
        }
    }
    if (i >= text.size()) {
        return std::nullopt;
    }
    return parseId(text.substr(begin, i - begin));
}

template bool KTMsg2::AddItem<std::string>(const std::string&, const std::string&);
template bool KTMsg2::AddItem<const char*>(const std::string&, const char* const&);
template bool KTMsg2::AddItem<int>(const std::string&, const int&);
template bool KTMsg2::AddItem<unsigned int>(const std::string&, const unsigned int&);
template bool KTMsg2::AddItem<unsigned long>(const std::string&, const unsigned long&);
template bool KTMsg2::AddItem<bool>(const std::string&, const bool&);
template bool KTMsg2::AddItem<KtLogLevel>(const std::string&, const KtLogLevel&);

template bool KTMsg2::GetItem<bool>(const char*, bool&);
template bool KTMsg2::GetItem<int>(const char*, int&);
template bool KTMsg2::GetItem<std::string>(const char*, std::string&);

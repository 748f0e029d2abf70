#pragma once
// The receiving side of the service link's stream: units back to back, each a 32-bit
// big-endian length and that many bytes (docs/service-link.md). Takes the bytes as they
// arrive, in chunks of any size, and hands out each unit's payload once its last byte is
// in. Used by one thread at a time.

#include <cstddef>
#include <functional>
#include <string>

// The service's messages are small JSON texts; a longer unit ends the connection.
constexpr std::size_t kMaxUnitLength = 16u * 1024u * 1024u;

class CKTUnitSplitter {
public:
    // Called with the payload of each whole unit, in stream order; it may be moved from.
    using Deliver = std::function<void(std::string&& payload)>;

    // maxUnitLength: the longest payload accepted.
    explicit CKTUnitSplitter(std::size_t maxUnitLength = kMaxUnitLength);

    // Takes the next length bytes of the stream and delivers every unit they complete.
    // False (logged) when a unit announces more than the limit: what follows cannot be
    // split, so the connection must end; the units before it were delivered, the partial
    // unit is dropped, and every later call is false until clear. Holds the bytes of one
    // partial unit at most, in room of at most that unit's length.
    bool feed(const char* data, std::size_t length, const Deliver& deliver);

    // Drops a partial unit and a refusal, for a new stream.
    void clear();

    // Bytes of the partial unit held, its prefix included.
    std::size_t buffered() const { return m_prefixFill + m_payload.size(); }

private:
    std::size_t m_maxUnitLength;
    char m_prefix[4] = {};
    std::size_t m_prefixFill = 0; // 4 once the current unit's length is known
    std::size_t m_expected = 0;   // the current unit's length
    std::string m_payload;        // what arrived of the current unit's payload
    bool m_refused = false;
};

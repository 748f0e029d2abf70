#include "ktcom2/KTUnitSplitter.h"

#include "bigEndian.h"

#include "ktLog/ktLog.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

static const char* const kLogModule = "KTCOM2";

CKTUnitSplitter::CKTUnitSplitter(std::size_t maxUnitLength) : m_maxUnitLength(maxUnitLength) {}

void CKTUnitSplitter::clear()
{
    m_prefixFill = 0;
    m_expected = 0;
    std::string().swap(m_payload); // a long unit's room goes too
    m_refused = false;
}

bool CKTUnitSplitter::feed(const char* data, std::size_t length, const Deliver& deliver)
{
    if (m_refused) {
        return false;
    }
    std::size_t at = 0;
    for (;;) {
        if (m_prefixFill < sizeof(m_prefix)) {
            const std::size_t take = std::min(sizeof(m_prefix) - m_prefixFill, length - at);
            if (take > 0) {
                std::memcpy(m_prefix + m_prefixFill, data + at, take);
            }
            m_prefixFill += take;
            at += take;
            if (m_prefixFill < sizeof(m_prefix)) {
                return true; // the rest of the prefix arrives later
            }
            m_expected = readBigEndian32(m_prefix);
            if (m_expected > m_maxUnitLength) {
                KTLOG(KT_LOG_ERROR, "Not enough buffer to process incoming message.");
                clear();
                m_refused = true;
                return false;
            }
        }
        const std::size_t take = std::min(m_expected - m_payload.size(), length - at);
        if (take > 0) {
            // Room grows with what arrived, never past the announced length: an announcement
            // alone costs nothing, and a long unit never takes twice its size.
            const std::size_t needed = m_payload.size() + take;
            if (needed > m_payload.capacity()) {
                m_payload.reserve(std::min(m_expected, std::max(needed, 2 * m_payload.capacity())));
            }
            m_payload.append(data + at, take);
        }
        at += take;
        if (m_payload.size() < m_expected) {
            return true; // the rest of the payload arrives later
        }
        std::string payload;
        payload.swap(m_payload);
        m_prefixFill = 0;
        m_expected = 0;
        deliver(std::move(payload));
    }
}

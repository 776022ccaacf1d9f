// Frame boundaries in a panel's byte stream. A frame's extent is read from its header exactly as the
// codec reads it (the standard layout first, then each field quirk that is switched on), so the frame
// handed out is the one the codec would have found had it arrived in one piece.
#include "dc09/FrameAssembler.h"

#include "dc09/Dc09Codec.h"

#include <algorithm>
#include <array>

namespace {

// Feeding zero bytes into the CRC register is linear; these are its powers 2^k as 16 columns each.
struct ZeroShift {
    std::array<std::array<std::uint16_t, 16>, 18> columns{};

    ZeroShift()
    {
        for (unsigned j = 0; j < 16; ++j) {
            const std::uint8_t zero = 0;
            columns[0][j] = DC9_CRC16_Continue(std::uint16_t(1u << j), &zero, 1);
        }
        for (std::size_t k = 1; k < columns.size(); ++k) {
            for (unsigned j = 0; j < 16; ++j) {
                columns[k][j] = apply(k - 1, columns[k - 1][j]);
            }
        }
    }
    [[nodiscard]] std::uint16_t apply(std::size_t k, std::uint16_t value) const
    {
        std::uint16_t out = 0;
        for (unsigned j = 0; j < 16; ++j) {
            if ((value >> j) & 1u) {
                out ^= columns[k][j];
            }
        }
        return out;
    }
    // The register after `count` zero bytes.
    [[nodiscard]] std::uint16_t shift(std::uint16_t value, std::uint64_t count) const
    {
        for (std::size_t k = 0; count != 0 && k < columns.size(); ++k, count >>= 1) {
            if (count & 1u) {
                value = apply(k, value);
            }
        }
        return value;
    }
};

const ZeroShift& zeroShift()
{
    static const ZeroShift shift;
    return shift;
}

bool isHex(unsigned char c, bool lower)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (lower && c >= 'a' && c <= 'f');
}

unsigned nibble(unsigned char c)
{
    return c <= '9' ? unsigned(c - '0') : unsigned((c & ~0x20u) - 'A' + 10);
}

// The first offset in the sorted list at or after `from`; `none` when there is none.
std::uint64_t firstAtOrAfter(const std::deque<std::uint64_t>& offsets, std::uint64_t from, std::uint64_t none)
{
    const auto it = std::lower_bound(offsets.begin(), offsets.end(), from);
    return it == offsets.end() ? none : *it;
}

} // namespace

void FrameAssembler::append(const char* data, std::size_t size)
{
    m_bytes.append(data, size);
    m_crc.reserve(m_bytes.size() + 1);
    for (std::size_t k = 0; k < size; ++k) {
        const auto byte = std::uint8_t(data[k]);
        const std::uint64_t offset = m_end + k;
        m_crc.push_back(DC9_CRC16_Continue(m_crc.back(), &byte, 1));
        if (byte == '\n') {
            m_lfs.push_back(offset);
        } else if (byte == '"') {
            m_quotes.push_back(offset);
        } else if (byte == '\0') {
            m_nuls.push_back(offset);
        }
    }
    m_end += size;
}

void FrameAssembler::advanceTo(std::uint64_t offset)
{
    m_front = std::min(offset, m_end);
    for (auto* list : {&m_lfs, &m_quotes, &m_nuls}) {
        while (!list->empty() && list->front() < m_front) {
            list->pop_front();
        }
    }
}

void FrameAssembler::compact()
{
    if (m_front == m_end) {
        m_bytes.clear();
        m_crc.assign(1, m_crc.back()); // the running value stays: every kept value shares one origin
        m_base = m_end;
        return;
    }
    const auto dead = std::size_t(m_front - m_base);
    if (dead < 4096 || dead < m_bytes.size() / 2) {
        return;
    }
    m_bytes.erase(0, dead);
    m_crc.erase(m_crc.begin(), m_crc.begin() + std::ptrdiff_t(dead));
    m_base = m_front;
}

std::uint16_t FrameAssembler::crcOf(std::uint64_t from, std::uint64_t to) const
{
    // crc(to) = crc(from) carried over the stretch's length in zero bytes, plus the stretch's own CRC.
    return std::uint16_t(m_crc[to - m_base] ^ zeroShift().shift(m_crc[from - m_base], to - from));
}

FrameAssembler::Verdict FrameAssembler::tryBody(std::uint64_t lf, std::uint64_t quoteFrom, std::uint64_t nulFrom,
                                                unsigned length, unsigned crc, bool withCr,
                                                std::uint64_t& end) const
{
    const std::uint64_t quote = firstAtOrAfter(m_quotes, quoteFrom, m_end);
    if (quote >= m_end) {
        return Verdict::NeedMore;
    }
    const std::uint64_t cr = quote + length;
    if (cr + 1 - lf > kMaxBytes) {
        return Verdict::NotAFrame;
    }
    if (cr >= m_end) {
        return Verdict::NeedMore;
    }
    // A zero byte ends the text the codec sees, so a frame whose CR lies behind one is none.
    if (at(cr) != '\r' || firstAtOrAfter(m_nuls, nulFrom, m_end) < cr) {
        return Verdict::NotAFrame;
    }
    if (crcOf(quote, withCr ? cr + 1 : cr) != crc) {
        return Verdict::NotAFrame;
    }
    end = cr + 1;
    return Verdict::Frame;
}

FrameAssembler::Verdict FrameAssembler::examine(std::uint64_t lf, const Config_Record& config,
                                                std::uint64_t& end) const
{
    const bool lower = config.DC9_Quirk_Lower_Hex != 0;
    const auto number = [&](std::uint64_t from, unsigned base, bool lowerOk, unsigned& value) {
        value = 0;
        for (std::uint64_t k = from; k < from + 4; ++k) {
            const unsigned char c = at(k);
            if (base == 10 ? !(c >= '0' && c <= '9') : !isHex(c, lowerOk)) {
                return false;
            }
            value = value * base + nibble(c);
        }
        return true;
    };

    // The readings in the codec's order; the first that finds a whole frame decides. One that waits
    // for more bytes does not hold up a later one that is complete: a panel of a quirky family waits
    // for its answer and sends nothing more.
    bool needMore = false;
    const auto consider = [&](Verdict v) {
        needMore = needMore || v == Verdict::NeedMore;
        return v == Verdict::Frame;
    };
    unsigned crc = 0;
    unsigned length = 0;
    if (lf + 9 > m_end) {
        needMore = true;
    } else if (number(lf + 1, 16, lower, crc)) {
        if (number(lf + 5, 16, lower, length) && consider(tryBody(lf, lf + 1, lf + 1, length, crc, false, end))) {
            return Verdict::Frame;
        }
        if (config.DC9_Quirk_CRC_CR != 0 && number(lf + 5, 10, false, length) &&
            consider(tryBody(lf, lf + 1, lf + 1, length, crc, true, end))) {
            return Verdict::Frame;
        }
    }
    if (config.DC9_Quirk_Binary_CRC != 0) {
        // Two raw CRC bytes (which may be zero or a double quote), then four length digits.
        if (lf + 7 > m_end) {
            needMore = true;
        } else if (number(lf + 3, 16, lower, length)) {
            crc = unsigned(at(lf + 1)) << 8 | unsigned(at(lf + 2));
            if (consider(tryBody(lf, lf + 7, lf + 3, length, crc, false, end))) {
                return Verdict::Frame;
            }
        }
    }
    return needMore ? Verdict::NeedMore : Verdict::NotAFrame;
}

FrameAssembler::Output FrameAssembler::feed(const char* data, std::size_t size, const Config_Record& config)
{
    Output out;
    if (size != 0) {
        append(data, size);
    }
    bool frameSeen = false;
    for (;;) {
        if (m_lfs.empty()) {
            // Nothing here can begin a frame.
            m_skipped = m_skipped || m_front < m_end;
            advanceTo(m_end);
            break;
        }
        const std::uint64_t lf = m_lfs.front();
        if (lf > m_front) {
            m_skipped = true; // bytes before a frame's LF are skipped, silently when a frame follows
            advanceTo(lf);
        }
        std::uint64_t end = 0;
        Verdict verdict = examine(lf, config, end);
        // A frame still incomplete at the cap could only end beyond it, which no frame may.
        if (verdict == Verdict::NeedMore && m_end - lf >= kMaxBytes) {
            verdict = Verdict::NotAFrame;
        }
        if (verdict == Verdict::NeedMore) {
            break;
        }
        if (verdict == Verdict::NotAFrame) {
            m_skipped = true;
            advanceTo(lf + 1);
            continue;
        }
        out.frames.emplace_back(m_bytes, std::size_t(lf - m_base), std::size_t(end - lf));
        advanceTo(end);
        frameSeen = true;
        m_skipped = false;
        m_reported = false;
    }
    if (frameSeen) {
        // What follows a frame's CR in the same read is ignored, as it always was.
        m_skipped = false;
    } else if (m_skipped && !m_reported) {
        out.garbageBegan = true;
        m_reported = true;
    }
    compact();
    return out;
}

bool FrameAssembler::takeUnreported()
{
    if ((m_skipped || m_front < m_end) && !m_reported) {
        m_reported = true;
        return true;
    }
    return false;
}

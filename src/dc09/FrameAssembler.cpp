// Frame boundaries in a panel's byte stream. A frame's extent is read from its header exactly as the
// codec reads it (the standard layout first, then each field quirk that is switched on), so the frame
// handed out is the one the codec would have found had it arrived in one piece.
#include "dc09/FrameAssembler.h"

#include "dc09/Dc09Codec.h"

#include <algorithm>
#include <array>
#include <cstring>

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

constexpr std::size_t kCheckpointEvery = 32;
// A buffer this small is kept between frames; a larger one goes back once it holds little.
constexpr std::size_t kKeptCapacity = 256;
constexpr std::size_t kKeptCheckpoints = 64;

} // namespace

std::size_t FrameAssembler::longestFrame(const Config_Record& config)
{
    const std::size_t set = config.DC9_Max_Frame_Length;
    return set == 0 ? kDefaultLongestFrame : std::max(set, kShortestLongestFrame);
}

std::uint64_t FrameAssembler::find(Search& search, unsigned char byte, std::uint64_t from, std::uint64_t limit)
{
    limit = std::min(limit, m_end);
    if (from >= limit) {
        return limit;
    }
    const bool hit = search.found < search.to;
    if (search.from > from || (hit && search.found < from) || (!hit && search.to < from)) {
        search = Search{from, from, from}; // asked further back, or past what is known: search anew
    }
    if (search.found < search.to) {
        return search.found < limit ? search.found : limit;
    }
    if (search.to < limit) {
        const auto* start = m_view + (search.to - m_viewBase);
        const auto* p = static_cast<const char*>(std::memchr(start, byte, std::size_t(limit - search.to)));
        if (p != nullptr) {
            search.found = search.to + std::uint64_t(p - start);
            search.to = search.found + 1;
            return search.found;
        }
        search.to = limit;
        search.found = limit;
    }
    return limit;
}

std::uint16_t FrameAssembler::crcPrefix(std::uint64_t offset)
{
    const auto relative = std::size_t(offset - m_viewBase);
    const std::size_t index = relative / kCheckpointEvery;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(m_view);
    if (m_checkpoints.empty()) {
        m_checkpoints.push_back(0);
    }
    while (m_checkpoints.size() <= index) {
        const std::size_t last = m_checkpoints.size() - 1;
        m_checkpoints.push_back(
            DC9_CRC16_Continue(m_checkpoints.back(), bytes + last * kCheckpointEvery, kCheckpointEvery));
    }
    return DC9_CRC16_Continue(m_checkpoints[index], bytes + index * kCheckpointEvery,
                              relative - index * kCheckpointEvery);
}

std::uint16_t FrameAssembler::crcOf(std::uint64_t from, std::uint64_t to)
{
    // crc(to) = crc(from) carried over the stretch's length in zero bytes, plus the stretch's own CRC.
    return std::uint16_t(crcPrefix(to) ^ zeroShift().shift(crcPrefix(from), to - from));
}

FrameAssembler::Verdict FrameAssembler::tryBody(std::uint64_t lf, std::uint64_t quoteFrom,
                                                std::uint64_t nulFrom, unsigned length, unsigned crc,
                                                bool withCr, std::uint64_t& end, DC9_Refusal* why)
{
    const bool binary = quoteFrom != lf + 1;
    // A frame's CR lies before this; a quote at or after it can only begin a frame too long.
    const std::uint64_t limit = lf + m_longest;
    const std::uint64_t quote = find(binary ? m_quoteAfterBinaryCrc : m_quoteAfterLf, '"', quoteFrom, limit);
    if (quote >= std::min(limit, m_end)) {
        return m_end < limit ? Verdict::NeedMore : Verdict::TooLong;
    }
    const std::uint64_t cr = quote + length;
    if (cr >= limit) {
        return Verdict::TooLong; // known from the header alone: dropped at once
    }
    if (cr >= m_end) {
        if (why != nullptr) {
            m_waitingLf = lf;
            m_waitingQuote = quote;
            m_waitingLength = length;
        }
        return Verdict::NeedMore;
    }
    // A zero byte ends the text the codec sees, so a frame whose CR lies behind one is none.
    if (at(cr) != '\r' || find(binary ? m_nulAfterBinaryCrc : m_nulAfterLf, '\0', nulFrom, cr) < cr) {
        if (why != nullptr) {
            why->kind = DC9_Refusal_Kind::Length_Mismatch;
            why->stated = length;
            why->found = std::int64_t(quote - lf); // where the CR is comes once it is reported
        }
        return Verdict::NotAFrame;
    }
    if (const std::uint16_t computed = crcOf(quote, withCr ? cr + 1 : cr); computed != crc) {
        if (why != nullptr) {
            why->kind = DC9_Refusal_Kind::CRC_Mismatch;
            why->stated = crc;
            why->found = computed;
        }
        return Verdict::NotAFrame;
    }
    end = cr + 1;
    return Verdict::Frame;
}

FrameAssembler::Verdict FrameAssembler::examine(std::uint64_t lf, const Config_Record& config, std::uint64_t& end)
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
    bool tooLong = false;
    const auto consider = [&](Verdict v) {
        needMore = needMore || v == Verdict::NeedMore;
        tooLong = tooLong || v == Verdict::TooLong;
        return v == Verdict::Frame;
    };
    unsigned crc = 0;
    unsigned length = 0;
    if (lf + 9 > m_end) {
        needMore = true;
    } else if (number(lf + 1, 16, lower, crc)) {
        if (number(lf + 5, 16, lower, length) &&
            consider(tryBody(lf, lf + 1, lf + 1, length, crc, false, end, &m_candidate))) {
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
    return needMore ? Verdict::NeedMore : tooLong ? Verdict::TooLong : Verdict::NotAFrame;
}

void FrameAssembler::process(Output& out, bool& frameSeen, const Config_Record& config)
{
    for (;;) {
        const auto* start = m_view + (m_front - m_viewBase);
        const auto* p = static_cast<const char*>(std::memchr(start, '\n', std::size_t(m_end - m_front)));
        if (p == nullptr) {
            // Nothing here can begin a frame.
            m_skipped = m_skipped || m_front < m_end;
            advanceTo(m_end);
            return;
        }
        const std::uint64_t lf = m_front + std::uint64_t(p - start);
        if (lf > m_front) {
            m_skipped = true; // bytes before a frame's LF are skipped, silently when a frame follows
            advanceTo(lf);
        }
        std::uint64_t end = 0;
        m_candidate.kind = DC9_Refusal_Kind::None; // the rest is set with it
        Verdict verdict = examine(lf, config, end);
        // A frame still incomplete at the longest length could only end beyond it, which none may.
        if (verdict == Verdict::NeedMore && m_end - lf >= m_longest) {
            verdict = Verdict::TooLong;
        }
        if (verdict == Verdict::NeedMore) {
            return;
        }
        if (verdict != Verdict::Frame) {
            out.tooLong = out.tooLong || verdict == Verdict::TooLong;
            if (verdict == Verdict::NotAFrame && m_candidate.kind != DC9_Refusal_Kind::None &&
                !m_reasonGiven) {
                reportDropped(out, lf);
            }
            m_skipped = true;
            advanceTo(lf + 1);
            continue;
        }
        out.frames.emplace_back(m_view + (lf - m_viewBase), std::size_t(end - lf));
        advanceTo(end);
        frameSeen = true;
        m_skipped = false;
        m_reported = false;
        m_reasonGiven = false;
    }
}

void FrameAssembler::reportDropped(Output& out, std::uint64_t lf)
{
    DC9_Refusal why = m_candidate;
    const std::size_t size = std::size_t(std::min<std::uint64_t>(m_end - lf, m_longest));
    const char* frame = m_view + (lf - m_viewBase);
    if (why.kind == DC9_Refusal_Kind::Length_Mismatch) {
        // Searched once per block only: a flood of such headers costs no search per header.
        const auto quote = std::size_t(why.found);
        const void* cr = std::memchr(frame + quote, '\r', size - quote);
        why.found = cr != nullptr ? std::int64_t(static_cast<const char*>(cr) - (frame + quote)) : -1;
    }
    DC9_Header_Account(frame, size, why.account);
    out.dropped.push_back(why);
    m_reasonGiven = true;
    m_reported = true; // the refusal reports the block
}

void FrameAssembler::keepRest()
{
    const auto keep = std::size_t(m_end - m_front);
    const bool inPlace = m_view != m_bytes.data();
    if (inPlace) {
        m_bytes.assign(m_view + (m_front - m_viewBase), keep);
    } else if (m_front > m_base) {
        m_bytes.erase(0, std::size_t(m_front - m_base));
    }
    if (inPlace || m_front > m_base) {
        m_checkpoints.clear(); // they count from the first byte looked at, which has changed
    }
    m_base = m_front;
    // Memory follows what is held: a buffer grown for one long stretch is given back.
    if (m_bytes.capacity() > kKeptCapacity && m_bytes.capacity() > 2 * keep) {
        m_bytes.shrink_to_fit();
    }
    if (m_checkpoints.empty() && m_checkpoints.capacity() > kKeptCheckpoints) {
        std::vector<std::uint16_t>().swap(m_checkpoints);
    }
    m_view = m_bytes.data();
    m_viewBase = m_base;
}

FrameAssembler::Output FrameAssembler::feed(const char* data, std::size_t size, const Config_Record& config)
{
    Output out;
    m_longest = longestFrame(config);
    if (m_front == m_end) {
        // Nothing held: the read is looked at where it lies, and only an unfinished frame is copied.
        m_view = data;
        m_viewBase = m_end;
        m_checkpoints.clear();
    } else {
        m_bytes.append(data, size);
        m_view = m_bytes.data();
        m_viewBase = m_base;
    }
    m_end += size;
    bool frameSeen = false;
    if (m_end > m_front) {
        process(out, frameSeen, config);
    }
    if (frameSeen) {
        // What follows a frame's CR in the same read is ignored, as it always was.
        m_skipped = false;
    } else if (m_skipped && !m_reported) {
        out.garbageBegan = true;
        m_reported = true;
    }
    keepRest();
    return out;
}

void FrameAssembler::dropHeld()
{
    std::string().swap(m_bytes);
    std::vector<std::uint16_t>().swap(m_checkpoints);
    m_front = m_end;
    m_base = m_end;
    m_view = m_bytes.data();
    m_viewBase = m_base;
    m_skipped = true;
    m_reported = true;
}

bool FrameAssembler::takeUnreported(DC9_Refusal* why)
{
    if ((m_skipped || m_front < m_end) && !m_reported) {
        m_reported = true;
        if (why != nullptr && m_front < m_end && m_front == m_waitingLf && m_waitingQuote >= m_front &&
            m_waitingQuote <= m_end) {
            *why = DC9_Refusal{};
            why->kind = DC9_Refusal_Kind::Incomplete;
            why->stated = m_waitingLength;
            why->found = std::int64_t(m_end - m_waitingQuote);
            const char* held = m_bytes.data() + (m_front - m_base);
            DC9_Header_Account(held, std::size_t(m_end - m_front), why->account);
        }
        return true;
    }
    return false;
}

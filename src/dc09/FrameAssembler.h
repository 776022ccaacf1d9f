// Cuts the byte stream of one panel connection into DC-09 frames. TCP keeps no message boundaries: a
// frame may arrive in pieces, and one read may carry several frames. Bytes are kept until the frame
// that starts at an LF is complete by its own stated length, then handed out LF to CR for the codec
// to judge; bytes that can never be a frame are skipped.
#pragma once

#include "config/ConfigRecord.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class FrameAssembler {
public:
    // Bytes held for one connection at most; also the longest frame, LF to CR (no read was ever
    // larger, so no frame that was recognised before is refused now).
    static constexpr std::size_t kMaxBytes = 64 * 1024;

    struct Output {
        std::vector<std::string> frames; // whole frames, LF to CR, in the order they arrived
        // Bytes that are no frame began a block of garbage: the caller reports it, once per block.
        bool garbageBegan = false;
    };

    // The settings' field quirks decide how a frame's stated length reads.
    [[nodiscard]] Output feed(const char* data, std::size_t size, const Config_Record& config);

    // At the connection's end: true once when bytes it sent never became a frame and were not
    // reported yet (a frame whose stated length never arrived, for instance).
    [[nodiscard]] bool takeUnreported();

    // Bytes kept for a frame that is not complete yet.
    [[nodiscard]] std::size_t heldBytes() const { return std::size_t(m_end - m_front); }

private:
    enum class Verdict { NeedMore, NotAFrame, Frame };

    [[nodiscard]] Verdict examine(std::uint64_t lf, const Config_Record& config, std::uint64_t& end) const;
    [[nodiscard]] Verdict tryBody(std::uint64_t lf, std::uint64_t quoteFrom, std::uint64_t nulFrom,
                                  unsigned length, unsigned crc, bool withCr, std::uint64_t& end) const;
    [[nodiscard]] unsigned char at(std::uint64_t offset) const { return std::uint8_t(m_bytes[offset - m_base]); }
    [[nodiscard]] std::uint16_t crcOf(std::uint64_t from, std::uint64_t to) const;
    void append(const char* data, std::size_t size);
    void advanceTo(std::uint64_t offset);
    void compact();

    // Stream offsets count every byte since the connection began. m_bytes holds [m_base, m_end);
    // the bytes still to look at are [m_front, m_end).
    std::string m_bytes;
    std::uint64_t m_base = 0;
    std::uint64_t m_front = 0;
    std::uint64_t m_end = 0;
    // CRC of the stream from m_base up to each byte: the CRC of any stretch follows from two of these
    // in constant time, so many candidate frames in one read cost no more than one.
    std::vector<std::uint16_t> m_crc{0};
    // Where the LFs, double quotes and zero bytes lie, so no search runs over the same bytes twice.
    std::deque<std::uint64_t> m_lfs;
    std::deque<std::uint64_t> m_quotes;
    std::deque<std::uint64_t> m_nuls;
    bool m_skipped = false;  // bytes skipped since the last frame
    bool m_reported = false; // the current block of garbage has been reported
};

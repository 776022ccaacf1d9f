// Cuts the byte stream of one panel connection into DC-09 frames. TCP keeps no message boundaries: a
// frame may arrive in pieces, and one read may carry several frames. Bytes are kept from the LF that
// may begin a frame until that frame is complete by its own stated length, then handed out LF to CR
// for the codec to judge; bytes that can never be a frame are skipped without being kept.
#pragma once

#include "config/ConfigRecord.h"
#include "dc09/Dc09Codec.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FrameAssembler {
public:
    // The longest frame, LF to CR, when the setting is 0: DC-09 frames are a few hundred bytes.
    static constexpr std::size_t kDefaultLongestFrame = 4096;
    // The setting's least value: shorter would refuse the shortest link test.
    static constexpr std::size_t kShortestLongestFrame = 64;
    // The most any setting allows (the setting is 16 bits wide).
    static constexpr std::size_t kMaxBytes = 65535;

    // DC9_Max_Frame_Length as this reads it: 0 is the default, anything else at least the least value.
    [[nodiscard]] static std::size_t longestFrame(const Config_Record& config);

    struct Output {
        std::vector<std::string> frames; // whole frames, LF to CR, in the order they arrived
        // Bytes that are no frame began a block of garbage: the caller reports it, once per block.
        bool garbageBegan = false;
        // A frame longer than the longest taken was dropped at once (its bytes are skipped, not kept);
        // reported besides the block of garbage it belongs to.
        bool tooLong = false;
        // Frames whose header was read and whose CR or CRC then failed, at most one per block of
        // garbage: they report their block in place of garbageBegan.
        std::vector<DC9_Refusal> dropped;
    };

    // The settings' field quirks decide how a frame's stated length reads; the longest frame taken
    // comes from the settings too.
    [[nodiscard]] Output feed(const char* data, std::size_t size, const Config_Record& config);

    // At the connection's end: true once when bytes it sent never became a frame and were not
    // reported yet (a frame whose stated length never arrived, for instance); `why` then tells of such
    // a frame, when the bytes held are one.
    [[nodiscard]] bool takeUnreported(DC9_Refusal* why = nullptr);

    // Bytes kept for a frame that is not complete yet (always less than the longest frame taken).
    [[nodiscard]] std::size_t heldBytes() const { return std::size_t(m_end - m_front); }
    // What those bytes cost in memory, with the CRC checkpoints over them.
    [[nodiscard]] std::size_t footprint() const
    {
        return m_bytes.capacity() + m_checkpoints.capacity() * sizeof(std::uint16_t);
    }
    // Forgets the frame still arriving (memory is short); what follows of it is garbage. Counts as
    // reported: the caller says why it was dropped.
    void dropHeld();

private:
    enum class Verdict { NeedMore, NotAFrame, TooLong, Frame };
    // "The first byte of this value at or after `from`" asked again and again with `from` rising:
    // each answer resumes where the last stopped, so no byte is searched twice.
    struct Search {
        std::uint64_t from = 0;
        std::uint64_t to = 0;    // bytes [from, to) were searched
        std::uint64_t found = 0; // the first one in them, or `to` when there is none
    };

    void process(Output& out, bool& frameSeen, const Config_Record& config);
    [[nodiscard]] Verdict examine(std::uint64_t lf, const Config_Record& config, std::uint64_t& end);
    // With `why`, a body that is none says why (the standard reading's, which the operator is told).
    [[nodiscard]] Verdict tryBody(std::uint64_t lf, std::uint64_t quoteFrom, std::uint64_t nulFrom,
                                  unsigned length, unsigned crc, bool withCr, std::uint64_t& end,
                                  DC9_Refusal* why = nullptr);
    // The refusal of the frame at `lf` for its block, once per block.
    void reportDropped(Output& out, std::uint64_t lf);
    [[nodiscard]] std::uint64_t find(Search& search, unsigned char byte, std::uint64_t from, std::uint64_t limit);
    [[nodiscard]] unsigned char at(std::uint64_t offset) const
    {
        return static_cast<unsigned char>(m_view[offset - m_viewBase]);
    }
    [[nodiscard]] std::uint16_t crcPrefix(std::uint64_t offset);
    [[nodiscard]] std::uint16_t crcOf(std::uint64_t from, std::uint64_t to);
    void advanceTo(std::uint64_t offset) { m_front = std::min(offset, m_end); }
    void keepRest();

    // Stream offsets count every byte since the connection began. While a frame is arriving, m_bytes
    // holds [m_base, m_end) and the bytes still to look at are [m_front, m_end). A read that finds
    // nothing held is looked at where it lies; only its unfinished tail is copied.
    std::string m_bytes;
    std::uint64_t m_base = 0;
    std::uint64_t m_front = 0;
    std::uint64_t m_end = 0;
    // The bytes looked at now (the read itself, or m_bytes) and the stream offset of the first.
    const char* m_view = nullptr;
    std::uint64_t m_viewBase = 0;
    std::size_t m_longest = kDefaultLongestFrame;
    // CRC of the view from its first byte up to every 32nd byte, filled in as far as a candidate frame
    // needs: the CRC of any stretch then costs a few dozen steps, however many candidates one stretch
    // of bytes holds, for a sixteenth of the bytes' own memory.
    std::vector<std::uint16_t> m_checkpoints;
    Search m_quoteAfterLf;
    Search m_quoteAfterBinaryCrc;
    Search m_nulAfterLf;
    Search m_nulAfterBinaryCrc;
    bool m_skipped = false;  // bytes skipped since the last frame
    bool m_reported = false; // the current block of garbage has been reported
    bool m_reasonGiven = false; // ... by a frame's refusal
    DC9_Refusal m_candidate;    // why the frame looked at last is none
    // The frame whose stated length has not all come yet: its LF and its quote.
    std::uint64_t m_waitingLf = ~std::uint64_t(0);
    std::uint64_t m_waitingQuote = 0;
    unsigned m_waitingLength = 0;
};

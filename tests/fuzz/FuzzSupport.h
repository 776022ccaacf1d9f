// What the fuzz targets share: the abort that marks a broken promise, and images laid out from input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzsupport {

// A broken promise of the code under test is a finding: libFuzzer keeps the input that caused it.
inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

// A reason a log line may carry whatever arrived: present, short, printable ASCII only.
inline bool safeReason(const std::string& text)
{
    return !text.empty() && text.size() < 160 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c < 0x7F; });
}

// The bytes of a fixed-size file from `part`: as they are (a short file, the rest of the image
// missing), or, when `tile`, the first `head` bytes as they are and the rest repeated to `size`, so
// that every slot of a ring or table holds the pattern and not only the first few.
inline std::vector<std::uint8_t> fileOf(const std::uint8_t* part, std::size_t count, bool tile,
                                        std::size_t head, std::size_t size)
{
    std::vector<std::uint8_t> bytes(part, part + count);
    if (!tile || count <= head)
        return bytes;
    // Whole copies of what is there so far, doubling: a byte loop would cost more than the test.
    bytes.resize(size);
    std::size_t filled = count;
    while (filled < size) {
        const std::size_t n = std::min(filled - head, size - filled);
        std::memcpy(bytes.data() + filled, bytes.data() + head, n);
        filled += n;
    }
    return bytes;
}

// Little-endian 16-bit length at `at`, bounded by what is left.
inline std::size_t lengthAt(const std::uint8_t* data, std::size_t size, std::size_t at)
{
    if (at + 2 > size)
        return 0;
    const std::size_t n = std::size_t(data[at]) | std::size_t(data[at + 1]) << 8;
    return n < size - at - 2 ? n : size - at - 2;
}

} // namespace fuzzsupport

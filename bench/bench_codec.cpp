// Speed of one received DC-09 message through parse, decide and build: plain Contact ID, and AES-256
// with its encrypted acknowledgement; and of reassembling frames from a connection's reads, whole or
// one byte at a time, and of skipping garbage.
#include "config/ConfigRecord.h"
#include "dc09/Aes.h"
#include "dc09/Dc09Codec.h"
#include "dc09/FrameAssembler.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::time_t kNow = 1735732800; // 2025-01-01 12:00:00 UTC

std::string frameOf(const std::string& body)
{
    char header[16];
    std::snprintf(header, sizeof header, "\n%04X%04X",
                  DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()),
                  unsigned(body.size()));
    return header + body + "\r";
}

std::string encryptedCidFrame(const Config_Record& config)
{
    std::string plain = "|#1234|1130 01 015]_12:00:00,01-01-2025";
    plain.insert(0, 16 * (plain.size() / 16 + 1) - plain.size(), '\x21');
    std::vector<std::uint8_t> bytes(plain.begin(), plain.end());
    AES_Round_Keys keys;
    if (!AES_Expand_Key(config.DC9_AES_Key, 256, keys) ||
        !CBC_Encrypt(bytes.data(), bytes.size() / 16, keys)) {
        std::abort();
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (const auto b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return frameOf("\"*ADM-CID\"0002R1L1#1234[" + hex);
}

void runMessage(benchmark::State& state, const std::string& frame, const Config_Record& config,
                Response_Kind expected)
{
    ::setenv("TZ", "UTC", 1);
    std::vector<char> buffer(frame.size());
    std::uint32_t counter = 0;
    const PaddingRandom random = [&counter] { return counter++; };
    for (auto _ : state) {
        std::copy(frame.begin(), frame.end(), buffer.begin()); // the parser works in place
        DC9_Message message;
        const Parse_Result result = Parse_DC9_Message(buffer.data(), buffer.size(), config, message);
        const auto kind = Decide_DC9_Response(result, message, kNow, config);
        if (kind != expected) {
            state.SkipWithError("unexpected response");
            break;
        }
        std::string response = Build_DC9_Response(*kind, message, kNow, config, random);
        benchmark::DoNotOptimize(response);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PlainContactId(benchmark::State& state)
{
    const Config_Record config = defaultConfig();
    runMessage(state, frameOf("\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]"), config, Response_Kind::ACK);
}
BENCHMARK(BM_PlainContactId);

void BM_Aes256ContactId(benchmark::State& state)
{
    Config_Record config = defaultConfig();
    config.DC9_AES_Mode = 3;
    config.Time_Synch = 1;
    for (int i = 0; i < 32; ++i) {
        config.DC9_AES_Key[i] = std::uint8_t(i * 37 + 5);
    }
    runMessage(state, encryptedCidFrame(config), config, Response_Kind::Encrypted_ACK);
}
BENCHMARK(BM_Aes256ContactId);

void BM_Crc16(benchmark::State& state)
{
    const std::string body(64, 'A');
    for (auto _ : state) {
        benchmark::DoNotOptimize(DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(body.size()));
}
BENCHMARK(BM_Crc16);

// A frame of the longest length the setting allows, fed in reads of `state.range(0)` bytes: the cost
// per byte stays the same however small the reads (compare the rows).
void BM_ReassembleLongFrame(benchmark::State& state)
{
    Config_Record config = defaultConfig();
    config.DC9_Max_Frame_Length = 65535;
    const std::string frame = frameOf("\"NULL\"0001R1L1#1234[" + std::string(65500, 'A') + "]");
    const auto step = std::size_t(state.range(0));
    for (auto _ : state) {
        FrameAssembler assembler;
        std::size_t frames = 0;
        for (std::size_t at = 0; at < frame.size(); at += step) {
            frames += assembler.feed(frame.data() + at, std::min(step, frame.size() - at), config).frames.size();
        }
        if (frames != 1) {
            state.SkipWithError("frame not found");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(frame.size()));
}
BENCHMARK(BM_ReassembleLongFrame)->Arg(65536)->Arg(512)->Arg(1)->Unit(benchmark::kMillisecond);

// Reads of random bytes, as a flood sends them, and reads of headers that all end at one CR, each
// needing its CRC (the worst a sender can make of one stretch of bytes).
void BM_ReassembleHostile(benchmark::State& state)
{
    Config_Record config = defaultConfig();
    std::string block;
    if (state.range(0) == 0) {
        std::mt19937 random(7);
        for (int i = 0; i < 64 * 1024; ++i) {
            block += char(random());
        }
    } else {
        while (block.size() < 3000) {
            block += "\n0000" + std::string("0") + "BB8\"";
        }
        block += std::string(4000, 'x') + "\r";
    }
    FrameAssembler assembler;
    for (auto _ : state) {
        benchmark::DoNotOptimize(assembler.feed(block.data(), block.size(), config));
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(block.size()));
}
BENCHMARK(BM_ReassembleHostile)->Arg(0)->Arg(1);

} // namespace

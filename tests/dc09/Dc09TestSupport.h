// Frame building helpers shared by the codec tests: plain and encrypted frames with correct CRC and
// length, exact-size heap copies (so the address sanitizer sees any overread), and hex helpers.
#pragma once

#include "config/ConfigRecord.h"
#include "dc09/Aes.h"
#include "dc09/Dc09Codec.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace dc09test {

// The codec works in local time; pin it so expectations do not depend on the machine.
inline void useUtc()
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

inline std::string hex4(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v & 0xFFFF);
    return text;
}

// LF, CRC, length, body, CR.
inline std::string frameOf(const std::string& body)
{
    const auto crc = DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    return "\n" + hex4(crc) + hex4(unsigned(body.size())) + body + "\r";
}

inline std::string toHex(const std::vector<std::uint8_t>& bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const auto b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

inline std::vector<std::uint8_t> fromHex(const std::string& hex)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(std::uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline int bitsOfMode(int mode)
{
    return mode == 1 ? 128 : mode == 2 ? 192 : 256;
}

// Header, then "[" and `plain` (padding, "|" and the rest) encrypted with the record's key.
inline std::string encryptedBody(const std::string& header, const std::string& plain,
                                 const Config_Record& config)
{
    std::vector<std::uint8_t> bytes(plain.begin(), plain.end());
    bytes.resize((bytes.size() + 15) / 16 * 16, 0x20);
    AES_Round_Keys keys;
    if (!AES_Expand_Key(config.DC9_AES_Key, bitsOfMode(config.DC9_AES_Mode), keys) ||
        !CBC_Encrypt(bytes.data(), bytes.size() / 16, keys)) {
        throw std::runtime_error("test encryption failed");
    }
    return header + "[" + toHex(bytes);
}

// "HH:MM:SS,MM-DD-YYYY" of a calendar second in local time.
inline std::string stampOf(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d,%02d-%02d-%04d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
    return text;
}

struct Parsed {
    Parse_Result result;
    DC9_Message message;
};

// Parses a copy held in a buffer of exactly the frame's size.
inline Parsed parse(const std::string& frame, const Config_Record& config)
{
    std::unique_ptr<char[]> buffer(new char[frame.size() + (frame.empty() ? 1 : 0)]);
    std::copy(frame.begin(), frame.end(), buffer.get());
    Parsed out{};
    out.result = Parse_DC9_Message(buffer.get(), frame.size(), config, out.message);
    return out;
}

inline Config_Record configWith(int aesMode, bool timeSynch = false)
{
    Config_Record config = defaultConfig();
    config.DC9_AES_Mode = std::uint8_t(aesMode);
    config.Time_Synch = timeSynch ? 1 : 0;
    for (int i = 0; i < 32; ++i) {
        config.DC9_AES_Key[i] = std::uint8_t(0x30 + i * 7);
    }
    return config;
}

// Parse, decide and build as the receive path does; empty when nothing would be sent.
inline std::string answer(const std::string& frame, const Config_Record& config, std::time_t now)
{
    const Parsed p = parse(frame, config);
    const auto kind = Decide_DC9_Response(p.result, p.message, now, config);
    return kind ? Build_DC9_Response(*kind, p.message, now, config, [] { return 7u; }) : std::string();
}

struct VectorFrame {
    std::string frame;
    std::string key; // raw key bytes, empty when the frame has none
};

// Just enough JSON for this file: every frame object holds "frame_hex" and then "key_hex" (string or null).
inline std::vector<VectorFrame> loadVectors(std::string& error)
{
    const char* dir = std::getenv("ARDENTEL_VECTORS");
    const std::string path = std::string(dir ? dir : ARDENTEL_DEFAULT_VECTORS) + "/dc09_frames.json";
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return {};
    }
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();

    auto stringAfter = [&](const std::string& name, std::size_t from,
                           std::size_t& at) -> std::optional<std::string> {
        at = text.find("\"" + name + "\":", from);
        if (at == std::string::npos) {
            return std::nullopt;
        }
        std::size_t v = text.find_first_not_of(" \n\t", at + name.size() + 3);
        if (v == std::string::npos || text[v] != '"') {
            return std::string(); // null
        }
        const std::size_t close = text.find('"', v + 1);
        return text.substr(v + 1, close - v - 1);
    };

    std::vector<VectorFrame> frames;
    std::size_t pos = 0;
    for (;;) {
        std::size_t at = 0;
        const auto frameHex = stringAfter("frame_hex", pos, at);
        if (!frameHex) {
            break;
        }
        std::size_t keyAt = 0;
        const auto keyHex = stringAfter("key_hex", at, keyAt);
        if (!keyHex) {
            error = "frame without key_hex";
            return {};
        }
        const auto bytes = fromHex(*frameHex);
        const auto key = fromHex(*keyHex);
        frames.push_back({std::string(bytes.begin(), bytes.end()), std::string(key.begin(), key.end())});
        pos = keyAt + 1;
    }
    return frames;
}

// The settings a shared frame is parsed under: its own key, if it has one, and `quirks` on top.
inline Config_Record configFor(const VectorFrame& v, const Config_Record& quirks)
{
    Config_Record config = quirks;
    if (!v.key.empty()) {
        std::fill(std::begin(config.DC9_AES_Key), std::end(config.DC9_AES_Key), 0);
        std::copy(v.key.begin(), v.key.end(), config.DC9_AES_Key);
        config.DC9_AES_Mode = v.key.size() == 16 ? 1 : v.key.size() == 24 ? 2 : 3;
    }
    return config;
}

} // namespace dc09test

// dc09-decode: shows how the receiver reads DC-09 frames given on standard input and what it would answer,
// so an installer can check a panel's captured traffic and key without running the receiver.
#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "config/HexDigit.h"
#include "dc09/Dc09Codec.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const kUsage = R"(Usage: dc09-decode [options] < input

Reads DC-09 frames from standard input and prints, for each, its fields, the parse result, the
response the receiver would send with the given settings and, for any other than an acknowledgement,
the reason the receiver gives for it.

Input (default --auto):
  --raw          the bytes as received; a frame starts at each LF (0x0A)
  --hex          hex text, one received block per line (spaces and a leading 0x are ignored)
  --lines        one frame per line as plain text; LF and CR are added where missing
  --auto         --hex when every line is hex, else --raw when the input holds a CR, else --lines

Settings:
  --aes-mode N   0 off (default), 1 AES-128, 2 AES-192, 3 AES-256
  --key HEX      the AES key as hex digits (up to 64)
  --key-text T   the AES key as text (up to 32 characters)
  --time-synch   check encrypted messages' time stamps against the clock (-40 .. +20 s)
  --utc          time stamps in UTC instead of local time (DC9_Time_UTC)
  --lower-hex    accept lowercase hex in CRC, length and ciphertext (DC9_Quirk_Lower_Hex)
  --crc-cr       accept a decimal length with the CRC over body and CR (DC9_Quirk_CRC_CR)
  --binary-crc   accept a CRC of two raw bytes (DC9_Quirk_Binary_CRC)
  --sia-dcs      take "SIA-DCS" and "*SIA-DCS" (DC9_SIA_DCS, on in a new data directory)
  --account-keys FILE  the accounts' own keys, as account_keys.cfg holds them
  --now T        the receiver's clock: seconds since 1970, or "YYYY-MM-DD HH:MM:SS" local time
  --help         this text

Text is shown with C escapes (\n, \r, \xNN).
)";

enum class InputMode { Auto, Raw, Hex, Lines };

struct Options {
    InputMode mode = InputMode::Auto;
    Config_Record config = defaultConfig();
    std::time_t now = 0;
    bool nowGiven = false;
    AccountKeys keys;
};

std::string escaped(const std::string& bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (u < 0x20 || u >= 0x7F) {
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 15];
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::vector<std::string> splitLines(const std::string& input)
{
    std::vector<std::string> lines;
    std::string current;
    for (const char c : input) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        lines.push_back(current);
    }
    return lines;
}

std::string trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// One line of hex text as bytes; nullopt when it is not hex.
std::optional<std::string> hexLine(const std::string& line)
{
    std::string digits;
    std::string text = trimmed(line);
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.erase(0, 2);
    }
    for (const char c : text) {
        if (c == ' ' || c == '\t') {
            continue;
        }
        if (hexDigitValue(c) < 0) {
            return std::nullopt;
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes += char(hexDigitValue(digits[i]) * 16 + hexDigitValue(digits[i + 1]));
    }
    return bytes;
}

std::vector<std::string> framesOf(const std::string& input, InputMode mode, std::string& error)
{
    if (mode == InputMode::Auto) {
        bool allHex = false;
        for (const auto& line : splitLines(input)) {
            if (trimmed(line).empty()) {
                continue;
            }
            allHex = hexLine(line).has_value();
            if (!allHex) {
                break;
            }
        }
        mode = allHex                                  ? InputMode::Hex
               : input.find('\r') != std::string::npos ? InputMode::Raw
                                                       : InputMode::Lines;
    }

    std::vector<std::string> frames;
    switch (mode) {
    case InputMode::Raw: {
        // Each LF starts a new frame; anything before the first one goes with the first frame, as it
        // would arrive in the same block.
        std::size_t start = 0;
        std::size_t lf = input.find('\n', input.find('\n') == std::string::npos ? 0 : input.find('\n') + 1);
        while (lf != std::string::npos) {
            frames.push_back(input.substr(start, lf - start));
            start = lf;
            lf = input.find('\n', lf + 1);
        }
        if (start < input.size()) {
            frames.push_back(input.substr(start));
        }
        break;
    }
    case InputMode::Hex: {
        int lineNumber = 0;
        for (const auto& line : splitLines(input)) {
            ++lineNumber;
            if (trimmed(line).empty()) {
                continue;
            }
            const auto bytes = hexLine(line);
            if (!bytes) {
                error = "line " + std::to_string(lineNumber) + " is not hex: " + escaped(line);
                return {};
            }
            frames.push_back(*bytes);
        }
        break;
    }
    case InputMode::Lines:
    case InputMode::Auto:
        for (const auto& line : splitLines(input)) {
            std::string frame = line;
            if (!frame.empty() && frame.back() == '\r') {
                frame.pop_back();
            }
            if (trimmed(frame).empty()) {
                continue;
            }
            frames.push_back("\n" + frame + "\r");
        }
        break;
    }
    return frames;
}

const char* resultName(Parse_Result result)
{
    switch (result) {
    case Parse_Result::Not_Recognised:
        return "Not_Recognised";
    case Parse_Result::Accepted_Plain:
        return "Accepted_Plain";
    case Parse_Result::Accepted_Encrypted:
        return "Accepted_Encrypted";
    case Parse_Result::Rejected:
        return "Rejected";
    }
    return "?";
}

std::string timeText(std::int32_t seconds)
{
    const std::tm tm = localTimeOf(std::time_t(seconds));
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

void decodeOne(int number, const std::string& frame, const Options& options)
{
    std::cout << "frame " << number << ": " << escaped(frame) << "\n";
    std::vector<char> buffer(frame.begin(), frame.end());
    DC9_Message message;
    // The reason is the receiver's own: the check that refused the frame says it.
    DC9_Refusal refusal;
    const Parse_Result result =
        Parse_DC9_Message(buffer.data(), buffer.size(), options.config, message, &options.keys, &refusal);
    std::cout << "  result:       " << resultName(result) << "\n";
    if (result == Parse_Result::Not_Recognised) {
        std::cout << "  reason:       " << refusalText(refusal) << "\n";
        std::cout << "  response:     none\n\n";
        return;
    }
    std::cout << "  sequence:     " << message.sequence << "\n"
              << "  receiver:     " << escaped(message.receiver) << "\n"
              << "  line:         " << escaped(message.line) << "\n"
              << "  account:      " << escaped(message.account) << "\n"
              << "  event:        " << escaped(message.event) << "\n"
              << "  partition:    " << escaped(message.partition) << "\n"
              << "  zone:         " << escaped(message.zone) << "\n"
              << "  message_time: " << message.message_time;
    if (message.message_time != 0) {
        std::cout << " (" << timeText(message.message_time) << " local)";
    }
    std::cout << "\n  extended:     " << escaped(message.extended) << "\n";

    // The parser decrypts in place: show what the key made of the data block.
    const auto open = frame.find("\"*");
    const auto bracket = frame.find('[', open == std::string::npos ? frame.size() : open);
    if (open != std::string::npos && bracket != std::string::npos) {
        std::size_t digits = 0;
        while (bracket + 1 + digits < frame.size() &&
               std::isxdigit(static_cast<unsigned char>(frame[bracket + 1 + digits]))) {
            ++digits;
        }
        const std::size_t bytes = std::min(digits / 2, buffer.size() - bracket - 1);
        if (bytes > 0 && options.config.DC9_AES_Mode != 0) {
            std::cout << "  decrypted:    " << escaped(std::string(buffer.data() + bracket + 1, bytes))
                      << "\n";
        }
    }

    const auto kind = Decide_DC9_Response(result, message, options.now, options.config, &refusal);
    if (refusal.kind != DC9_Refusal_Kind::None) {
        std::cout << "  reason:       " << refusalText(refusal) << "\n";
    }
    if (!kind) {
        std::cout << "  response:     none\n\n";
        return;
    }
    const std::string response =
        Build_DC9_Response(*kind, message, options.now, options.config, {}, &options.keys);
    std::cout << "  response:     " << responseToken(*kind) << " " << escaped(response) << "\n\n";
}

std::optional<std::time_t> parseNow(const std::string& text)
{
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        return std::time_t(std::stoll(text));
    }
    std::tm tm{};
    char rest = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &rest) != 6) {
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == std::time_t(-1)) {
        return std::nullopt;
    }
    return t;
}

int usageError(const std::string& message)
{
    std::cerr << "dc09-decode: " << message << "\nTry dc09-decode --help.\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                return std::nullopt;
            }
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--raw") {
            options.mode = InputMode::Raw;
        } else if (arg == "--hex") {
            options.mode = InputMode::Hex;
        } else if (arg == "--lines") {
            options.mode = InputMode::Lines;
        } else if (arg == "--auto") {
            options.mode = InputMode::Auto;
        } else if (arg == "--time-synch") {
            options.config.Time_Synch = 1;
        } else if (arg == "--utc") {
            options.config.DC9_Time_UTC = 1;
        } else if (arg == "--lower-hex") {
            options.config.DC9_Quirk_Lower_Hex = 1;
        } else if (arg == "--crc-cr") {
            options.config.DC9_Quirk_CRC_CR = 1;
        } else if (arg == "--binary-crc") {
            options.config.DC9_Quirk_Binary_CRC = 1;
        } else if (arg == "--sia-dcs") {
            options.config.DC9_SIA_DCS = 1;
        } else if (arg == "--account-keys") {
            const auto v = value();
            if (!v) {
                return usageError(arg + " needs a file");
            }
            const AccountKeysFileResult loaded = loadAccountKeys(*v, options.keys);
            if (loaded.status != AccountKeysFileResult::Status::Loaded) {
                return usageError("cannot read " + *v);
            }
        } else if (arg == "--aes-mode" || arg == "--key" || arg == "--key-text") {
            const auto v = value();
            if (!v) {
                return usageError(arg + " needs a value");
            }
            const char* field = arg == "--aes-mode" ? "DC9_AES_Mode" : "DC9_AES_Key";
            if (arg == "--key-text") {
                if (v->size() > sizeof options.config.DC9_AES_Key) {
                    return usageError("--key-text takes at most 32 characters");
                }
                std::memset(options.config.DC9_AES_Key, 0, sizeof options.config.DC9_AES_Key);
                std::memcpy(options.config.DC9_AES_Key, v->data(), v->size());
            } else if (const auto error = setConfigField(options.config, field, *v)) {
                return usageError(arg + ": " + error->message);
            }
        } else if (arg == "--now") {
            const auto v = value();
            const auto now = v ? parseNow(*v) : std::nullopt;
            if (!now) {
                return usageError("--now takes seconds since 1970 or \"YYYY-MM-DD HH:MM:SS\"");
            }
            options.now = *now;
            options.nowGiven = true;
        } else {
            return usageError("unknown option " + escaped(arg));
        }
    }
    if (!options.nowGiven) {
        options.now = SystemClock().wallNow().seconds;
    }

    const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::string error;
    const auto frames = framesOf(input, options.mode, error);
    if (!error.empty()) {
        return usageError(error);
    }
    if (frames.empty()) {
        std::cerr << "dc09-decode: no frames on standard input\n";
        return 1;
    }
    int number = 0;
    for (const auto& frame : frames) {
        decodeOne(++number, frame, options);
    }
    return 0;
}

// Formatting of the automation software's lines.
#include "output/OutputMessages.h"

#include "config/ConfigRecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// A fixed-width text field up to its NUL, never past its width (a damaged file may lack the NUL).
template <std::size_t N> std::string_view fieldText(const char (&field)[N])
{
    const void* end = std::memchr(field, 0, N);
    return {field, end ? std::size_t(static_cast<const char*>(end) - field) : N};
}

// The leading decimal digits as a number, like the C library's atoi on the cut text.
int leadingNumber(std::string_view text)
{
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Receiver (at least two digits) and line (unpadded in "SG MLR2-DG", three digits in "SG MLR2000"),
// from the leading digits of their cut texts; an empty field counts as 0.
std::string receiverAndLine(const Report_Source& source, std::int8_t reportFormat)
{
    std::string_view receiver = fieldText(source.receiver);
    if (receiver.empty())
        receiver = "0";
    std::string_view line = fieldText(source.line);
    if (line.empty())
        line = "0";
    char numbers[16];
    std::snprintf(numbers, sizeof numbers, reportFormat == output::kFormatMlr2000 ? "%.2d%.3d" : "%.2d%d",
                  leadingNumber(receiver.substr(0, 2)), leadingNumber(line.substr(0, 3)));
    return numbers;
}

bool isLower(char c)
{
    return c >= 'a' && c <= 'z';
}
bool isUpper(char c)
{
    return c >= 'A' && c <= 'Z';
}

// The "/"-separated fields of a SIA event block; a "/" inside a text ("^...^") separates nothing.
std::vector<std::string_view> siaFields(std::string_view body)
{
    std::vector<std::string_view> fields;
    bool inText = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '^')
            inText = !inText;
        else if (body[i] == '/' && !inText) {
            fields.push_back(body.substr(start, i - start));
            start = i + 1;
        }
    }
    fields.push_back(body.substr(start));
    return fields;
}

std::string cutBlock(std::string_view block)
{
    return std::string(block.substr(0, kSLineBlockWidth - 1)) + "]";
}

// A block over 66 bytes as blocks of one event code each. Modifiers ("ri", "id", "ti", ...) hold
// until changed, so each block carries those in force for its code; a code's text ("^...^") is
// left out when the block would not fit with it, and a block that still does not fit is cut.
std::vector<std::string> splitSiaBlock(std::string_view block)
{
    if (block.size() <= kSLineBlockWidth)
        return {std::string(block)};
    if (block.size() < 2 || block.front() != '[' || block.back() != ']')
        return {cutBlock(block)};
    const std::string_view inner = block.substr(1, block.size() - 2);
    const std::size_t bar = inner.find('|');
    if (bar == std::string_view::npos)
        return {cutBlock(block)};
    const std::string_view head = inner.substr(0, bar + 1);
    std::string_view body = inner.substr(bar + 1);
    std::string_view flag;
    if (body.size() > 1 && (body[0] == 'N' || body[0] == 'O') && (isLower(body[1]) || isUpper(body[1]))) {
        flag = body.substr(0, 1);
        body.remove_prefix(1);
    }

    std::vector<std::pair<std::string, std::string>> modifiers; // name, "name" + value
    struct Piece {
        std::string modifiers;
        std::string event;
    };
    std::vector<Piece> pieces;
    for (const std::string_view field : siaFields(body)) {
        std::size_t p = 0;
        while (p + 1 < field.size() && isLower(field[p]) && isLower(field[p + 1])) {
            std::size_t v = p + 2;
            while (v < field.size() && !isUpper(field[v]) && field[v] != '^' && field[v] != '|')
                ++v;
            const std::string name(field.substr(p, 2));
            std::string text(field.substr(p, v - p));
            auto it = std::find_if(modifiers.begin(), modifiers.end(),
                                   [&name](const auto& m) { return m.first == name; });
            if (it == modifiers.end())
                modifiers.emplace_back(name, std::move(text));
            else
                it->second = std::move(text);
            p = v;
        }
        const std::string_view rest = field.substr(p);
        if (rest.size() >= 2 && isUpper(rest[0]) && isUpper(rest[1])) {
            Piece piece;
            for (const auto& m : modifiers)
                piece.modifiers += m.second + "/";
            piece.event = std::string(rest);
            pieces.push_back(std::move(piece));
        } else if (!rest.empty() && !pieces.empty()) {
            pieces.back().event += "/" + std::string(rest);
        }
    }
    if (pieces.empty())
        return {cutBlock(block)};

    std::vector<std::string> out;
    for (const Piece& piece : pieces) {
        const std::string front = "[" + std::string(head) + std::string(flag) + piece.modifiers;
        std::string one = front + piece.event + "]";
        if (one.size() > kSLineBlockWidth && piece.event.find('^') != std::string::npos)
            one = front + piece.event.substr(0, piece.event.find('^')) + "]";
        out.push_back(one.size() > kSLineBlockWidth ? cutBlock(one) : one);
    }
    return out;
}

template <std::size_t N> void copyField(char (&to)[N], const char* from, std::size_t fromSize)
{
    std::memset(to, 0, N);
    std::memcpy(to, from, std::min(N, fromSize));
    to[N - 1] = '\0';
}

} // namespace

std::string Format_Heartbeat(std::int8_t receiverNumber, int length)
{
    char text[32];
    const int number = static_cast<std::uint8_t>(receiverNumber);
    std::snprintf(text, sizeof text,
                  length == kShortHeartbeatLength ? "1%.2d1           @    " : "1%.2d000           @    ",
                  number);
    std::string line(text);
    line += output::kDc4;
    return line;
}

std::string Qualified_Event_Text(std::string_view text)
{
    std::string event(text);
    if (!event.empty()) {
        switch (event[0]) {
        case '1':
            event[0] = 'E';
            break;
        case '3':
            event[0] = 'R';
            break;
        case '6':
            event[0] = 'P';
            break;
        default:
            break;
        }
    }
    return event;
}

std::string Format_Report(const Report_Source& source, std::int8_t reportFormat)
{
    const std::string event = Qualified_Event_Text(fieldText(source.event));
    const std::string_view account = fieldText(source.account).substr(0, kReportAccountWidth);

    std::string out = "5" + receiverAndLine(source, reportFormat) + " 18";
    out.append(account);
    out.append(event);
    out.append(fieldText(source.partition));
    out.append(fieldText(source.zone));
    out += output::kDc4;
    return out;
}

std::string Format_Report(const JournalRecord& record, std::int8_t reportFormat)
{
    Report_Source source{};
    std::memcpy(&source, &record, sizeof source);
    return Format_Report(source, reportFormat);
}

std::string Account_Cut_Warning(std::string_view account, std::string_view line)
{
    if (account.size() <= kReportAccountWidth || (!line.empty() && (line[0] == 'Q' || line[0] == 'S')))
        return {};
    // The texts come from the record files; a damaged one must not put control bytes into the log.
    const auto shown = [](std::string_view text) {
        std::string out;
        for (const char c : text)
            out += c >= 0x20 && c < 0x7F ? c : '?';
        return out;
    };
    if (!line.empty() && line.back() == output::kDc4)
        line.remove_suffix(1);
    return "Account " + shown(account) + " does not fit the " + std::to_string(kReportAccountWidth) +
           " account characters of the report format; the automation software receives it as " +
           shown(account.substr(0, kReportAccountWidth)) + ": " + shown(line);
}

Report_Source Make_Supervision_Source(const AccountRecord& account)
{
    Report_Source source{};
    copyField(source.receiver, account.receiver, sizeof account.receiver);
    copyField(source.line, account.line, sizeof account.line);
    copyField(source.account, account.account, sizeof account.account);
    const bool missing = (account.sup_flags & accounts::kMissing) != 0;
    std::memcpy(source.event, missing ? "1350" : "3350", 5);
    std::memcpy(source.partition, "01", 3);
    std::memcpy(source.zone, "000", 4);
    return source;
}

bool Is_SIA_Token(std::string_view token)
{
    return token == "SIA-DCS" || token == "*SIA-DCS";
}

std::string Format_Q_Line(const Report_Source& source, std::int8_t reportFormat)
{
    const std::string_view account = fieldText(source.account).substr(0, kQLineAccountWidth);
    std::string out = "Q" + receiverAndLine(source, reportFormat) + " 58";
    out.append(kQLineAccountWidth - account.size(), '0');
    out.append(account);
    out.append(Qualified_Event_Text(fieldText(source.event)));
    out.append(fieldText(source.partition));
    out.append(fieldText(source.zone));
    out += output::kDc4;
    return out;
}

std::string SIA_Data_Block(std::string_view content)
{
    if (content.empty() || content.front() != '[')
        return {};
    bool inText = false;
    for (std::size_t i = 1; i < content.size(); ++i) {
        if (content[i] == '^')
            inText = !inText;
        else if (content[i] == ']' && !inText)
            return std::string(content.substr(0, i + 1));
    }
    // A text that is never closed does not hide the block's end.
    const std::size_t close = content.find(']');
    return std::string(close == std::string_view::npos ? content : content.substr(0, close + 1));
}

std::vector<std::string> Format_S_Lines(const Report_Source& source, std::string_view dataBlock,
                                        std::int8_t reportFormat)
{
    // The automation software reads the line as text: a control byte (DC4 above all) in what a panel
    // sent must not end or garble it.
    std::string block;
    for (const char c : dataBlock)
        block += c >= 0x20 && c < 0x7F ? c : '?';
    const std::string front = "S" + receiverAndLine(source, reportFormat);
    std::vector<std::string> lines;
    for (const std::string& piece : splitSiaBlock(block))
        lines.push_back(front + piece + output::kDc4);
    return lines;
}

std::vector<std::string> Format_Event_Lines(const Report_Source& source, std::string_view token,
                                            std::string_view content, const ReportOptions& options)
{
    if (Is_SIA_Token(token)) {
        std::string block = SIA_Data_Block(content);
        if (block.empty()) {
            // What the stored fields still say of it.
            block = "[#" + std::string(fieldText(source.account)) + "|N";
            if (!fieldText(source.partition).empty())
                block += "ri" + std::string(fieldText(source.partition)) + "/";
            block += std::string(fieldText(source.event)) + std::string(fieldText(source.zone)) + "]";
        }
        return Format_S_Lines(source, block, options.reportFormat);
    }
    const std::size_t accountLength = fieldText(source.account).size();
    if (options.accountQLines && accountLength > kReportAccountWidth && accountLength <= kQLineAccountWidth)
        return {Format_Q_Line(source, options.reportFormat)};
    return {Format_Report(source, options.reportFormat)};
}

std::vector<std::string> Format_Event_Lines(const JournalRecord& record, std::string_view token,
                                            std::string_view content, const ReportOptions& options)
{
    Report_Source source{};
    std::memcpy(&source, &record, sizeof source);
    return Format_Event_Lines(source, token, content, options);
}

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
    std::string_view receiver = fieldText(source.receiver);
    if (receiver.empty())
        receiver = "0";
    receiver = receiver.substr(0, 2);
    std::string_view line = fieldText(source.line);
    if (line.empty())
        line = "0";
    line = line.substr(0, 3);

    const std::string event = Qualified_Event_Text(fieldText(source.event));
    const std::string_view account = fieldText(source.account).substr(0, kReportAccountWidth);

    char numbers[16];
    std::snprintf(numbers, sizeof numbers,
                  reportFormat == output::kFormatMlr2000 ? "5%.2d%.3d 18" : "5%.2d%d 18",
                  leadingNumber(receiver), leadingNumber(line));
    std::string out(numbers);
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
    if (account.size() <= kReportAccountWidth)
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

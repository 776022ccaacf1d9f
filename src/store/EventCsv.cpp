// Writing the CSV export, field by field.
#include "store/EventCsv.h"

#include "store/EventTexts.h"
#include "store/RecordText.h"

namespace csv {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

bool isControl(unsigned char c)
{
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || (c >= 0x7F && c < 0xA0);
}

} // namespace

void appendField(std::string& out, std::string_view text)
{
    // A spreadsheet takes a cell that begins so for a formula; the apostrophe makes it text.
    const bool formula =
        !text.empty() && (text.front() == '=' || text.front() == '+' || text.front() == '-' ||
                          text.front() == '@' || text.front() == '\t');
    bool plain = !formula;
    bool quote = false;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        quote = quote || c == ',' || c == '"' || c == '\n' || c == '\r';
        plain = plain && b >= 0x20 && b < 0x7F && c != ',' && c != '"';
    }
    if (plain) { // nearly every field: printable ASCII as it stands
        out.append(text);
        return;
    }
    if (quote)
        out += '"';
    if (formula)
        out += '\'';
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '"') {
            out += "\"\"";
        } else if (isControl(b)) {
            out += "\xEF\xBF\xBD";
        } else if (b >= 0x80) {
            out += char(0xC0 | (b >> 6));
            out += char(0x80 | (b & 0x3F));
        } else {
            out += c;
        }
    }
    if (quote)
        out += '"';
}

std::string headerRow()
{
    std::string out;
    for (const char* header : eventlist::kHeaders) {
        out += header;
        out += ',';
    }
    out += "Source Address,Sequence Number,Token,Event Description\r\n";
    return out;
}

void appendRow(std::string& out, const LoggedEvent& event)
{
    const JournalRecord& r = event.record;
    const std::string_view code = fieldText(r.event);
    const auto field = [&out](std::string_view text) {
        appendField(out, trimmed(text));
        out += ',';
    };
    field(event.receivedLocal.empty() ? EventLog::localTimeText(event.receivedUtc) : event.receivedLocal);
    field(fieldText(r.receiver));
    field(fieldText(r.line));
    field(fieldText(r.account));
    field(eventlist::eventText(code));
    field(fieldText(r.partition));
    field(fieldText(r.zone));
    field(fieldText(r.address));
    field(eventlist::signalText(event.extended));
    field(eventlist::stateText(event.state, code));
    field(event.sourceAddress);
    field(event.sequence >= 0 ? std::to_string(event.sequence) : std::string());
    field(event.token);
    // Last, so that a reader of the earlier columns finds them where they always were.
    appendField(out, eventlist::eventDescription(code));
    out += "\r\n";
}

} // namespace csv

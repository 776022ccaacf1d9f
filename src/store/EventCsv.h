// The Event List's rows as CSV (RFC 4180, UTF-8): its columns, then the source address, the
// sequence number, the token and the Contact ID event's description. Fields come from the network
// and from old files, so each is written so that it can neither break its row nor run in a
// spreadsheet.
#pragma once

#include "store/EventLog.h"

#include <string>
#include <string_view>

namespace csv {

// The header row, ended by CRLF.
[[nodiscard]] std::string headerRow();
// One event as a row, ended by CRLF. The time is "YYYY-MM-DD HH:MM:SS" in local time.
void appendRow(std::string& out, const LoggedEvent& event);
// One field of single-byte text: bytes from 0xA0 up as their Latin-1 characters in UTF-8 (as the
// grid shows them), control characters other than tab and line breaks as U+FFFD; quoted when it
// holds a comma, a quote or a line break; with a leading apostrophe when it begins like a formula.
void appendField(std::string& out, std::string_view text);

} // namespace csv

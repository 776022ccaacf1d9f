// The texts of the Event List's columns, shared by the window and the CSV export of its rows.
#pragma once

#include "store/EventLog.h"

#include <array>
#include <string>
#include <string_view>

namespace eventlist {

inline constexpr std::size_t kColumns = 10;
inline constexpr std::array<const char*, kColumns> kHeaders = {
    "Time Received",     "Receiver Number", "Line Number", "Account Number", "Qualifier + Event",
    "Group / Partition", "Zone / User",     "IP Address",  "Signal Quality", "Status"};

// "Qualifier + Event": " PING" for a link test, a blank and the code for a SIA event, else " %d   %s":
// the qualifier's digit value (its low four bits) and the three-character code after it.
[[nodiscard]] std::string eventText(std::string_view event);
// What a Contact ID code means ("Burglary", or "unknown" outside the code table); empty for a link
// test and a SIA event, which carry no Contact ID code.
[[nodiscard]] std::string_view eventDescription(std::string_view event);
// "Qualifier + Event" as the lists show it: the code and, after a blank, its description.
[[nodiscard]] std::string describedEventText(std::string_view event);
// "Signal Quality": a blank, the "[Q" value of the extended data and " %"; empty when there is none.
[[nodiscard]] std::string signalText(std::string_view extended);
// "Status" of an event as the log holds it.
[[nodiscard]] const char* stateText(ForwardState state, std::string_view event);

} // namespace eventlist

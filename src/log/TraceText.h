// How raw traffic reads in the "Data Log" and the service's traffic lines: control bytes by their
// ASCII names, times to the millisecond.
#pragma once

#include "config/Clock.h"

#include <string>
#include <string_view>

// "15:13:48.915", the local time of day.
[[nodiscard]] std::string traceTimeText(const WallTime& time);
// "2026-12-09 15:13:48.915", local date and time.
[[nodiscard]] std::string traceDateTimeText(const WallTime& time);
// The bytes with every control byte as its name in angle brackets ("<LF>", "<CR>", "<DC4>"), and
// bytes above 0x7E as "<xNN>": a frame reads as it went over the wire, on one line.
[[nodiscard]] std::string readableBytes(std::string_view bytes);

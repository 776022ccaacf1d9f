// Cell texts the Event List and the Object List share.
#pragma once

#include "config/Clock.h"
#include "store/EventTexts.h"

#include <QString>
#include <ctime>
#include <string_view>

namespace grid {

// "Qualifier + Event" (see eventlist::eventText).
inline QString eventText(std::string_view event)
{
    const std::string text = eventlist::eventText(event);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// Local time as "hh:mm:ss" + `gap` + "yyyy-mm-dd".
inline QString timeText(std::time_t seconds, const char* gap)
{
    const std::tm tm = localTimeOf(seconds);
    return QString::asprintf("%02d:%02d:%02d%s%04d-%02d-%02d", tm.tm_hour, tm.tm_min, tm.tm_sec, gap,
                             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

inline QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace grid

// Cell texts the Event List and the Object List share.
#pragma once

#include "config/Clock.h"
#include "store/EventTexts.h"

#include <QString>
#include <ctime>
#include <string_view>

namespace grid {

// "Qualifier + Event" with the Contact ID code's description (see eventlist::describedEventText).
inline QString eventText(std::string_view event)
{
    const std::string text = eventlist::describedEventText(event);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// Local time as "yyyy-mm-dd hh:mm:ss", as the log and the export write it.
inline QString timeText(std::time_t seconds)
{
    const std::tm tm = localTimeOf(seconds);
    return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                             tm.tm_hour, tm.tm_min, tm.tm_sec);
}

inline QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace grid

// Cell texts the Event List and the Object List share.
#pragma once

#include "config/Clock.h"
#include "store/EventCode.h"

#include <QString>
#include <ctime>
#include <string_view>

namespace grid {

// "Qualifier + Event": " PING" for a link test, a blank and the code for a SIA event, else " %d   %s":
// the qualifier's digit value (its low four bits) and the three-character code after it.
inline QString eventText(std::string_view event)
{
    if (event == "NULL")
        return QStringLiteral(" PING");
    if (isSiaEventCode(event)) // a SIA code shows as it came: " BA"
        return QLatin1Char(' ') + QString::fromLatin1(event.data(), qsizetype(event.size()));
    const int qualifier = event.empty() ? 0 : (event[0] & 0x0F);
    const std::string_view code = event.size() > 1 ? event.substr(1, 3) : std::string_view();
    return QStringLiteral(" %1   ").arg(qualifier) + QString::fromLatin1(code.data(), qsizetype(code.size()));
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

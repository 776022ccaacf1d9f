// Column texts of the Event List.
#include "store/EventTexts.h"

#include "store/ContactIdCodes.h"
#include "store/EventCode.h"
#include "store/Journal.h"

namespace eventlist {

std::string eventText(std::string_view event)
{
    if (event == "NULL")
        return " PING";
    if (isSiaEventCode(event)) // a SIA code shows as it came: " BA"
        return " " + std::string(event);
    const int qualifier = event.empty() ? 0 : (event[0] & 0x0F);
    const std::string_view code = event.size() > 1 ? event.substr(1, 3) : std::string_view();
    return " " + std::to_string(qualifier) + "   " + std::string(code);
}

std::string_view eventDescription(std::string_view event)
{
    if (event == "NULL" || isSiaEventCode(event))
        return {};
    return contactid::description(event.size() > 1 ? event.substr(1, 3) : std::string_view());
}

std::string describedEventText(std::string_view event)
{
    std::string text = eventText(event);
    const std::string_view description = eventDescription(event);
    if (!description.empty())
        text.append(" ").append(description);
    return text;
}

std::string signalText(std::string_view extended)
{
    char value[17] = {};
    if (!Find_Tag_Value("[Q", extended, value))
        return {};
    return " " + std::string(value) + " %";
}

const char* stateText(ForwardState state, std::string_view event)
{
    if (event == "NULL")
        return "Not reportable";
    switch (state) {
    case ForwardState::Pending:
        return "Pending";
    case ForwardState::Reported:
        return "Reported";
    case ForwardState::NotReportable:
        return "Not reportable";
    }
    return "Unknown";
}

} // namespace eventlist

// What a stored event's code field holds: a Contact ID qualifier and code ("1130"), a link test
// ("NULL"), or a SIA event code of two capital letters ("BA").
#pragma once

#include <string_view>

[[nodiscard]] constexpr bool isSiaEventCode(std::string_view event)
{
    return event.size() == 2 && event[0] >= 'A' && event[0] <= 'Z' && event[1] >= 'A' && event[1] <= 'Z';
}

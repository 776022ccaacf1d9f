// What a Contact ID event code means, from the code table panels and receivers share, so the lists
// can say "130 Burglary" rather than leave the operator to know the number.
#pragma once

#include <string_view>

namespace contactid {

// The description of a three-digit event code ("130" gives "Burglary"); "unknown" for a code the
// table does not define, and for anything that is not three decimal digits.
[[nodiscard]] std::string_view description(std::string_view code);

} // namespace contactid

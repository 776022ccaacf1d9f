// How lower layers hand a system log line upwards without knowing who shows or stores it.
#pragma once

#include <functional>
#include <string_view>

enum class LogColour { Black, Red };

using LogSink = std::function<void(std::string_view text, LogColour colour)>;

// Turns an accepted DC-09 message into a journal event and an account update.
#pragma once

#include "dc09/Dc09Message.h"

#include <ctime>
#include <string_view>

class AccountTable;
class Journal;

void Store_DC9_Event(const DC9_Message& message, std::time_t received, std::string_view remoteAddress,
                     int remotePort, AccountTable& accounts, Journal& journal);

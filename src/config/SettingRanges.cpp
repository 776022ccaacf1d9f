// The table of the numeric settings' values.
#include "config/SettingRanges.h"

namespace {

constexpr IntegerSetting kIntegerSettings[] = {
    {"DC9_Port_Enable", 0, 1, "1 open, 0 closed"},
    // Port 0 would have the system pick any free port, which no panel or automation software finds.
    {"DC9_Port", 1, 65535, "a TCP port number"},
    {"DC9_Conn_Timeout", 0, 999, "seconds"},
    {"DC9_AES_Mode", 0, 3, "0 off, 1 AES-128, 2 AES-192, 3 AES-256"},
    {"Mon_Port_Open", 0, 2, "0 closed, 1 TCP/IP, 2 serial"},
    {"Mon_Server", 0, 1, "1 server, 0 client"},
    {"Mon_Port", 1, 65535, "a TCP port number"},
    // Two digits in the heartbeat: a third would make the line longer than the automation software
    // reads it.
    {"Test_Rec_Nr", 0, 99, "the receiver number"},
    {"COM_Baud", 1200, 115200, "a baud rate of the serial settings dialog's list", kBaudRates},
    {"Test_Heartbeat_Period", 0, 999, "seconds"},
    {"Report_Format", 0, 1, "0 SG MLR2-DG, 1 SG MLR2000"},
    {"Time_Synch", 0, 1, "1 on, 0 off"},
    {"DC9_Store_Repeats", 0, 1, "0 a repeat within 60 s is stored once, 1 every copy is stored"},
    {"DC9_UDP_Enable", 0, 1, "1 the receiver port also takes UDP, 0 TCP only"},
    {"DC9_Quirk_Lower_Hex", 0, 1, "1 lowercase hex accepted in CRC, length and ciphertext, 0 off"},
    {"DC9_Quirk_CRC_CR", 0, 1, "1 a decimal length with the CRC over body and CR accepted, 0 off"},
    {"DC9_Quirk_Binary_CRC", 0, 1, "1 a CRC of two raw bytes accepted, 0 off"},
    {"DC9_Time_UTC", 0, 1, "1 time stamps in UTC, 0 local time"},
    {"Test_Heartbeat_Length", 20, 22, "20 or 22 characters", kHeartbeatLengths},
    {"COM_Framing", 0, 1, "0 8N1, 1 7E1"},
    {"DC9_Known_Accounts_Only", 0, 1, "0 any account, 1 only accounts in the Object List"},
    {"DC9_SIA_DCS", 0, 1, "1 SIA-DCS accepted, 0 answered DUH"},
    {"Out_Account_Q_Lines", 0, 1,
     "1 Contact ID accounts of 5 to 10 characters sent whole as Q lines, 0 cut to 4"},
    {"Metrics_Port", 0, 65535, "a TCP port number, 0 no metrics endpoint"},
    {"Log_Keep_Days", 0, 36500, "days the event log keeps its rows, 0 the default of 90"},
    {"DC9_Max_Per_Address", 0, 2048, "connections one address may hold, 0 no limit"},
    // A longest frame shorter than the shortest link test would refuse every panel.
    {"DC9_Max_Frame_Length", 0, 65535, "bytes from LF to CR, 0 for 4096", {}, 64},
    {"Log_File_Max_MiB", 0, 4096, "MiB at which the month's log file is set aside, 0 for 64"},
};

} // namespace

const IntegerSetting* integerSetting(std::string_view name)
{
    for (const IntegerSetting& s : kIntegerSettings)
        if (s.name == name)
            return &s;
    return nullptr;
}

bool allows(const IntegerSetting& setting, long long value)
{
    if (!setting.list.empty()) {
        for (const long long v : setting.list)
            if (v == value)
                return true;
        return false;
    }
    if (value < setting.min || value > setting.max)
        return false;
    return setting.lowestAboveZero == 0 || value == 0 || value >= setting.lowestAboveZero;
}

std::string allowedValues(const IntegerSetting& setting)
{
    std::string text;
    if (!setting.list.empty()) {
        for (const long long v : setting.list)
            text += (text.empty() ? "" : ", ") + std::to_string(v);
        return text;
    }
    if (setting.lowestAboveZero != 0)
        return "0, or " + std::to_string(setting.lowestAboveZero) + " to " + std::to_string(setting.max);
    if (setting.max == setting.min + 1)
        return std::to_string(setting.min) + " or " + std::to_string(setting.max);
    return std::to_string(setting.min) + " to " + std::to_string(setting.max);
}

// libFuzzer target: the command line and the setting values it carries. The input is the arguments,
// one per line. Whatever they are, parsing names its fault or gives options; every --set either
// changes its field (which --show-config then shows, and which reads back the same when set again)
// or leaves the whole record as it was; every address list reads either whole or not at all, and a
// list that reads holds each of its own ranges' first address; an export changes nothing, and each
// of its dates either is a day that reads back as itself or is refused.
#include "FuzzSupport.h"
#include "app/CommandLine.h"
#include "config/AddressList.h"
#include "config/ConfigRecord.h"
#include "store/EventLog.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using fuzzsupport::require;

namespace {

void checkAddressList(const std::string& text)
{
    const AddressListParse parsed = parseAddressList(text);
    require(parsed.error.empty() || parsed.ranges.empty(), "a list that fails to read gives no ranges");
    for (const AddressRange& range : parsed.ranges) {
        require(range.prefixBits >= 0 && range.prefixBits <= (range.ipv6 ? 128 : 32),
                "a prefix fits its family");
        char address[INET6_ADDRSTRLEN];
        require(::inet_ntop(range.ipv6 ? AF_INET6 : AF_INET, range.bytes.data(), address, sizeof address) !=
                    nullptr,
                "a range's address can be written out");
        require(addressInRanges(parsed.ranges, address), "a list holds the address of each of its ranges");
    }
}

void checkSet(Config_Record& record, const std::string& name, const std::string& value)
{
    const Config_Record before = record;
    const auto error = setConfigField(record, name, value);
    if (error) {
        require(std::memcmp(&before, &record, sizeof record) == 0, "a refused value changes nothing");
        require(!error->message.empty(), "a refusal says why");
        return;
    }
    require(record.Out_IP[sizeof record.Out_IP - 1] == 0 &&
                record.DC9_Bind_Address[sizeof record.DC9_Bind_Address - 1] == 0 &&
                record.Mon_Bind_Address[sizeof record.Mon_Bind_Address - 1] == 0 &&
                record.Mon_Allowed_Addresses[sizeof record.Mon_Allowed_Addresses - 1] == 0,
            "a text field ends in a zero byte");
    // What --show-secrets prints for the field is a value that --set takes back to the same record.
    const auto shown = describeConfig(record, true);
    for (const auto& [shownName, shownValue] : shown) {
        if (shownName != name)
            continue;
        Config_Record again = record;
        require(!setConfigField(again, shownName, shownValue), "a shown value is taken back");
        require(std::memcmp(&again, &record, sizeof record) == 0, "a shown value sets the same bytes");
    }
    require(!describeConfig(record).empty(), "the settings can be shown");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args{"ardentel"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == '\n') {
            args.push_back(current);
            current.clear();
        } else {
            current += char(data[i]);
        }
    }
    if (!current.empty() && args.size() < 64)
        args.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());

    const auto [cl, error] = parseCommandLine(int(argv.size()), argv.data());
    if (error) {
        require(!error->message.empty(), "a bad argument is named");
        return 0;
    }
    require(!cl.changesFiles() || cl.configOnly(), "a change of the files runs without the window");
    if (cl.exportEvents) {
        require(!cl.changesFiles() && !cl.configOnly() && !cl.headless, "an export does nothing else");
        for (const std::string& date : {cl.exportFrom, cl.exportTo}) {
            const auto start = EventLog::localDayStart(date);
            require(!start || EventLog::localTimeText(*start) == date + " 00:00:00", "a day reads as itself");
            const auto next = EventLog::localDayStart(date, 1);
            require(start.has_value() == next.has_value() && (!start || *next - *start == 86400),
                    "a day in UTC is 24 hours long");
        }
    }
    // Each value against a new installation's settings and against those of an older file.
    Config_Record fresh = defaultConfig();
    Config_Record older = defaultConfig();
    older.Setup_Flags = 0;
    std::memset(older.Mon_Allowed_Addresses, 0, sizeof older.Mon_Allowed_Addresses);
    bool timeWindowSet = false;
    for (const auto& [name, value] : cl.sets) {
        checkAddressList(value);
        (void)parseAddress(value);
        checkSet(fresh, name, value);
        checkSet(older, name, value);
        timeWindowSet = timeWindowSet || name == "Time_Synch";
        require(older.Time_Synch == 0 || timeWindowSet,
                "encryption turned on in an older installation leaves its time window as it was");
    }
    return 0;
}

// libFuzzer target: latevn.dat as the start-up load finds it, then what the receiver and the
// forwarding side do with the table: supervision ticks, every due report formatted and cleared, an
// event's account updated, ping minutes set, an account deleted. Input: one flag byte, a 16-bit
// length, the file's bytes, then an account number and its extended text (flags: bit 0 tile the
// slots, bit 1 file missing, bits 2-3 report format, bits 4-7 the slot to delete).
#include "FuzzSupport.h"
#include "MemoryFileIo.h"
#include "output/OutputMessages.h"
#include "store/AccountTable.h"
#include "store/EventLog.h"
#include "store/Journal.h"
#include "store/RecordText.h"

#include <cstring>
#include <string>

using fuzzsupport::require;

namespace {

void checkReport(const Report_Source& source, std::int8_t format)
{
    const std::string line = Format_Report(source, format);
    require(!line.empty() && line.back() == output::kDc4, "a report ends with DC4");
    require(line.find('\0') == std::string::npos, "a report holds no zero byte");
    require(line.size() <= 48, "a report stays within its fields");
    require(Account_Cut_Warning(fieldText(source.account), line).empty() ==
                (fieldText(source.account).size() <= kReportAccountWidth),
            "a cut account is always named");
}

// Updates `account` and checks that the slot given back holds it.
void updateAccount(AccountTable& table, std::string_view account, const std::string& extended)
{
    JournalRecord record{};
    record.status = journal::kStored;
    setFieldText(record.account, account);
    setFieldText(record.receiver, "12");
    setFieldText(record.line, "3");
    setFieldText(record.event, "1130");
    setFieldText(record.address, "10.0.0.7");
    record.port = 40123;
    const auto slot = table.stage(record, extended.c_str());
    table.committed(table.takeChanged());
    if (slot) {
        require(*slot < accounts::kSlots, "an account slot lies in the table");
        require(fieldText(table.record(*slot).account) == fieldText(record.account),
                "the slot given back holds the account");
    } else {
        require(fieldText(record.account).empty() || table.record(accounts::kSlots - 1).account[0] != '\0',
                "an account is refused only when empty or the table is full");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::uint8_t flags = data[0];
    const std::size_t tableCount = fuzzsupport::lengthAt(data, size, 1);
    const std::uint8_t* tail = data + 3 + tableCount;
    const std::size_t tailCount = size - 3 - tableCount;
    const std::int8_t format = std::int8_t((flags >> 2) & 3);

    static MemoryFileIo io; // kept, so the large file buffer is not allocated for every input
    io.closeAll();
    const auto file = fuzzsupport::fileOf(data + 3, tableCount, flags & 1, 0, accounts::kImageSize);
    io.place("latevn.dat", flags & 2 ? nullptr : &file);
    {
        AccountTable table("latevn.dat", io);
        table.load();
        // A new log takes the table over; the table then agrees with it. Only a free slot that a
        // damaged file left bytes in is rewritten (as zeros); every account stays where it was.
        const std::vector<LoggedAccount> takenOver = table.takeOverSlots();
        (void)table.reconcile(takenOver);
        require(table.reconcile(takenOver) == 0, "a table that agrees needs no second rewrite");
        for (const LoggedAccount& a : takenOver)
            require(fieldText(table.record(std::size_t(a.slot)).account) == fieldText(a.record.account),
                    "an account taken over stays in its slot");

        table.supervisionTick();
        table.supervisionTick();
        std::size_t from = 0;
        for (int k = 0; k < 64; ++k) {
            const auto due = table.nextReportDue(from);
            if (!due)
                break;
            require(due->slot >= from && due->slot < accounts::kSlots,
                    "a due report lies ahead in the table");
            AccountRecord record = table.record(due->slot);
            checkReport(Make_Supervision_Source(record), format);
            require(table.clearReportDue(*due), "an unchanged due report is cleared");
            from = due->slot + 1;
        }

        // The account (up to its first zero byte) and then its extended text come from the input's tail.
        const char* text = reinterpret_cast<const char*>(tail);
        const std::size_t accountLength = ::strnlen(text, std::min<std::size_t>(tailCount, 20));
        const std::string_view account(text, accountLength);
        const std::size_t extStart = std::min(tailCount, accountLength + 1);
        const std::string extended(text + extStart, std::min<std::size_t>(tailCount - extStart, 63));
        updateAccount(table, account, extended);

        const std::size_t victim = std::size_t(flags >> 4) * 7;
        std::int32_t minutes = 0;
        std::memcpy(&minutes, data + 1, 2);
        table.setPingMinutes(victim, minutes - 1000);
        table.supervisionTick();
        table.deleteAccount(victim);
        table.committed(table.takeChanged());
        updateAccount(table, account, extended);
        table.deleteAccount(accounts::kSlots + 1); // outside the table: nothing happens
        table.committed(table.takeChanged());
        require(table.checkpoint().ok(), "a checkpoint in memory files succeeds");
        require(io.files["latevn.dat"].bytes.size() >= accounts::kImageSize,
                "a deletion writes the whole table");
    }
    require(io.openCount() == 0, "every file is closed again");
    return 0;
}

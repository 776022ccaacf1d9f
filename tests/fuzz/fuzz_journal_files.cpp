// libFuzzer target: kalvor.dat and extevn.dat as the start-up load finds them, then what the receiver,
// the event log's take-over and start-up agreement, and the forwarding side do with the images:
// format every pending report, take the ring over as rows, make the view agree with them, store an
// event over a slot, commit it, mark reported, checkpoint, clear. Input: one flag byte, a 16-bit length, the
// journal file's bytes, then the extended file's bytes (flags: bit 0 tile the journal's slots, bit 1 tile the
// extended slots, bit 2/3 journal/extended file missing, bit 4 clear at the end, bits 5-6 report format).
#include "FuzzSupport.h"
#include "MemoryFileIo.h"
#include "output/OutputMessages.h"
#include "store/EventLog.h"
#include "store/Journal.h"
#include "store/RecordText.h"

#include <cstdlib>
#include <ctime>
#include <string>

using fuzzsupport::require;

namespace {

constexpr std::size_t kWalked = 64; // slots looked at from the start and around the next slot

bool isPending(const JournalRecord& r)
{
    return (r.status & journal::kStored) && !(r.status & journal::kReported) && fieldText(r.event) != "NULL";
}

void checkReport(const JournalRecord& record, std::int8_t format)
{
    const std::string line = Format_Report(record, format);
    require(!line.empty() && line.back() == output::kDc4, "a report ends with DC4");
    require(line.find('\0') == std::string::npos, "a report holds no zero byte");
    require(line.size() <= 48, "a report stays within its fields");
    const std::string warning = Account_Cut_Warning(fieldText(record.account), line);
    require(warning.empty() == (fieldText(record.account).size() <= kReportAccountWidth),
            "a cut account is always named");
    require(warning.find('\0') == std::string::npos, "the warning holds no zero byte");
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
    if (size < 3)
        return 0;
    const std::uint8_t flags = data[0];
    const std::size_t journalCount = fuzzsupport::lengthAt(data, size, 1);
    const std::uint8_t* journalBytes = data + 3;
    const std::uint8_t* extendedBytes = journalBytes + journalCount;
    const std::size_t extendedCount = size - 3 - journalCount;
    const std::int8_t format = std::int8_t(((flags >> 5) & 3) == 3 ? -1 : (flags >> 5) & 3);

    static MemoryFileIo io; // kept, so the large file buffers are not allocated for every input
    io.closeAll();
    const auto journalFile =
        fuzzsupport::fileOf(journalBytes, journalCount, flags & 1, journal::kHeaderSize, journal::kImageSize);
    const auto extendedFile =
        fuzzsupport::fileOf(extendedBytes, extendedCount, flags & 2, 0, journal::kExtendedImageSize);
    io.place("kalvor.dat", flags & 4 ? nullptr : &journalFile);
    io.place("extevn.dat", flags & 8 ? nullptr : &extendedFile);

    {
        Journal j(
            Journal::Paths{"kalvor.dat", "extevn.dat"}, [](std::string_view, LogColour) {}, io);
        j.load();
        require(io.files["kalvor.dat"].bytes.size() >= journal::kImageSize || !(flags & 4),
                "a missing journal is created");

        const std::size_t next = j.nextSlotIndex();
        require(next < journal::kSlots, "the next slot lies in the ring");
        std::size_t pending[8];
        std::size_t pendingCount = 0;
        for (std::size_t k = 0; k < 2 * kWalked; ++k) {
            const std::size_t slot =
                k < kWalked ? k : (next + journal::kSlots - kWalked / 2 + k) % journal::kSlots;
            const JournalRecord record = j.record(slot);
            const std::string ext = j.extendedText(slot);
            require(ext.size() < journal::kExtendedSlotSize && ext.find('\0') == std::string::npos,
                    "an extended text is bounded");
            char value[17];
            (void)Find_Tag_Value("[Q", ext.c_str(), value);
            require(value[16] == '\0', "a tag value is terminated");
            (void)Find_Tag_Value("[B", ext, value);
            if (isPending(record)) {
                checkReport(record, format);
                if (pendingCount < 8)
                    pending[pendingCount++] = slot;
            }
        }

        // A new log takes the ring over, and the view is made to agree with what it took: the ids are
        // the log's order, newest last.
        std::vector<LoggedEvent> rows = j.takeOverRows();
        require(rows.size() <= journal::kSlots, "the ring holds at most its slots");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            rows[i].id = std::int64_t(i + 1);
            require(rows[i].journalSlot >= 0 && std::size_t(rows[i].journalSlot) < journal::kSlots,
                    "a row names a slot of the ring");
        }
        const std::vector<LoggedEvent> newestFirst(rows.rbegin(), rows.rend());
        (void)j.reconcile(newestFirst, flags & 16);
        require(j.reconcile(newestFirst, flags & 16) == 0, "a view that agrees needs no second rewrite");

        // The next event goes over the slot as it was loaded, so a damaged slot (an unreported event
        // with any time, say) meets the overwrite and its log line.
        const std::size_t at = j.nextSlotIndex();
        JournalRecord event = j.record(at);
        event.status = 0;
        const std::size_t slot = j.stage(event, j.extendedText(at).c_str(), 7);
        require(j.record(slot).status == journal::kStored, "a stored event is stored and nothing more");
        require(j.nextSlotIndex() == (slot + 1) % journal::kSlots, "the ring moves on by one");
        const Journal::CommittedSlot committed{std::uint16_t(slot), 7, std::int64_t(rows.size() + 1)};
        j.committed(std::span(&committed, 1));
        require(j.logIdOf(slot) == std::int64_t(rows.size() + 1), "a committed slot knows its row");

        for (std::size_t k = 0; k < pendingCount; ++k)
            (void)j.markReported(pending[k], j.logIdOf(pending[k]));
        require(!j.markReported(journal::kSlots + 5, 1), "a slot outside the ring is no error");
        require(j.checkpoint().ok(), "a checkpoint in memory files succeeds");
        require(io.files["kalvor.dat"].bytes.size() >= journal::kImageSize, "the view is whole once written");
        if (flags & 16) {
            require(j.clear().empty(), "clearing memory files succeeds");
            require(j.record(slot).status == 0, "a cleared journal is empty");
        }
    }
    require(io.openCount() == 0, "every file is closed again");
    return 0;
}

// libFuzzer target: kalvor.dat and extevn.dat as the start-up load finds them, then what the receiver
// and the forwarding side do with the images: format every pending report, store an event over a
// slot, save, mark reported, clear. Input: one flag byte, a 16-bit length, the journal file's bytes, then
// the extended file's bytes (flags: bit 0 tile the journal's slots, bit 1 tile the extended slots,
// bit 2/3 journal/extended file missing, bit 4 clear at the end, bits 5-6 report format).
#include "FuzzSupport.h"
#include "MemoryFileIo.h"
#include "output/OutputMessages.h"
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
    constexpr std::uint8_t kSaved = journal::kStored | journal::kSaved;
    return (r.status & kSaved) == kSaved && !(r.status & journal::kReported) && fieldText(r.event) != "NULL";
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

    Journal j(
        Journal::Paths{"kalvor.dat", "extevn.dat"}, [](std::string_view, LogColour) {}, [](int) {}, io);
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

    // The next event goes over the slot as it was loaded, so a damaged slot (an unreported event
    // with any time, say) meets the overwrite and its log line.
    JournalRecord event = j.record(next);
    event.status = 0;
    j.append(event, j.extendedText(next).c_str());
    require(j.record(next).status == journal::kStored, "a stored event is stored and nothing more");
    require(j.nextSlotIndex() == (next + 1) % journal::kSlots, "the ring moves on by one");

    j.persistPass();
    {
        Journal::ReportPass pass(j);
        for (std::size_t k = 0; k < pendingCount; ++k)
            require(pass.markReported(pending[k]), "marking reported in memory files succeeds");
        require(pass.markReported(journal::kSlots + 5), "a slot outside the ring is no error");
    }
    if (flags & 16) {
        require(j.clear().empty(), "clearing memory files succeeds");
        require(j.record(next).status == 0, "a cleared journal is empty");
    }
    require(io.openCount() == 0, "every file is closed again");
    return 0;
}

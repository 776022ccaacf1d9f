// Disk faults for tests of the storage: every write and sync of the event log (through an SQLite
// file layer wrapped around the system's) and of the ring and account files (through a FileIo) can
// be made to fail, or the whole program can "crash" at the k-th one: that operation and every later
// write or sync fail, and whatever was written since a file's last sync is taken back, as a power
// cut would. The test then starts the stores again from what is on disk.
#pragma once

#include "store/FileIo.h"

#include <cstdint>
#include <string>

namespace faults {

// Installs the wrapping SQLite file layer as the default one (once per process).
void installLogLayer();

// Writes or syncs of files whose path contains `part` fail with `error` (EIO, ENOSPC) until healed.
void failWrites(const std::string& part, int error);
void failSyncs(const std::string& part, int error);
void heal();
// While on, a sync of the event log hangs until it is turned off again (a disk that stops answering).
void stallSyncs(bool on);

// Crash at the k-th write or sync from now (1 is the next one); 0: never.
void crashAt(std::uint64_t k);
[[nodiscard]] bool crashed();
// Writes and syncs counted since the last reset().
[[nodiscard]] std::uint64_t operations();
// Forgets the crash, the counts and what was written since the last syncs (they count as synced).
void reset();

// The ring and account files through the same faults.
class FaultyFileIo : public FileIo {
public:
    IoResult openWrite(const std::string& path, OpenMode mode) override;
    IoResult write(int fd, const void* data, std::size_t size) override;
    IoResult writeAtOffset(int fd, std::int64_t offset, const void* data, std::size_t size) override;
    IoResult sync(int fd) override;
    void close(int fd) override;
    IoResult syncDirectoryOf(const std::string& path) override;
};

} // namespace faults

// Shared helpers of the store and log tests: a scratch directory, whole-file reads, a log recorder
// and a file layer that fails on demand.
#pragma once

#include "log/LogSink.h"
#include "store/AccountTable.h"
#include "store/EventStore.h"
#include "store/FileIo.h"
#include "store/Journal.h"
#include "store/JournalRecord.h"
#include "store/RecordText.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class TempDir {
public:
    // Under `base` when given (a tmpfs, say, where syncs cost nothing), else the system's.
    explicit TempDir(const std::string& base = {})
    {
        const std::filesystem::path parent = base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
        std::string pattern = (parent / "ardentel-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::string& path() const { return m_path; }
    [[nodiscard]] std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::vector<std::uint8_t> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

constexpr std::int32_t kTestTime = 1796601600; // 2026-12-07 00:00:00 UTC

// One Contact ID event from account `account` as the receiver hands it to the store.
inline JournalRecord makeRecord(const char* account, const char* event = "1130",
                                std::int32_t time = kTestTime)
{
    JournalRecord r;
    std::memset(&r, 0, sizeof r);
    setFieldText(r.receiver, "0001");
    setFieldText(r.line, "02");
    setFieldText(r.account, account);
    setFieldText(r.event, event);
    setFieldText(r.partition, "01");
    setFieldText(r.zone, "015");
    r.time_received = time;
    setFieldText(r.address, "10.0.0.7");
    r.port = 40123;
    return r;
}

// Golden images are laid out by hand with these two.
inline void put(std::vector<std::uint8_t>& b, std::size_t at, const char* text)
{
    std::memcpy(b.data() + at, text, std::strlen(text));
}

inline void putLe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

// `n` bytes of `bytes` from `at`; empty when the file is too short.
inline std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t n)
{
    if (bytes.size() < at + n)
        return {};
    return std::vector<std::uint8_t>(bytes.begin() + std::ptrdiff_t(at),
                                     bytes.begin() + std::ptrdiff_t(at + n));
}

struct LoggedLine {
    std::string text;
    LogColour colour;
};

// Collects log lines from any thread.
class LogRecorder {
public:
    LogSink sink()
    {
        return [this](std::string_view text, LogColour colour) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back({std::string(text), colour});
        };
    }
    std::vector<LoggedLine> lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<LoggedLine> m_lines;
};

// The real POSIX layer, except that chosen operations on a chosen file fail with a chosen errno.
// Safe to share between threads (the receiver's commits run on a thread of their own).
class FailingFileIo : public FileIo {
public:
    enum class Op { Open, Seek, Write, Sync };

    void failOn(const std::string& path, Op op, int error)
    {
        std::lock_guard lock(m_mutex);
        m_failures[{path, op}] = error;
    }
    void heal()
    {
        std::lock_guard lock(m_mutex);
        m_failures.clear();
        beforeWrite = nullptr;
    }
    // Runs before every write, e.g. to let the other thread's work happen in the middle of a pass.
    std::function<void()> beforeWrite;

    IoResult openWrite(const std::string& path, OpenMode mode) override
    {
        if (const int e = failure(path, Op::Open))
            return IoResult{-1, e};
        IoResult r = FileIo::openWrite(path, mode);
        if (r.ok()) {
            std::lock_guard lock(m_mutex);
            m_paths[r.fd()] = path;
        }
        return r;
    }
    IoResult seek(int fd, std::int64_t offset) override
    {
        if (const int e = failure(pathOf(fd), Op::Seek))
            return IoResult{-1, e};
        return FileIo::seek(fd, offset);
    }
    IoResult write(int fd, const void* data, std::size_t size) override
    {
        if (const int e = failure(pathOf(fd), Op::Write))
            return IoResult{-1, e};
        if (beforeWrite)
            beforeWrite();
        return FileIo::write(fd, data, size);
    }
    // Positioned writes go through the seek and write above, so their failures apply here too.
    IoResult writeAtOffset(int fd, std::int64_t offset, const void* data, std::size_t size) override
    {
        const IoResult r = seek(fd, offset);
        return r.ok() ? write(fd, data, size) : r;
    }
    IoResult sync(int fd) override
    {
        ++syncs;
        if (const int e = failure(pathOf(fd), Op::Sync))
            return IoResult{-1, e};
        return FileIo::sync(fd);
    }
    void close(int fd) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_paths.erase(fd);
        }
        FileIo::close(fd);
    }

    std::atomic<int> syncs{0};

private:
    int failure(const std::string& path, Op op) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_failures.find({path, op});
        return it == m_failures.end() ? 0 : it->second;
    }
    std::string pathOf(int fd) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_paths.find(fd);
        return it == m_paths.end() ? std::string() : it->second;
    }
    mutable std::mutex m_mutex;
    std::map<std::pair<std::string, Op>, int> m_failures;
    std::map<int, std::string> m_paths;
};

// One event staged as the receiver stages it (its account first), ready for a commit.
inline StagedRow stageRecord(Journal& journal, AccountTable& accounts, JournalRecord record,
                             const char* extended, std::uint64_t stage)
{
    StagedRow s;
    s.stage = stage;
    const std::optional<std::size_t> account = accounts.stage(record, extended);
    s.row.journalSlot = int(journal.stage(record, extended, s.stage));
    s.row.receivedUtc = record.time_received;
    s.row.transport = "tcp";
    s.row.sourceAddress = std::string(fieldText(record.address));
    s.row.sourcePort = record.port;
    s.row.sequence = int(stage % 10000);
    s.row.token = fieldText(record.event) == "NULL" ? "NULL" : "ADM-CID";
    s.row.content =
        "[#" + std::string(fieldText(record.account)) + "|" + std::string(fieldText(record.event)) + "]";
    s.row.record = record;
    s.row.extended = extended;
    s.row.accountSlot = account ? int(*account) : -1;
    s.row.state = fieldText(record.event) == "NULL" ? ForwardState::NotReportable : ForwardState::Pending;
    return s;
}

// The stores of one data directory as the receiver builds them: the ring and account views, the
// event log, and a commit path that a test runs on its own thread.
class StoreStack {
public:
    explicit StoreStack(FileIo& io = FileIo::posix(), std::string directory = {})
        : m_path(directory.empty() ? dir.path() : std::move(directory)),
          journal({file("kalvor.dat"), file("extevn.dat")}, log.sink(), io),
          accounts(file("latevn.dat"), io, log.sink()),
          store(file("events.db"), journal, accounts, log.sink())
    {
    }
    [[nodiscard]] std::string file(const std::string& name) const { return m_path + "/" + name; }

    bool open()
    {
        journal.load();
        accounts.load();
        return store.open();
    }
    StagedRow stage(JournalRecord record, const char* extended = "")
    {
        return stageRecord(journal, accounts, record, extended, m_nextStage++);
    }
    // Stages and commits one event on this thread.
    FileFailure add(const JournalRecord& record, const char* extended = "")
    {
        std::vector<StagedRow> rows;
        rows.push_back(stage(record, extended));
        return store.commitNow(std::move(rows));
    }

    TempDir dir;
    LogRecorder log;

private:
    std::string m_path;
    std::uint64_t m_nextStage = 1;

public:
    Journal journal;
    AccountTable accounts;
    EventStore store;
};

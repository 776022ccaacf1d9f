// The event log of record: an SQLite database (events.db) in the data directory. Every event is a
// row here before its panel is acknowledged, the account table's state is written in the same
// transaction, and the forwarding thread takes pending events from here and marks them reported.
// The fixed-format files are views of it. Each thread that uses the log opens a connection of its own.
#pragma once

#include "store/AccountRecord.h"
#include "store/FileIo.h"
#include "store/JournalRecord.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// How far an event has gone towards the automation software.
enum class ForwardState : int { Pending = 0, Reported = 1, NotReportable = 2 };

// One row of the events table.
struct LoggedEvent {
    std::int64_t id = 0; // given by the log when the row is written
    std::int64_t receivedUtc = 0;
    std::string receivedLocal; // "YYYY-MM-DD HH:MM:SS" as the clock showed it at receipt; set by the log
    std::string transport; // "tcp", "udp", or "ring" for events taken over from the ring files
    std::string sourceAddress;
    int sourcePort = 0;
    int sequence = -1; // -1: not known (taken over from the ring files)
    std::string token;
    std::string content;    // the message data as received and decrypted
    JournalRecord record{}; // the decoded fields as the ring slot holds them; status aside
    std::string extended;
    int journalSlot = -1;
    int accountSlot = -1; // -1: the account had no slot
    ForwardState state = ForwardState::Pending;
    std::int64_t reportedUtc = 0;
    std::string reportedLine;
    // A digest of the cipher text as it came, for an encrypted message; empty for a plain one.
    std::string cipher;
};

// An encrypted message's cipher digest and header, for the replay memory after a restart.
struct LoggedCipher {
    std::int64_t receivedUtc = 0;
    std::string cipher;
    std::string account;
    int sequence = -1;
    std::string receiver;
    std::string line;
};

// An account slot as the log holds it.
struct LoggedAccount {
    int slot = 0;
    AccountRecord record{};
};

// An acknowledgement from the automation software for one event's line.
struct ReportMark {
    std::int64_t id = 0;
    std::int64_t reportedUtc = 0;
    std::string line;
};

// What a commit records besides its rows and accounts.
struct LogCommitNotes {
    // The ring view was cleared after the first `clearedAfterRows` rows of this commit: from the
    // next event on, the view holds events again.
    std::optional<std::size_t> clearedAfterRows;
    bool takenOver = false; // the ring and account files as they were are now in the log
};

// Which events the Event List's filter and the export take. An unset field takes every event.
struct EventFilter {
    std::string account; // this account exactly, as the log holds it (hex digits in capitals)
    // In the message data as received (account, event, group, zone, extended data), the IP address
    // shown or the source address; letters A to Z in either case.
    std::string text;
    std::optional<std::int64_t> fromUtc;   // received at or after
    std::optional<std::int64_t> beforeUtc; // received before

    [[nodiscard]] bool empty() const { return account.empty() && text.empty() && !fromUtc && !beforeUtc; }
};

// One look at the log through a filter: the newest matches.
struct HistoryPage {
    std::vector<LoggedEvent> rows; // newest first
    bool more = false;             // more events match than were asked for
    // A text was asked for, and the events the filter takes are more than the text search reads
    // (`textSearchRows`): older ones were not searched.
    bool textSearchCut = false;
    std::int64_t textSearchRows = 0;
    FileFailure failure;
};

class EventLog {
public:
    enum class Role {
        Writer,      // the commit thread: every commit is synced before it returns
        Forwarder,   // marks: a mark lost to a crash costs one more send, so they ride on the next sync
        Housekeeper, // checkpoints and deletions: what it cannot do at once waits for its next round
        Reader,      // queries only
        // Queries from another process (the command line), with or without a receiver running,
        // creating no file: beside a receiver it reads through the receiver's own WAL files, and
        // with none it reads the database file as it lies (see changedSinceOpen()).
        Visitor,
    };
    // How many of the filter's newest events a text search reads at most: a walk through the whole
    // log would take seconds, and a narrower filter (an account, dates) reaches further back. With an
    // account or dates each event read is a look-up through an index, which costs about twice as much.
    static constexpr std::int64_t kTextSearchRows = 100000;
    static constexpr std::int64_t kTextSearchRowsThroughIndex = 50000;

    // Opens (and, unless reading, creates) the log. Never throws; failed() says why it is unusable.
    EventLog(std::string path, Role role);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    [[nodiscard]] bool isOpen() const { return m_db != nullptr; }
    // The failure that left the log closed, or of the last call that failed.
    [[nodiscard]] const FileFailure& lastFailure() const { return m_failure; }
    // True when this connection made the database (an empty directory, or a file from before the log).
    [[nodiscard]] bool created() const { return m_created; }
    [[nodiscard]] const std::string& path() const { return m_path; }

    using CommitNotes = LogCommitNotes;
    // One transaction: the rows (their ids are filled in) and the account slots. Synced before it
    // returns for the writer.
    [[nodiscard]] FileFailure commit(std::span<LoggedEvent> rows, std::span<const LoggedAccount> accounts,
                                     const CommitNotes& notes = {});

    // Pending events after `afterId` in order, at most `limit`.
    [[nodiscard]] std::vector<LoggedEvent> pending(std::size_t limit, std::int64_t afterId = 0);
    [[nodiscard]] std::int64_t pendingCount();
    [[nodiscard]] FileFailure markReported(std::span<const ReportMark> marks);
    // An answer that turned out doubtful: the event is pending again.
    [[nodiscard]] FileFailure markPending(std::int64_t id);

    // The last `limit` rows (newest first) after `afterId`: what the ring view should hold.
    [[nodiscard]] std::vector<LoggedEvent> newest(std::size_t limit, std::int64_t afterId);
    // Rows received at or after `fromUtc`, oldest first (the repeats' memory after a restart).
    [[nodiscard]] std::vector<LoggedEvent> receivedSince(std::int64_t fromUtc);
    // The newest `limit` encrypted messages received since `fromUtc`, oldest first.
    [[nodiscard]] std::vector<LoggedCipher> ciphersSince(std::int64_t fromUtc, std::size_t limit);
    [[nodiscard]] std::vector<LoggedAccount> accounts();
    [[nodiscard]] std::int64_t rowCount();
    // Rows received at or after `fromUtc` (the day's events for the service's status line).
    [[nodiscard]] std::int64_t countReceivedSince(std::int64_t fromUtc);
    [[nodiscard]] std::int64_t maxId();
    // The id through which the ring view was cleared (0: never).
    [[nodiscard]] std::int64_t viewClearedThrough();
    // Whether the files of before the log have been taken over.
    [[nodiscard]] bool takenOver();

    // The newest `limit` events the filter takes, newest (by time received) first; a text is
    // looked for in the newest kTextSearchRows (or kTextSearchRowsThroughIndex, or `textSearchRows`
    // when given) of them.
    [[nodiscard]] HistoryPage find(const EventFilter& filter, std::size_t limit,
                                   std::optional<std::int64_t> textSearchRows = std::nullopt);
    // Every event the filter takes, newest first, one at a time, until `each` returns false. One
    // read transaction: what it reads is the log at one moment.
    [[nodiscard]] FileFailure forEachMatch(const EventFilter& filter,
                                           const std::function<bool(const LoggedEvent&)>& each);
    // A visitor that read the database file without the receiver's WAL files (no receiver was
    // running) says whether a receiver has since opened or changed it: what was read may then mix
    // two states of the file, and must be read again.
    [[nodiscard]] bool changedSinceOpen() const;

    // How far a checkpoint got: the frames the WAL holds and how many of them the database file
    // now has too. Once all have been copied, the next commit writes the WAL from its start again.
    struct CheckpointProgress {
        int walFrames = 0;
        int copiedFrames = 0;
    };
    // Copies what it can of the WAL into the database file without waiting for anyone.
    [[nodiscard]] FileFailure checkpoint(CheckpointProgress* progress = nullptr);
    // Deletes at most `batch` reported or unreportable rows received before `beforeUtc`; the count.
    [[nodiscard]] int deleteOlderThan(std::int64_t beforeUtc, int batch);

    // "YYYY-MM-DD HH:MM:SS" in local time, as the row keeps it beside the UTC seconds.
    [[nodiscard]] static std::string localTimeText(std::int64_t utcSeconds);
    // The first second of the local day "YYYY-MM-DD" + `laterDays`; none for anything but a real date.
    [[nodiscard]] static std::optional<std::int64_t> localDayStart(std::string_view date, int laterDays = 0);

private:
    class Statement;
    [[nodiscard]] bool prepareAll();
    [[nodiscard]] FileFailure failureOf(int rc, const char* what);
    [[nodiscard]] bool exec(const char* sql);
    [[nodiscard]] bool addCipherColumn();
    [[nodiscard]] bool begin();
    // The failure of a statement of a transaction, which is rolled back if it is still open.
    [[nodiscard]] FileFailure rolledBack(const char* what);
    [[nodiscard]] std::vector<LoggedEvent> readRows(Statement& statement);
    // Reads the statement's rows one at a time; false when a step failed.
    [[nodiscard]] bool eachRow(Statement& statement, const std::function<bool(const LoggedEvent&)>& each);
    // The statement of a filter (its values bound); `textFrom` keeps a text search to rows at or
    // after that (time, id). Null when it cannot be prepared.
    [[nodiscard]] std::unique_ptr<Statement>
    filterStatement(const EventFilter& filter, std::optional<std::pair<std::int64_t, std::int64_t>> textFrom,
                    std::optional<std::int64_t> limit);
    [[nodiscard]] static bool walksById(const EventFilter& filter);
    void close();

    std::string m_path;
    Role m_role;
    sqlite3* m_db = nullptr;
    bool m_created = false;
    FileFailure m_failure;
    // A visitor reading the database file alone: the file as it was at open, and whether its WAL
    // file was absent then.
    struct FileStamp {
        std::int64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modifiedNs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    // None when the file is not there.
    [[nodiscard]] static std::optional<FileStamp> stampOf(const std::string& path);
    [[nodiscard]] bool openVisitor();
    std::optional<FileStamp> m_readAlone;
    std::string m_lowered; // the text of the filter statement under way, bound from here
    std::unique_ptr<Statement> m_insert;
    std::unique_ptr<Statement> m_putAccount;
    std::unique_ptr<Statement> m_putMeta;
    std::unique_ptr<Statement> m_pending;
    std::unique_ptr<Statement> m_mark;
    std::unique_ptr<Statement> m_unmark;
    std::unique_ptr<Statement> m_begin;
    std::unique_ptr<Statement> m_commit;
    std::unique_ptr<Statement> m_rollback;
};

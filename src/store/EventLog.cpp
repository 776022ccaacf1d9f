// The event log over SQLite: schema, connection settings per role, and prepared statements that
// stay open for the connection's life. No SQL is ever built from received text.
#include "store/EventLog.h"

#include "config/Clock.h"
#include "store/RecordText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS events (
    id INTEGER PRIMARY KEY,
    received_utc INTEGER NOT NULL,
    received_local TEXT NOT NULL,
    transport TEXT NOT NULL,
    source_address TEXT NOT NULL,
    source_port INTEGER NOT NULL,
    receiver TEXT NOT NULL,
    line TEXT NOT NULL,
    account TEXT NOT NULL,
    sequence INTEGER,
    token TEXT NOT NULL,
    content TEXT NOT NULL,
    event TEXT NOT NULL,
    partition TEXT NOT NULL,
    zone TEXT NOT NULL,
    extended TEXT NOT NULL,
    address TEXT NOT NULL,
    journal_slot INTEGER NOT NULL,
    account_slot INTEGER,
    state INTEGER NOT NULL,
    reported_utc INTEGER,
    reported_line TEXT,
    cipher BLOB
);
CREATE INDEX IF NOT EXISTS events_pending ON events(id) WHERE state = 0;
CREATE INDEX IF NOT EXISTS events_received ON events(received_utc);
CREATE INDEX IF NOT EXISTS events_account ON events(account, received_utc);
CREATE TABLE IF NOT EXISTS accounts (
    slot INTEGER PRIMARY KEY,
    account TEXT NOT NULL,
    record BLOB NOT NULL
);
CREATE TABLE IF NOT EXISTS meta (
    key TEXT PRIMARY KEY,
    value INTEGER
) WITHOUT ROWID;
)sql";

constexpr const char* kColumns =
    "id, received_utc, transport, source_address, source_port, receiver, line, account, sequence, token, "
    "content, event, partition, zone, extended, address, journal_slot, account_slot, state, reported_utc, "
    "reported_line, received_local";

// The errno behind an SQLite failure, for the log line; a guess from the result code when the
// system gave none (a full disk, a read-only directory).
int systemErrorOf(sqlite3* db, int rc)
{
    if (db != nullptr) {
        if (const int e = sqlite3_system_errno(db); e != 0)
            return e;
    }
    switch (rc & 0xFF) {
    case SQLITE_FULL:
        return ENOSPC;
    case SQLITE_READONLY:
    case SQLITE_PERM:
        return EACCES;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return EBUSY;
    case SQLITE_NOMEM:
        return ENOMEM;
    case SQLITE_CANTOPEN:
        return ENOENT;
    default:
        return EIO;
    }
}

std::string textOf(sqlite3_stmt* s, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return text != nullptr ? std::string(text, std::size_t(sqlite3_column_bytes(s, column))) : std::string();
}

// "file:" URI of a path: every byte but the plain ones percent-encoded.
std::string fileUri(const std::string& path, const char* query)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '/' ||
            b == '.' || b == '-' || b == '_' || b == '~') {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[b >> 4];
            uri += kHex[b & 0x0F];
        }
    }
    return uri + "?" + query;
}

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Whether `text` holds `lowered` (ASCII letters in small case), letters A to Z in either case.
bool holdsText(std::string_view text, std::string_view lowered)
{
    if (lowered.size() > text.size())
        return false;
    const char first = lowered.front();
    const char firstCapital = first >= 'a' && first <= 'z' ? char(first - 'a' + 'A') : first;
    for (std::size_t i = 0; i + lowered.size() <= text.size(); ++i) {
        if (text[i] != first && text[i] != firstCapital)
            continue;
        std::size_t k = 1;
        while (k < lowered.size() && lowerAscii(text[i + k]) == lowered[k])
            ++k;
        if (k == lowered.size())
            return true;
    }
    return false;
}

// holds_text(needle, text...): whether any of the texts holds the needle (already in small letters).
// In C++ rather than LIKE: a few times faster over the many rows a search reads.
void holdsTextFunction(sqlite3_context* context, int count, sqlite3_value** values)
{
    const auto view = [](sqlite3_value* v) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
        return text != nullptr ? std::string_view(text, std::size_t(sqlite3_value_bytes(v)))
                               : std::string_view();
    };
    const std::string_view needle = view(values[0]);
    bool found = needle.empty();
    for (int i = 1; i < count && !found; ++i)
        found = holdsText(view(values[i]), needle);
    sqlite3_result_int(context, found ? 1 : 0);
}

std::string loweredText(std::string_view text)
{
    std::string lowered;
    for (const char c : text)
        lowered += lowerAscii(c);
    return lowered;
}

} // namespace

// A prepared statement, reset after every use so it never holds a read snapshot open.
class EventLog::Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        m_rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    [[nodiscard]] bool ok() const { return m_rc == SQLITE_OK && m_stmt != nullptr; }
    [[nodiscard]] sqlite3_stmt* get() const { return m_stmt; }
    void text(int i, std::string_view v)
    {
        sqlite3_bind_text(m_stmt, i, v.data(), int(v.size()), SQLITE_STATIC);
    }
    void integer(int i, std::int64_t v) { sqlite3_bind_int64(m_stmt, i, v); }
    void null(int i) { sqlite3_bind_null(m_stmt, i); }
    void blob(int i, const void* data, int size) { sqlite3_bind_blob(m_stmt, i, data, size, SQLITE_STATIC); }
    [[nodiscard]] int step() { return sqlite3_step(m_stmt); }
    void reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_ERROR;
};

std::optional<EventLog::FileStamp> EventLog::stampOf(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileStamp{std::int64_t(st.st_ino), std::int64_t(st.st_size),
                     std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// A read-only connection to a WAL database creates its -wal and -shm files when they are missing,
// and leaves them behind: files of the visitor's user (root's, say) that the receiver's user could
// then not open, in a directory that may not even be writable. So a visitor uses the receiver's
// files when they are there, and otherwise reads the database file as immutable: with no WAL file
// no connection has the log open, and changedSinceOpen() tells whether one opened it meanwhile.
bool EventLog::openVisitor()
{
    const std::optional<FileStamp> database = stampOf(m_path);
    if (!database) {
        m_failure = FileFailure::of("File open error. ", m_path, ENOENT);
        return false;
    }
    const bool wal = stampOf(m_path + "-wal").has_value();
    const bool index = stampOf(m_path + "-shm").has_value();
    if (wal && !index) {
        // Read alone, the file would lack what the WAL holds; opened, the index would be created.
        m_failure = FileFailure::of("File open error. ", m_path + "-shm", ENOENT);
        m_failure.detail =
            "the WAL file is there without its index; start the receiver on the directory once";
        return false;
    }
    if (!wal)
        m_readAlone = database;
    const std::string uri = fileUri(m_path, wal ? "mode=ro" : "immutable=1");
    const int rc = sqlite3_open_v2(
        uri.c_str(), &m_db,
        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        m_failure = failureOf(rc, "File open error. ");
        return false;
    }
    return true;
}

EventLog::EventLog(std::string path, Role role) : m_path(std::move(path)), m_role(role)
{
    if (role == Role::Visitor) {
        if (!openVisitor()) {
            close();
            return;
        }
    } else {
        int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
        flags |= role == Role::Reader ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        const int rc = sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr);
        if (rc != SQLITE_OK) {
            m_failure = failureOf(rc, "File open error. ");
            close();
            return;
        }
    }
    sqlite3_extended_result_codes(m_db, 1);
    (void)sqlite3_create_function_v2(m_db, "holds_text", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                     holdsTextFunction, nullptr, nullptr, nullptr);
    // The writer waits this long for a mark or a deletion in progress; the others for the writer.
    sqlite3_busy_timeout(m_db, role == Role::Housekeeper ? 100 : 5000);
    if (role != Role::Reader && role != Role::Visitor) {
        // WAL: one append and one sync per commit, and readers never block the writer. Checkpoints
        // are made by the housekeeping, never by a commit that panels wait for.
        const bool ok =
            exec("PRAGMA journal_mode=WAL") &&
            exec(role == Role::Writer ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL") &&
            exec("PRAGMA wal_autocheckpoint=0") && exec("PRAGMA journal_size_limit=67108864") &&
            exec("PRAGMA temp_store=MEMORY") && exec(kSchema) && addCipherColumn();
        if (!ok) {
            m_failure = failureOf(sqlite3_errcode(m_db), "File open error. ");
            close();
            return;
        }
        Statement marker(m_db, "INSERT OR IGNORE INTO meta(key, value) VALUES('schema', 1)");
        if (!marker.ok() || marker.step() != SQLITE_DONE) {
            m_failure = failureOf(sqlite3_errcode(m_db), "File open error. ");
            close();
            return;
        }
        m_created = sqlite3_changes(m_db) > 0;
    }
    if (!prepareAll()) {
        m_failure = failureOf(sqlite3_errcode(m_db), "File open error. ");
        close();
    }
}

EventLog::~EventLog()
{
    close();
}

void EventLog::close()
{
    m_insert.reset();
    m_putAccount.reset();
    m_putMeta.reset();
    m_pending.reset();
    m_mark.reset();
    m_unmark.reset();
    m_begin.reset();
    m_commit.reset();
    m_rollback.reset();
    if (m_db != nullptr)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool EventLog::begin()
{
    const int rc = m_begin->step();
    m_begin->reset();
    return rc == SQLITE_DONE;
}

FileFailure EventLog::rolledBack(const char* what)
{
    FileFailure f = failureOf(sqlite3_errcode(m_db), what);
    // A failed statement may leave the transaction open; it must not carry into the next commit.
    if (!sqlite3_get_autocommit(m_db)) {
        (void)m_rollback->step();
        m_rollback->reset();
    }
    return f;
}

// A log made before the cipher digests were kept gets their column; its old rows have none.
bool EventLog::addCipherColumn()
{
    Statement probe(m_db, "SELECT cipher FROM events LIMIT 0");
    return probe.ok() || exec("ALTER TABLE events ADD COLUMN cipher BLOB");
}

bool EventLog::exec(const char* sql)
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool EventLog::prepareAll()
{
    const auto make = [this](std::unique_ptr<Statement>& into, const char* sql) {
        into = std::make_unique<Statement>(m_db, sql);
        return into->ok();
    };
    const std::string pendingSql =
        std::string("SELECT ") + kColumns + " FROM events WHERE state = 0 AND id > ?2 ORDER BY id LIMIT ?1";
    if (!make(m_pending, pendingSql.c_str()))
        return false;
    if (m_role == Role::Reader || m_role == Role::Visitor)
        return true;
    return make(m_insert,
                "INSERT INTO events(received_utc, received_local, transport, source_address, source_port, "
                "receiver, line, account, sequence, token, content, event, partition, zone, extended, "
                "address, journal_slot, account_slot, state, reported_utc, reported_line, cipher) VALUES "
                "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, "
                "?21, ?22)") &&
           make(m_putAccount, "INSERT OR REPLACE INTO accounts(slot, account, record) VALUES(?1, ?2, ?3)") &&
           make(m_putMeta, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)") &&
           make(m_mark, "UPDATE events SET state = 1, reported_utc = ?2, reported_line = ?3 "
                        "WHERE id = ?1 AND state = 0") &&
           make(m_unmark, "UPDATE events SET state = 0, reported_utc = NULL, reported_line = NULL "
                          "WHERE id = ?1 AND state = 1") &&
           make(m_begin, "BEGIN IMMEDIATE") && make(m_commit, "COMMIT") && make(m_rollback, "ROLLBACK");
}

FileFailure EventLog::failureOf(int rc, const char* what)
{
    FileFailure f;
    f.what = what;
    f.path = m_path;
    f.error = systemErrorOf(m_db, rc);
    f.detail = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    m_failure = f;
    return f;
}

std::string EventLog::localTimeText(std::int64_t utcSeconds)
{
    const std::tm tm = localTimeOf(std::time_t(utcSeconds));
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(text, n);
}

std::optional<std::int64_t> EventLog::localDayStart(std::string_view date, int laterDays)
{
    if (date.size() != 10 || date[4] != '-' || date[7] != '-')
        return std::nullopt;
    int parts[3] = {0, 0, 0};
    const std::size_t from[3] = {0, 5, 8};
    const std::size_t length[3] = {4, 2, 2};
    for (int p = 0; p < 3; ++p) {
        for (std::size_t i = from[p]; i < from[p] + length[p]; ++i) {
            if (date[i] < '0' || date[i] > '9')
                return std::nullopt;
            parts[p] = parts[p] * 10 + (date[i] - '0');
        }
    }
    if (parts[0] < 1970 || parts[1] < 1 || parts[1] > 12 || parts[2] < 1)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = parts[0] - 1900;
    tm.tm_mon = parts[1] - 1;
    tm.tm_mday = parts[2];
    tm.tm_isdst = -1;
    std::tm checked = tm;
    // mktime moves the 31st of a 30-day month on: such a day is no date.
    if (std::mktime(&checked) == std::time_t(-1) || checked.tm_mday != parts[2] ||
        checked.tm_mon != parts[1] - 1)
        return std::nullopt;
    tm.tm_mday += laterDays;
    const std::time_t start = std::mktime(&tm);
    if (start == std::time_t(-1))
        return std::nullopt;
    return std::int64_t(start);
}

FileFailure EventLog::commit(std::span<LoggedEvent> rows, std::span<const LoggedAccount> accounts,
                             const CommitNotes& notes)
{
    if (!isOpen())
        return m_failure.ok() ? FileFailure::of("File open error. ", m_path, EIO) : m_failure;
    const auto fail = [this](const char* what) { return rolledBack(what); };
    if (!begin())
        return fail("Disk write error. ");
    const auto putMeta = [&](const char* key, std::int64_t value) {
        Statement& s = *m_putMeta;
        s.text(1, key);
        s.integer(2, value);
        const int rc = s.step();
        s.reset();
        return rc == SQLITE_DONE;
    };
    std::int64_t lastId = 0;
    if (notes.clearedAfterRows && *notes.clearedAfterRows == 0) {
        lastId = maxId();
        if (!putMeta("view_cleared_through", lastId))
            return fail("Disk write error. ");
    }
    std::size_t written = 0;
    for (LoggedEvent& row : rows) {
        Statement& s = *m_insert;
        const JournalRecord& r = row.record;
        const std::string local = localTimeText(row.receivedUtc);
        s.integer(1, row.receivedUtc);
        s.text(2, local);
        s.text(3, row.transport);
        s.text(4, row.sourceAddress);
        s.integer(5, row.sourcePort);
        s.text(6, fieldText(r.receiver));
        s.text(7, fieldText(r.line));
        s.text(8, fieldText(r.account));
        if (row.sequence >= 0)
            s.integer(9, row.sequence);
        else
            s.null(9);
        s.text(10, row.token);
        s.text(11, row.content);
        s.text(12, fieldText(r.event));
        s.text(13, fieldText(r.partition));
        s.text(14, fieldText(r.zone));
        s.text(15, row.extended);
        s.text(16, fieldText(r.address));
        s.integer(17, row.journalSlot);
        if (row.accountSlot >= 0)
            s.integer(18, row.accountSlot);
        else
            s.null(18);
        s.integer(19, int(row.state));
        if (row.state == ForwardState::Reported) {
            s.integer(20, row.reportedUtc);
            s.text(21, row.reportedLine);
        } else {
            s.null(20);
            s.null(21);
        }
        if (row.cipher.empty())
            s.null(22);
        else
            s.blob(22, row.cipher.data(), int(row.cipher.size()));
        const int rc = s.step();
        s.reset();
        if (rc != SQLITE_DONE)
            return fail("Disk write error. ");
        row.id = sqlite3_last_insert_rowid(m_db);
        if (notes.clearedAfterRows && *notes.clearedAfterRows == ++written &&
            !putMeta("view_cleared_through", row.id))
            return fail("Disk write error. ");
    }
    for (const LoggedAccount& a : accounts) {
        Statement& s = *m_putAccount;
        s.integer(1, a.slot);
        s.text(2, fieldText(a.record.account));
        s.blob(3, &a.record, int(sizeof a.record));
        const int rc = s.step();
        s.reset();
        if (rc != SQLITE_DONE)
            return fail("Disk write error. ");
    }
    if (notes.takenOver && !putMeta("taken_over", 1))
        return fail("Disk write error. ");
    const int committed = m_commit->step();
    m_commit->reset();
    if (committed != SQLITE_DONE)
        return fail("Disk write error. ");
    return {};
}

std::vector<LoggedEvent> EventLog::readRows(Statement& statement)
{
    std::vector<LoggedEvent> out;
    (void)eachRow(statement, [&out](const LoggedEvent& e) {
        out.push_back(e);
        return true;
    });
    return out;
}

bool EventLog::eachRow(Statement& statement, const std::function<bool(const LoggedEvent&)>& each)
{
    sqlite3_stmt* s = statement.get();
    LoggedEvent e;
    bool ok = true;
    for (;;) {
        const int rc = statement.step();
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE) {
                (void)failureOf(rc, "Disk read error. ");
                ok = false;
            }
            break;
        }
        e.id = sqlite3_column_int64(s, 0);
        e.receivedUtc = sqlite3_column_int64(s, 1);
        e.transport = textOf(s, 2);
        e.sourceAddress = textOf(s, 3);
        e.sourcePort = sqlite3_column_int(s, 4);
        JournalRecord& r = e.record;
        r = JournalRecord{};
        r.status = journal::kStored;
        setFieldText(r.receiver, textOf(s, 5));
        setFieldText(r.line, textOf(s, 6));
        setFieldText(r.account, textOf(s, 7));
        e.sequence = sqlite3_column_type(s, 8) == SQLITE_NULL ? -1 : sqlite3_column_int(s, 8);
        e.token = textOf(s, 9);
        e.content = textOf(s, 10);
        setFieldText(r.event, textOf(s, 11));
        setFieldText(r.partition, textOf(s, 12));
        setFieldText(r.zone, textOf(s, 13));
        e.extended = textOf(s, 14);
        setFieldText(r.address, textOf(s, 15));
        r.time_received = std::int32_t(e.receivedUtc);
        r.port = e.sourcePort;
        e.journalSlot = sqlite3_column_int(s, 16);
        e.accountSlot = sqlite3_column_type(s, 17) == SQLITE_NULL ? -1 : sqlite3_column_int(s, 17);
        const int state = sqlite3_column_int(s, 18);
        e.state = state == 1   ? ForwardState::Reported
                  : state == 2 ? ForwardState::NotReportable
                               : ForwardState::Pending;
        e.reportedUtc = sqlite3_column_int64(s, 19);
        e.reportedLine = textOf(s, 20);
        e.receivedLocal = textOf(s, 21);
        if (!each(e))
            break;
    }
    statement.reset();
    return ok;
}

std::vector<LoggedEvent> EventLog::pending(std::size_t limit, std::int64_t afterId)
{
    if (!isOpen())
        return {};
    m_pending->integer(1, std::int64_t(limit));
    m_pending->integer(2, afterId);
    return readRows(*m_pending);
}

std::int64_t EventLog::pendingCount()
{
    if (!isOpen())
        return 0;
    Statement s(m_db, "SELECT count(*) FROM events WHERE state = 0");
    std::int64_t n = 0;
    if (s.ok() && s.step() == SQLITE_ROW)
        n = sqlite3_column_int64(s.get(), 0);
    return n;
}

std::int64_t EventLog::countReceivedSince(std::int64_t fromUtc)
{
    if (!isOpen())
        return 0;
    Statement s(m_db, "SELECT count(*) FROM events WHERE received_utc >= ?1");
    std::int64_t n = 0;
    if (!s.ok())
        return 0;
    s.integer(1, fromUtc);
    if (s.step() == SQLITE_ROW)
        n = sqlite3_column_int64(s.get(), 0);
    return n;
}

FileFailure EventLog::markReported(std::span<const ReportMark> marks)
{
    if (!isOpen())
        return m_failure.ok() ? FileFailure::of("File open error. ", m_path, EIO) : m_failure;
    if (marks.empty())
        return {};
    const auto fail = [this] { return rolledBack("Disk write error. "); };
    if (!begin())
        return fail();
    for (const ReportMark& m : marks) {
        m_mark->integer(1, m.id);
        m_mark->integer(2, m.reportedUtc);
        m_mark->text(3, m.line);
        const int rc = m_mark->step();
        m_mark->reset();
        if (rc != SQLITE_DONE)
            return fail();
    }
    const int committed = m_commit->step();
    m_commit->reset();
    if (committed != SQLITE_DONE)
        return fail();
    return {};
}

FileFailure EventLog::markPending(std::int64_t id)
{
    if (!isOpen())
        return m_failure.ok() ? FileFailure::of("File open error. ", m_path, EIO) : m_failure;
    m_unmark->integer(1, id);
    const int rc = m_unmark->step();
    m_unmark->reset();
    if (rc != SQLITE_DONE)
        return failureOf(rc, "Disk write error. ");
    return {};
}

std::vector<LoggedEvent> EventLog::newest(std::size_t limit, std::int64_t afterId)
{
    if (!isOpen())
        return {};
    const std::string sql =
        std::string("SELECT ") + kColumns + " FROM events WHERE id > ?1 ORDER BY id DESC LIMIT ?2";
    Statement s(m_db, sql.c_str());
    if (!s.ok())
        return {};
    s.integer(1, afterId);
    s.integer(2, std::int64_t(limit));
    return readRows(s);
}

std::vector<LoggedEvent> EventLog::receivedSince(std::int64_t fromUtc)
{
    if (!isOpen())
        return {};
    const std::string sql =
        std::string("SELECT ") + kColumns + " FROM events WHERE received_utc >= ?1 ORDER BY id";
    Statement s(m_db, sql.c_str());
    if (!s.ok())
        return {};
    s.integer(1, fromUtc);
    return readRows(s);
}

std::vector<LoggedCipher> EventLog::ciphersSince(std::int64_t fromUtc, std::size_t limit)
{
    std::vector<LoggedCipher> out;
    if (!isOpen())
        return out;
    Statement s(m_db, "SELECT received_utc, cipher, account, sequence, receiver, line FROM events "
                      "WHERE received_utc >= ?1 AND cipher IS NOT NULL ORDER BY id DESC LIMIT ?2");
    if (!s.ok())
        return out;
    s.integer(1, fromUtc);
    s.integer(2, std::int64_t(limit));
    sqlite3_stmt* st = s.get();
    int rc = SQLITE_ROW;
    while ((rc = s.step()) == SQLITE_ROW) {
        LoggedCipher& c = out.emplace_back();
        c.receivedUtc = sqlite3_column_int64(st, 0);
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(st, 1));
        c.cipher.assign(bytes != nullptr ? bytes : "", std::size_t(sqlite3_column_bytes(st, 1)));
        c.account = textOf(st, 2);
        c.sequence = sqlite3_column_type(st, 3) == SQLITE_NULL ? -1 : sqlite3_column_int(st, 3);
        c.receiver = textOf(st, 4);
        c.line = textOf(st, 5);
    }
    if (rc != SQLITE_DONE)
        (void)failureOf(rc, "Disk read error. ");
    std::reverse(out.begin(), out.end()); // oldest first, as they came
    return out;
}

std::vector<LoggedAccount> EventLog::accounts()
{
    std::vector<LoggedAccount> out;
    if (!isOpen())
        return out;
    Statement s(m_db, "SELECT slot, record FROM accounts ORDER BY slot");
    if (!s.ok())
        return out;
    while (s.step() == SQLITE_ROW) {
        const int slot = sqlite3_column_int(s.get(), 0);
        const void* blob = sqlite3_column_blob(s.get(), 1);
        // A row that is not one whole record (a damaged file) is left out rather than half read.
        if (slot < 0 || std::size_t(slot) >= accounts::kSlots || blob == nullptr ||
            sqlite3_column_bytes(s.get(), 1) != int(sizeof(AccountRecord)))
            continue;
        LoggedAccount& a = out.emplace_back();
        a.slot = slot;
        std::memcpy(&a.record, blob, sizeof a.record);
    }
    return out;
}

std::int64_t EventLog::rowCount()
{
    if (!isOpen())
        return 0;
    Statement s(m_db, "SELECT count(*) FROM events");
    return s.ok() && s.step() == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
}

std::int64_t EventLog::maxId()
{
    if (!isOpen())
        return 0;
    Statement s(m_db, "SELECT coalesce(max(id), 0) FROM events");
    return s.ok() && s.step() == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
}

std::int64_t EventLog::viewClearedThrough()
{
    if (!isOpen())
        return 0;
    Statement s(m_db, "SELECT value FROM meta WHERE key = 'view_cleared_through'");
    return s.ok() && s.step() == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
}

bool EventLog::takenOver()
{
    if (!isOpen())
        return false;
    Statement s(m_db, "SELECT value FROM meta WHERE key = 'taken_over'");
    return s.ok() && s.step() == SQLITE_ROW && sqlite3_column_int64(s.get(), 0) != 0;
}

FileFailure EventLog::checkpoint(CheckpointProgress* progress)
{
    if (!isOpen())
        return m_failure;
    int walFrames = 0;
    int copiedFrames = 0;
    const int rc =
        sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &walFrames, &copiedFrames);
    if (progress != nullptr)
        *progress = CheckpointProgress{std::max(walFrames, 0), std::max(copiedFrames, 0)};
    if (rc != SQLITE_OK && rc != SQLITE_BUSY)
        return failureOf(rc, "Disk write error. ");
    return {};
}

int EventLog::deleteOlderThan(std::int64_t beforeUtc, int batch)
{
    if (!isOpen() || batch <= 0)
        return 0;
    // Never a pending event, however old: it has not reached the automation software yet.
    Statement s(m_db, "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE received_utc < ?1 "
                      "AND state != 0 ORDER BY id LIMIT ?2)");
    if (!s.ok())
        return 0;
    s.integer(1, beforeUtc);
    s.integer(2, batch);
    if (s.step() != SQLITE_DONE)
        return 0;
    return sqlite3_changes(m_db);
}

bool EventLog::walksById(const EventFilter& filter)
{
    return filter.account.empty() && !filter.fromUtc && !filter.beforeUtc;
}

std::unique_ptr<EventLog::Statement>
EventLog::filterStatement(const EventFilter& filter,
                          std::optional<std::pair<std::int64_t, std::int64_t>> textFrom,
                          std::optional<std::int64_t> limit)
{
    // Fixed pieces only; every value is bound. The order is that of the index the filter walks, so
    // that a limit ends the walk early: the time received (through the account's index or the time's),
    // or, with neither an account nor dates, the rows themselves, newest first.
    const bool byId = walksById(filter);
    std::string sql = std::string("SELECT ") + kColumns + " FROM events WHERE 1";
    if (!filter.account.empty())
        sql += " AND account = ?1";
    // The text search's bound lies inside the dates, and as the walk's first bound it ends the walk.
    if (textFrom && !byId)
        sql += " AND received_utc >= ?4 AND (received_utc > ?4 OR id >= ?5)";
    else if (filter.fromUtc)
        sql += " AND received_utc >= ?2";
    if (textFrom && byId)
        sql += " AND id >= ?5";
    if (filter.beforeUtc)
        sql += " AND received_utc < ?3";
    if (!filter.text.empty())
        sql += " AND holds_text(?6, content, address, source_address)";
    sql += byId ? " ORDER BY id DESC" : " ORDER BY received_utc DESC, id DESC";
    if (limit)
        sql += " LIMIT ?7";
    auto s = std::make_unique<Statement>(m_db, sql.c_str());
    if (!s->ok()) {
        (void)failureOf(sqlite3_errcode(m_db), "Disk read error. ");
        return nullptr;
    }
    if (!filter.account.empty())
        s->text(1, filter.account);
    if (filter.fromUtc && !(textFrom && !byId))
        s->integer(2, *filter.fromUtc);
    if (filter.beforeUtc)
        s->integer(3, *filter.beforeUtc);
    if (textFrom) {
        if (!byId)
            s->integer(4, textFrom->first);
        s->integer(5, textFrom->second);
    }
    if (!filter.text.empty())
        s->text(6, m_lowered = loweredText(filter.text));
    if (limit)
        s->integer(7, *limit);
    return s;
}

HistoryPage EventLog::find(const EventFilter& filter, std::size_t limit,
                           std::optional<std::int64_t> textSearchRows)
{
    HistoryPage page;
    if (!isOpen()) {
        page.failure = m_failure.ok() ? FileFailure::of("File open error. ", m_path, EIO) : m_failure;
        return page;
    }
    // Both statements in one read transaction, so the bound and the rows agree.
    if (!exec("BEGIN")) {
        page.failure = failureOf(sqlite3_errcode(m_db), "Disk read error. ");
        return page;
    }
    std::optional<std::pair<std::int64_t, std::int64_t>> textFrom;
    page.textSearchRows =
        textSearchRows.value_or(walksById(filter) ? kTextSearchRows : kTextSearchRowsThroughIndex);
    if (!filter.text.empty() && page.textSearchRows > 0) {
        // The oldest of the newest `textSearchRows` events the rest of the filter takes, read from
        // an index alone; the one after it, if any, is the first the search does not reach.
        std::string sql = "SELECT received_utc, id FROM events WHERE 1";
        if (!filter.account.empty())
            sql += " AND account = ?1";
        if (filter.fromUtc)
            sql += " AND received_utc >= ?2";
        if (filter.beforeUtc)
            sql += " AND received_utc < ?3";
        sql += walksById(filter) ? " ORDER BY id DESC" : " ORDER BY received_utc DESC, id DESC";
        sql += " LIMIT 2 OFFSET ?4";
        Statement bound(m_db, sql.c_str());
        if (bound.ok()) {
            if (!filter.account.empty())
                bound.text(1, filter.account);
            if (filter.fromUtc)
                bound.integer(2, *filter.fromUtc);
            if (filter.beforeUtc)
                bound.integer(3, *filter.beforeUtc);
            bound.integer(4, page.textSearchRows - 1);
            if (bound.step() == SQLITE_ROW) {
                textFrom = {sqlite3_column_int64(bound.get(), 0), sqlite3_column_int64(bound.get(), 1)};
                page.textSearchCut = bound.step() == SQLITE_ROW;
            }
        }
        bound.reset();
    }
    const std::unique_ptr<Statement> s = filterStatement(filter, textFrom, std::int64_t(limit) + 1);
    if (s == nullptr) {
        page.failure = m_failure;
    } else {
        const bool ok = eachRow(*s, [&](const LoggedEvent& e) {
            if (page.rows.size() == limit) {
                page.more = true;
                return false;
            }
            page.rows.push_back(e);
            return true;
        });
        if (!ok)
            page.failure = m_failure;
    }
    (void)exec("COMMIT");
    return page;
}

FileFailure EventLog::forEachMatch(const EventFilter& filter,
                                   const std::function<bool(const LoggedEvent&)>& each)
{
    if (!isOpen())
        return m_failure.ok() ? FileFailure::of("File open error. ", m_path, EIO) : m_failure;
    const std::unique_ptr<Statement> s = filterStatement(filter, std::nullopt, std::nullopt);
    if (s == nullptr || !eachRow(*s, each))
        return m_failure;
    return {};
}

bool EventLog::changedSinceOpen() const
{
    if (!m_readAlone)
        return false;
    return stampOf(m_path + "-wal").has_value() || stampOf(m_path) != m_readAlone;
}

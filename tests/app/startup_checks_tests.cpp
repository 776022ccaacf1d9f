// What the receiver checks at start and about accounts, and the data directory's lock file: an older
// kalvor.cfg keeps its behaviour (every shared frame answered as before) and is told its risks; a
// wide directory and settings file are tightened; unknown and slot-less accounts are logged once an
// hour; nobody but the receiver's user can hold the lock; files that cannot be written are found
// before any port opens.
#include "../dc09/Dc09TestSupport.h"
#include "app/AccountWatch.h"
#include "app/DataDirectoryLock.h"
#include "app/StartupChecks.h"
#include "config/CoreDumps.h"
#include "store/AccountTable.h"

#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Line {
    std::string text;
    LogColour colour;
};

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class StartupChecks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        paths = DataPaths::inDirectory(dir.path().toStdString());
    }
    LogSink sink()
    {
        return [this](std::string_view text, LogColour colour) {
            lines.push_back({std::string(text), colour});
        };
    }
    std::size_t count(const std::string& part, LogColour colour) const
    {
        std::size_t n = 0;
        for (const Line& l : lines)
            n += l.colour == colour && l.text.find(part) != std::string::npos;
        return n;
    }

    QTemporaryDir dir;
    DataPaths paths;
    std::vector<Line> lines;
};

TEST_F(StartupChecks, AnOlderSettingsFileKeepsItsBehaviourAndHearsOfItsRisks)
{
    // As an older version left it: no safeguards marked, any automation host, encryption without the
    // time window, a file and directory open to everybody, and a link planted for the account table.
    Config_Record older = dc09test::configWith(1);
    older.Setup_Flags = 0;
    std::memset(older.Mon_Allowed_Addresses, 0, sizeof older.Mon_Allowed_Addresses);
    {
        std::ofstream out(paths.config, std::ios::binary);
        out.write(reinterpret_cast<const char*>(&older), sizeof older);
    }
    ASSERT_EQ(::chmod(paths.config.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(paths.dir.c_str(), 0777), 0);
    const std::string elsewhere = paths.dir + "elsewhere";
    ASSERT_EQ(::symlink(elsewhere.c_str(), paths.accounts.c_str()), 0);

    Config_Record loaded{};
    ASSERT_TRUE(loadConfig(paths.config, loaded).ok());
    runStartupChecks(paths, loaded, sink());
    EXPECT_EQ(std::memcmp(&loaded, &older, sizeof older), 0);
    EXPECT_FALSE(Check_Settings_Changed(paths.config, older));

    EXPECT_EQ(modeOf(paths.dir), 0750u);
    EXPECT_EQ(modeOf(paths.config), 0600u);
    EXPECT_EQ(count(" was open to other users (mode 0777); it is now 0750.", LogColour::Black), 1u);
    EXPECT_EQ(count(" was open to other users (mode 0644); it is now 0600.", LogColour::Black), 1u);
    EXPECT_EQ(count(paths.accounts + " is a symbolic link", LogColour::Red), 1u);
    EXPECT_EQ(count("Encryption is on and Time_Synch", LogColour::Red), 1u);
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_FALSE(processDumpable()); // a key is loaded
    AccountTable accounts(paths.accounts);
    accounts.load();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(elsewhere)));

    // Every shared frame gets the answer it got before, through the receiver's account check.
    dc09test::useUtc();
    std::string error;
    const auto frames = dc09test::loadVectors(error);
    ASSERT_TRUE(error.empty()) << error;
    const ManualClock clock;
    AccountWatch watch(loaded, accounts, clock, sink());
    const AccountAdmission admitted = [&watch](std::string_view a) { return watch.admitted(a); };
    for (std::size_t i = 0; i < frames.size(); ++i) {
        Config_Record config = loaded;
        if (!frames[i].key.empty()) {
            std::fill(std::begin(config.DC9_AES_Key), std::end(config.DC9_AES_Key), 0);
            std::copy(frames[i].key.begin(), frames[i].key.end(), config.DC9_AES_Key);
        }
        for (const std::uint8_t mode : {std::uint8_t(0), std::uint8_t(frames[i].key.size() / 8 - 1)}) {
            config.DC9_AES_Mode = frames[i].key.empty() ? 0 : mode;
            const auto random = [] { return 7u; };
            const std::string& f = frames[i].frame;
            const DC9_Judgement before = Judge_DC9_Frame(f.data(), f.size(), 1735732800, config, random);
            const DC9_Judgement now =
                Judge_DC9_Frame(f.data(), f.size(), 1735732800, config, random, nullptr, admitted);
            EXPECT_EQ(now.response, before.response) << "frame " << i;
        }
    }
    EXPECT_EQ(lines.size(), 4u);
}

TEST_F(StartupChecks, AccountsTheObjectListDoesNotLetInAreLoggedOnceAnHour)
{
    Config_Record config = dc09test::configWith(0);
    config.DC9_Known_Accounts_Only = 1;
    AccountTable accounts(paths.accounts);
    accounts.load();
    JournalRecord known{};
    std::memcpy(known.account, "1234", 4);
    ASSERT_TRUE(accounts.stage(known, ""));
    ManualClock clock;
    AccountWatch watch(config, accounts, clock, sink());
    accounts.onNoSlot = [&watch](std::string_view a) { watch.noSlot(a); };

    const std::string frame = "\nE4FA0029\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]\r";
    const std::string stranger = "\nA0900029\"ADM-CID\"0002R1L1#5678[#5678|1130 01 015]\r";
    const AccountAdmission admitted = [&watch](std::string_view a) { return watch.admitted(a); };
    struct Row {
        const std::string& frame;
        std::int64_t advanceMs;
        const char* token;
        std::size_t unknownLines;
    };
    const Row rows[] = {{frame, 0, "\"ACK\"", 0},
                        {stranger, 0, "\"DUH\"", 1},
                        {stranger, AccountWatch::kLogIntervalMs - 1, "\"DUH\"", 1},
                        {stranger, 1, "\"DUH\"", 2}};
    for (const Row& row : rows) {
        clock.advance(row.advanceMs);
        const DC9_Judgement j =
            Judge_DC9_Frame(row.frame.data(), row.frame.size(), 0, config, {}, nullptr, admitted);
        ASSERT_EQ(j.result, Parse_Result::Accepted_Plain) << "the sample frames are sound";
        EXPECT_EQ(j.response.substr(9, std::strlen(row.token)), row.token);
        EXPECT_EQ(count("Account 5678 is not in the Object List", LogColour::Red), row.unknownLines);
    }

    // A full table: every new account is said once an hour, and still gets no slot.
    for (int n = 1; n < int(accounts::kSlots); ++n) {
        JournalRecord filler{};
        std::snprintf(filler.account, sizeof filler.account, "F%04X", n);
        ASSERT_TRUE(accounts.stage(filler, "")) << n;
    }
    JournalRecord late{};
    std::memcpy(late.account, "ABCD", 4);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(accounts.stage(late, ""));
    EXPECT_EQ(count("Account ABCD found no free slot", LogColour::Red), 1u);
    clock.advance(AccountWatch::kLogIntervalMs);
    EXPECT_FALSE(accounts.stage(late, ""));
    EXPECT_EQ(count("Account ABCD found no free slot", LogColour::Red), 2u);
}

TEST_F(StartupChecks, OnlyTheReceiversUserCanHoldTheDataDirectoryLock)
{
    ::umask(022);
    DataDirectoryLock first;
    ASSERT_EQ(first.acquire(paths.dir, std::chrono::milliseconds(0)), DataDirectoryLock::State::Acquired);
    EXPECT_EQ(modeOf(first.path()), 0600u);
    DataDirectoryLock second;
    EXPECT_EQ(second.acquire(paths.dir, std::chrono::milliseconds(50)), DataDirectoryLock::State::InUse);

    // No lock file taken through a link or from something that is no plain file.
    QTemporaryDir other;
    const std::string otherDir = other.path().toStdString() + "/";
    ASSERT_EQ(::symlink((otherDir + "target").c_str(), (otherDir + DataDirectoryLock::kFileName).c_str()), 0);
    DataDirectoryLock linked;
    EXPECT_EQ(linked.acquire(otherDir, std::chrono::milliseconds(0)), DataDirectoryLock::State::NotOwnLock);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(otherDir + "target")));

    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's view needs root to become that user";
    // Another user, even one who may read the directory, cannot open the file, let alone lock it; in a
    // directory it may not write, without a lock file, it runs unguarded as before (and says so).
    ASSERT_EQ(::chmod(paths.dir.c_str(), 0755), 0);
    QTemporaryDir bare;
    ASSERT_EQ(::chmod(bare.path().toLocal8Bit().constData(), 0755), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        DataDirectoryLock stranger;
        DataDirectoryLock readOnly;
        ::_exit(int(stranger.acquire(paths.dir, std::chrono::milliseconds(0))) * 10 +
                int(readOnly.acquire(bare.path().toStdString(), std::chrono::milliseconds(0))));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status),
              int(DataDirectoryLock::State::NotOwnLock) * 10 + int(DataDirectoryLock::State::Unavailable));
}

// One call fails, as on a disk that went read-only or bad: opening a file of that name (as a link
// is refused), the first sync (the check's own file's), or the directory's sync.
class FailingFiles final : public FileIo {
public:
    enum class Call { None, Open, Link, Sync, SyncDirectory };
    Call failing = Call::None;
    std::string name;

    IoResult openWrite(const std::string& path, OpenMode mode) override
    {
        if ((failing == Call::Open || failing == Call::Link) && path.ends_with("/" + name))
            return {-1, failing == Call::Link ? ELOOP : EROFS};
        return FileIo::openWrite(path, mode);
    }
    IoResult sync(int fd) override { return failing == Call::Sync ? IoResult{-1, EIO} : FileIo::sync(fd); }
    IoResult syncDirectoryOf(const std::string& path) override
    {
        return failing == Call::SyncDirectory ? IoResult{-1, EIO} : FileIo::syncDirectoryOf(path);
    }
};

TEST_F(StartupChecks, TheStorageCheckNamesTheFirstFileThatCannotBeWrittenAndChangesNothing)
{
    using Call = FailingFiles::Call;
    for (const std::string* file : {&paths.journal, &paths.extended, &paths.eventLog})
        std::ofstream(*file, std::ios::binary) << "kept";
    struct Row {
        Call call;
        const char* name;
        const char* what; // nullptr: no failure
        int error;
    };
    const Row rows[] = {{Call::None, "", nullptr, 0},
                        {Call::Open, "ardentel.check", "File open error. ", EROFS},
                        {Call::Sync, "ardentel.check", "Disk write error. ", EIO},
                        {Call::SyncDirectory, "ardentel.check", "Disk write error. ", EIO},
                        {Call::Open, "kalvor.dat", "File open error. ", EROFS},
                        {Call::Open, "latevn.dat", nullptr, 0}, // not there: made when needed
                        {Call::Link, "extevn.dat", nullptr, 0},  // refused and said at start
                        {Call::Link, "events.db", "File open error. ", ELOOP}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FailingFiles files;
        files.failing = row.call;
        files.name = row.name;
        const FileFailure failure = checkStorage(paths, files);
        EXPECT_STREQ(failure.what, row.what);
        EXPECT_EQ(failure.path, row.what ? paths.dir + row.name : "");
        EXPECT_EQ(failure.error, row.error);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(paths.dir + kStorageProbeName)));
        std::ifstream in(paths.journal, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
    }
}

} // namespace

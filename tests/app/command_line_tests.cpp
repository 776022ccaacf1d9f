// The command line, the instance lock, and the ardentel program run as a process: configuration
// without a display, the second copy, and an orderly close on SIGTERM.
#include "../ui/QtPrinters.h"
#include "app/CommandLine.h"
#include "app/ServiceNotifier.h"
#include "app/SingleInstance.h"
#include "config/ConfigRecord.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// SIGTERM to a running child. A child that has already ended has no id (0), and kill(0) would
// hit this whole process group instead.
bool sendTerm(const QProcess& process)
{
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(pid_t(pid), SIGTERM) == 0;
}

std::pair<CommandLine, std::optional<CommandLineError>> parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "ardentel");
    return parseCommandLine(int(args.size()), args.data());
}

TEST(CommandLine, ReadsEveryOption)
{
    auto [cl, error] = parse({"--dir", "/srv/alarm", "--headless", "--set", "DC9_Port=7000",
                              "--set=Mon_Server=0", "--show-config", "--screenshot=shot.png", "--show",
                              "events,objects,keys", "--screenshot-after=20", "--set-account-key",
                              "1234:text:a:b", "--remove-account-key=12", "--show-account-keys"});
    ASSERT_FALSE(error);
    EXPECT_EQ(cl.dir, "/srv/alarm");
    EXPECT_TRUE(cl.headless);
    EXPECT_TRUE(cl.showConfig);
    EXPECT_TRUE(cl.configOnly());
    EXPECT_EQ(cl.screenshot, "shot.png");
    EXPECT_EQ(cl.show, (std::vector<std::string>{"events", "objects", "keys"}));
    EXPECT_EQ(cl.setAccountKeys, std::vector<std::string>{"1234:text:a:b"});
    EXPECT_EQ(cl.removeAccountKeys, std::vector<std::string>{"12"});
    EXPECT_TRUE(cl.showAccountKeys && cl.changesAccountKeys());
    EXPECT_EQ(cl.screenshotAfterMs, 20000);
    ASSERT_EQ(cl.sets.size(), 2u);
    EXPECT_EQ(cl.sets[0], std::make_pair(std::string("DC9_Port"), std::string("7000")));
    EXPECT_EQ(cl.sets[1], std::make_pair(std::string("Mon_Server"), std::string("0")));

    auto [exporting, exportError] = parse({"--export-events=-", "--account", "12ab", "--from=2026-12-01",
                                           "--to", "2026-12-07", "--dir", "/srv/alarm"});
    ASSERT_FALSE(exportError);
    EXPECT_EQ(exporting.exportEvents, "-");
    EXPECT_EQ(exporting.exportAccount + exporting.exportFrom + exporting.exportTo,
              "12ab2026-12-012026-12-07");
    EXPECT_FALSE(exporting.configOnly() || exporting.changesFiles());
    // The same options fill the Event List's filter when it opens at start.
    EXPECT_FALSE(parse({"--show", "objects,events", "--account", "1234", "--from", "2026-12-01"}).second);
}

TEST(CommandLine, RejectsWhatItCannotUse)
{
    for (const auto& args : std::vector<std::vector<const char*>>{{"--dir"},
                                                                  {"--set"},
                                                                  {"--set", "novalue"},
                                                                  {"--set", "=5"},
                                                                  {"--bogus"},
                                                                  {"extra"},
                                                                  {"--show", "events,"},
                                                                  {"--show", "windows"},
                                                                  {"--screenshot-after", "0"},
                                                                  {"--set-account-key"},
                                                                  {"--remove-account-key"},
                                                                  {"--export-events"},
                                                                  {"--account", "1234"},
                                                                  {"--export-events", "-", "--from"},
                                                                  {"--export-events", "-", "--headless"},
                                                                  {"--export-events", "-", "--set", "A=1"}}) {
        auto [cl, error] = parse(args);
        EXPECT_TRUE(error.has_value()) << args[0];
    }
    // An empty value is still a value: the field decides whether it takes it.
    auto [cl, error] = parse({"--set", "Out_IP="});
    ASSERT_FALSE(error);
    EXPECT_EQ(cl.sets[0].second, "");
}

TEST(SingleInstanceLock, ASecondHolderIsTurnedAway)
{
    QTemporaryDir dir;
    SingleInstance first;
    ASSERT_EQ(first.acquire(dir.path().toStdString()), SingleInstance::State::Acquired);
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("Pemlox.exe"))));
    {
        SingleInstance second;
        EXPECT_EQ(second.acquire(dir.path().toStdString()), SingleInstance::State::AlreadyRunning);
    }
    SingleInstance missing;
    EXPECT_EQ(missing.acquire(dir.filePath(QStringLiteral("no/such")).toStdString()),
              SingleInstance::State::Unavailable);
}

// Without a runtime directory the lock goes into a directory of this user's own; one that another
// user could have planted (a link, a file, a directory open to others or not ours) is refused.
TEST(SingleInstanceLock, TheFallbackDirectoryMustBeThisUsersOwn)
{
    QTemporaryDir tmp;
    const std::string base = tmp.path().toStdString() + "/";
    const std::string elsewhere = base + "elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    const struct {
        const char* name;
        std::function<bool(const std::string&)> plant;
        SingleInstance::State expected;
    } rows[] = {
        {"missing", [](const std::string&) { return true; }, SingleInstance::State::Acquired},
        {"link", [&](const std::string& p) { return ::symlink(elsewhere.c_str(), p.c_str()) == 0; },
         SingleInstance::State::Unavailable},
        {"file",
         [](const std::string& p) { return QFile(QString::fromStdString(p)).open(QIODevice::WriteOnly); },
         SingleInstance::State::Unavailable},
        {"open to others",
         [](const std::string& p) { return ::mkdir(p.c_str(), 0777) == 0 && ::chmod(p.c_str(), 0777) == 0; },
         SingleInstance::State::Unavailable},
        {"another user's",
         [](const std::string& p) {
             return ::geteuid() == 0 && ::mkdir(p.c_str(), 0700) == 0 &&
                    ::chown(p.c_str(), 65534, 65534) == 0;
         },
         SingleInstance::State::Unavailable},
    };
    for (const auto& row : rows) {
        const std::string dir = base + "lock-" + std::to_string(&row - rows);
        if (!row.plant(dir)) {
            std::printf("skipped: %s\n", row.name);
            continue;
        }
        SingleInstance lock;
        EXPECT_EQ(lock.acquire(SingleInstance::Place{dir, true}), row.expected) << row.name;
        if (row.expected == SingleInstance::State::Unavailable) {
            EXPECT_FALSE(lock.problem().empty()) << row.name;
            EXPECT_FALSE(QFile::exists(QString::fromStdString(elsewhere + "/Pemlox.exe"))) << row.name;
        } else {
            struct stat info {};
            ASSERT_EQ(::stat(dir.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0700u);
        }
    }
    // A link in place of the lock file itself is not followed either.
    ASSERT_EQ(::symlink((elsewhere + "/target").c_str(), (base + "Pemlox.exe").c_str()), 0);
    SingleInstance linked;
    EXPECT_EQ(linked.acquire(base), SingleInstance::State::Unavailable);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(elsewhere + "/target")));
}

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(data.isValid());
        ASSERT_TRUE(runtime.isValid());
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ARDENTEL_RUNTIME_DIR"), runtime.path());
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    }

    struct Run {
        int status = -1;
        QByteArray out;
        QByteArray err;
    };

    Run run(QStringList args, const QByteArray& input = {})
    {
        QProcess p;
        p.setProcessEnvironment(env);
        args.prepend(data.path());
        args.prepend(QStringLiteral("--dir"));
        p.start(QStringLiteral(ARDENTEL_EXE), args);
        EXPECT_TRUE(p.waitForStarted(30000));
        p.write(input);
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(30000));
        return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
    }

    QByteArray cfg() const
    {
        QFile f(data.filePath(QStringLiteral("kalvor.cfg")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir data;
    QTemporaryDir runtime;
    QProcessEnvironment env;
};

TEST_F(Program, SetWritesTheFieldsAndShowConfigPrintsThem)
{
    const Run r = run({QStringLiteral("--set"), QStringLiteral("DC9_Port=7001"), QStringLiteral("--set"),
                       QStringLiteral("DC9_Port_Enable=1"), QStringLiteral("--set"),
                       QStringLiteral("Test_Heartbeat_Length=20"), QStringLiteral("--set"),
                       QStringLiteral("DC9_Quirk_Binary_CRC=1"), QStringLiteral("--show-config")});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    const QByteArray file = cfg();
    ASSERT_EQ(file.size(), 256);
    Config_Record rec{};
    std::memcpy(&rec, file.constData(), sizeof rec);
    EXPECT_EQ(int(rec.DC9_Port), 7001);
    EXPECT_EQ(int(rec.DC9_Port_Enable), 1);
    EXPECT_EQ(int(rec.Mon_Port), 9999); // the rest keeps its defaults
    EXPECT_EQ(int(rec.Test_Heartbeat_Length), 20);
    EXPECT_EQ(int(rec.DC9_Quirk_Binary_CRC), 1);
    for (const char* shown : {"DC9_Port=7001", "Test_Heartbeat_Length=20", "DC9_Quirk_Binary_CRC=1",
                              "DC9_Store_Repeats=0", "COM_Framing=0", "DC9_Time_UTC=0"})
        EXPECT_TRUE(r.out.contains(shown)) << shown << "\n" << r.out.toStdString();
}

TEST_F(Program, ABadSettingExitsWithTwoAndLeavesTheFile)
{
    ASSERT_EQ(run({QStringLiteral("--set"), QStringLiteral("DC9_Port=7002")}).status, 0);
    const QByteArray before = cfg();
    for (const QString& bad : {QStringLiteral("No_Such_Field=1"), QStringLiteral("DC9_Port=abc")}) {
        // A good setting before the bad one is not written either.
        const Run r =
            run({QStringLiteral("--set"), QStringLiteral("Mon_Port=1234"), QStringLiteral("--set"), bad});
        EXPECT_EQ(r.status, 2) << bad.toStdString();
        EXPECT_FALSE(r.err.isEmpty());
        EXPECT_EQ(cfg(), before);
    }
    EXPECT_EQ(run({QStringLiteral("--frobnicate")}).status, 2);
}

// Each refusal names the values the setting takes and changes nothing; a change is printed with its
// old value, the key by its size only.
TEST_F(Program, SetRefusesValuesOutsideTheSettingsRangeAndPrintsWhatItChanged)
{
    ASSERT_EQ(run({QStringLiteral("--show-config")}).status, 0);
    const std::string key16 = "00112233445566778899aabbccddeeff";
    struct Row {
        std::vector<std::string> sets;
        int status;
        const char* said; // in the output or the error output
    };
    const Row rows[] = {
        {{"COM_Baud=12345"}, 2, "allowed: 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200"},
        {{"COM_Baud=115200"}, 0, "COM_Baud: 9600 -> 115200\n"},
        {{"Test_Rec_Nr=200"}, 2, "Test_Rec_Nr: 200 is not allowed (allowed: 0 to 99"},
        {{"Test_Rec_Nr=99"}, 0, "Test_Rec_Nr: 1 -> 99\n"},
        {{"DC9_Port=0"}, 2, "allowed: 1 to 65535"},
        {{"DC9_AES_Key=00112233"}, 2, "8 characters given (allowed: 32, 48 or 64 hex digits"},
        {{"DC9_AES_Mode=3", "DC9_AES_Key=" + key16}, 2, "32 hex digits given, but DC9_AES_Mode=3 (AES-256)"},
        {{"DC9_AES_Key=" + key16 + "0011223344556677", "DC9_AES_Mode=1"}, 2, "the rest would not be used"},
        {{"DC9_AES_Mode=2"}, 0, "DC9_AES_Mode: 0 -> 2\n"},
        {{"DC9_AES_Key=" + key16 + "0011223344556677"}, 0, "DC9_AES_Key: (not set) -> (set, 192 bits)\n"},
        {{"No_Such_Setting=1"}, 2, "unknown setting \"No_Such_Setting\" (the settings: DC9_Port_Enable,"},
        {{"DC9_Port=7777"}, 0, "nothing changed"},
    };
    for (const Row& row : rows) {
        const QByteArray before = cfg();
        QStringList args;
        for (const std::string& set : row.sets)
            args << QStringLiteral("--set") << QString::fromStdString(set);
        const Run r = run(args);
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        EXPECT_EQ(r.status, row.status) << r.err.toStdString();
        EXPECT_TRUE((r.out + r.err).contains(row.said)) << r.out.toStdString() << r.err.toStdString();
        if (row.status != 0) {
            EXPECT_EQ(cfg(), before);
        }
        EXPECT_FALSE(r.out.contains("00112233")); // never the key itself
    }
}

// The key never needs the command line, and is not shown unless asked for. A new installation turns
// the time window on with encryption.
TEST_F(Program, TheKeyComesFromStandardInputAndIsShownOnlyWhenAskedFor)
{
    const QStringList setKey{QStringLiteral("--set"), QStringLiteral("DC9_AES_Mode=1"),
                             QStringLiteral("--set"), QStringLiteral("DC9_AES_Key=-")};
    Run r = run(setKey, "000102030405060708090a0B0C0D0E0F\r\n");
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QByteArray file = cfg();
    ASSERT_EQ(file.size(), 256);
    EXPECT_EQ(file.mid(16, 17), QByteArray::fromHex("000102030405060708090a0b0c0d0e0f00"));
    EXPECT_EQ(int(file[95]), 1); // Time_Synch
    struct stat st {};
    ASSERT_EQ(::stat(data.filePath(QStringLiteral("kalvor.cfg")).toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    r = run({QStringLiteral("--show-config")});
    EXPECT_TRUE(r.out.contains("\nDC9_AES_Key=(set, 128 bits)\n")) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("0102030405"));
    EXPECT_TRUE(r.out.contains("\nTime_Synch=1\n"));
    r = run({QStringLiteral("--show-secrets")});
    EXPECT_TRUE(
        r.out.contains("\nDC9_AES_Key=000102030405060708090a0b0c0d0e0f" + QByteArray(32, '0') + "\n"));

    // No line on standard input changes nothing; a key on the command line works, with a warning.
    EXPECT_EQ(run(setKey, "").status, 2);
    EXPECT_EQ(cfg(), file);
    r = run({QStringLiteral("--set"), QStringLiteral("DC9_AES_Key=") + QString(32, QLatin1Char('f'))});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.contains("DC9_AES_Key=- reads it from standard input")) << r.err.toStdString();
}

// Not even showing the settings reads or stamps a file through a link in kalvor.cfg's place.
TEST_F(Program, ASettingsFileLinkIsNotFollowed)
{
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("root-only"));
    QFile t(target);
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.write(QByteArray(300, 'x'));
    t.close();
    ASSERT_TRUE(QFile::link(target, data.filePath(QStringLiteral("kalvor.cfg"))));
    const Run r = run({QStringLiteral("--show-config")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.contains("Too many levels of symbolic links")) << r.err.toStdString();
    EXPECT_EQ(run({QStringLiteral("--set"), QStringLiteral("DC9_Port=7003")}).status, 1);
    ASSERT_TRUE(t.open(QIODevice::ReadOnly));
    EXPECT_EQ(t.readAll(), QByteArray(300, 'x'));
}

TEST_F(Program, AddAccountPutsAccountsIntoTheObjectList)
{
    const auto accountAt = [this](int slot) {
        QFile f(data.filePath(QStringLiteral("latevn.dat")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().mid(slot * 80 + 4, 17) : QByteArray();
    };
    Run r =
        run({QStringLiteral("--add-account"), QStringLiteral("12ab"), QStringLiteral("--add-account=5678")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(accountAt(0), QByteArray("12AB").leftJustified(17, '\0'));
    EXPECT_EQ(accountAt(1), QByteArray("5678").leftJustified(17, '\0'));
    r = run({QStringLiteral("--add-account"), QStringLiteral("5678"), QStringLiteral("--add-account"),
             QStringLiteral("9")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.contains("5678 is in the Object List already"));
    EXPECT_EQ(accountAt(2), QByteArray("9").leftJustified(17, '\0'));
    for (const char* bad : {"12G4", "", "12345678901234567"}) {
        EXPECT_EQ(run({QStringLiteral("--add-account"), QStringLiteral("77"), QStringLiteral("--add-account"),
                       QString::fromLatin1(bad)})
                      .status,
                  2)
            << bad;
        EXPECT_EQ(accountAt(3), QByteArray(17, '\0'));
    }
}

TEST_F(Program, RunsHeadlessRefusesASecondCopyAndClosesOnSigterm)
{
    QProcess receiver;
    receiver.setProcessEnvironment(env);
    receiver.start(QStringLiteral(ARDENTEL_EXE),
                   {QStringLiteral("--dir"), data.path(), QStringLiteral("--headless")});
    ASSERT_TRUE(receiver.waitForStarted(10000));
    QByteArray out;
    while (!out.contains("Program started.") && receiver.waitForReadyRead(10000))
        out += receiver.readAllStandardOutput();
    ASSERT_TRUE(out.contains("Program started. Hostname of this computer: ")) << out.toStdString();

    const Run second = run({QStringLiteral("--headless")});
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(second.err.contains("Program is already running?")) << second.err.toStdString();

    // The receiver would write its own record over a change made under it: refused, file unchanged.
    const QByteArray before = cfg();
    const Run set = run({QStringLiteral("--set"), QStringLiteral("DC9_Port=7003")});
    EXPECT_EQ(set.status, 3);
    EXPECT_TRUE(set.err.contains("in use by a running receiver: nothing changed")) << set.err.toStdString();
    EXPECT_EQ(cfg(), before);
    // Another user's receiver (its own lock directory) on the same files is turned away too.
    QTemporaryDir otherRuntime;
    env.insert(QStringLiteral("ARDENTEL_RUNTIME_DIR"), otherRuntime.path());
    const Run other = run({QStringLiteral("--headless")});
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(other.err.contains("is in use by another receiver")) << other.err.toStdString();
    EXPECT_EQ(cfg(), before);

    ASSERT_TRUE(sendTerm(receiver));
    ASSERT_TRUE(receiver.waitForFinished(15000));
    EXPECT_EQ(receiver.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(receiver.exitCode(), 0);
    out += receiver.readAllStandardOutput();
    EXPECT_TRUE(out.trimmed().endsWith("Program closed")) << out.toStdString();
    // Once it has ended, the directory is free for a change.
    EXPECT_EQ(run({QStringLiteral("--set"), QStringLiteral("DC9_Port=7003")}).status, 0);
}

// Under systemd (Type=notify, WatchdogSec=): not ready while its files cannot be written (the status
// says why), ready once running, pings from the main loop at half the watchdog period, its state in
// STATUS= lines, and stopping when the orderly close begins, in that order.
TEST_F(Program, TellsSystemdItIsReadyAliveAndStopping)
{
    if (!ServiceNotifier::supported())
        GTEST_SKIP() << "built without libsystemd";
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = runtime.filePath(QStringLiteral("notify")).toLocal8Bit();
    ASSERT_LT(std::size_t(path.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(path));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));

    QStringList received;
    // Until `count` messages have begun with `state`, or `ms` have passed.
    const auto receiveUntil = [&](const QString& state, int count, int ms = 15000) {
        const auto seen = [&] {
            return std::count_if(received.begin(), received.end(),
                                 [&](const QString& r) { return r.startsWith(state); });
        };
        QElapsedTimer waited;
        waited.start();
        while (seen() < count && waited.elapsed() < ms) {
            pollfd p{sock, POLLIN, 0};
            char buffer[512];
            if (::poll(&p, 1, 100) == 1) {
                const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
                if (n > 0)
                    received << QString::fromLatin1(buffer, int(n));
            }
        }
        return seen() >= count;
    };
    // A directory where the check's file goes: no write gets through, not even root's.
    const QString blocker = data.filePath(QStringLiteral("ardentel.check"));
    ASSERT_TRUE(QDir().mkdir(blocker));
    QProcess receiver;
    receiver.setProcessEnvironment(env);
    receiver.start(QStringLiteral(ARDENTEL_EXE),
                   {QStringLiteral("--dir"), data.path(), QStringLiteral("--headless")});
    ASSERT_TRUE(receiver.waitForStarted(10000));
    EXPECT_TRUE(receiveUntil(
        QStringLiteral("STATUS=Ports closed: the data directory cannot be written (File open error. ") + blocker,
        1))
        << received.join(u' ').toStdString();
    EXPECT_FALSE(receiveUntil(QStringLiteral("READY=1"), 1, 1000));
    ASSERT_TRUE(QDir().rmdir(blocker)); // the next check, 5 s after the last, lets it start
    ASSERT_TRUE(receiveUntil(QStringLiteral("READY=1"), 1)) << received.join(u' ').toStdString();
    // Ready means the receiver runs: its first tick (which opens the port) is behind it.
    receiver.waitForReadyRead(0); // what was printed before it, no more
    EXPECT_TRUE(receiver.readAllStandardOutput().contains("Program started.")) << "ready too early";
    EXPECT_TRUE(receiveUntil(QStringLiteral("WATCHDOG=1"), 3)) << received.join(u' ').toStdString();
    EXPECT_TRUE(receiveUntil(QStringLiteral("STATUS=Receiver port closed. | Events today: 0"), 1))
        << received.join(u' ').toStdString();
    ASSERT_TRUE(sendTerm(receiver));
    EXPECT_TRUE(receiveUntil(QStringLiteral("STOPPING=1"), 1)) << received.join(u' ').toStdString();
    ASSERT_TRUE(receiver.waitForFinished(15000));
    ::close(sock);
    EXPECT_EQ(receiver.exitCode(), 0);
    received.removeIf([](const QString& r) { return r.startsWith(QStringLiteral("STATUS=")); });
    ASSERT_FALSE(received.isEmpty());
    EXPECT_EQ(received.front(), QStringLiteral("READY=1"));
    EXPECT_EQ(received.back(), QStringLiteral("STOPPING=1"));
    EXPECT_EQ(received.count(QStringLiteral("READY=1")), 1);
}

// Without a runtime directory the lock is in a directory of this user's own under TMPDIR; when it
// cannot be taken there the receiver refuses to start rather than run unguarded.
TEST_F(Program, AnInstanceLockThatCannotBeTakenRefusesToStart)
{
    env.remove(QStringLiteral("ARDENTEL_RUNTIME_DIR"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    env.insert(QStringLiteral("TMPDIR"), runtime.path());
    const QString place = runtime.filePath(QStringLiteral("ardentel-%1").arg(::geteuid()));
    ASSERT_EQ(::mkdir(place.toLocal8Bit().constData(), 0700), 0);
    ASSERT_EQ(::chmod(place.toLocal8Bit().constData(), 0777), 0); // as if planted for everyone
    const Run r = run({QStringLiteral("--headless")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("Not started: cannot take the instance lock " + place.toLocal8Bit()))
        << r.err.toStdString();
    EXPECT_TRUE(QDir(data.path()).isEmpty()); // no file touched
}

// Only a settings change makes a missing directory: a mistyped --dir must not start a service, or
// show settings, as though it were a new receiver.
TEST_F(Program, AMissingDirIsMadeBySetAndRefusedHeadless)
{
    const QString sub = data.filePath(QStringLiteral("new/sub"));
    for (const QString& refused : {QStringLiteral("--headless"), QStringLiteral("--show-config")}) {
        const Run r = run({QStringLiteral("--dir"), sub, refused});
        EXPECT_EQ(r.status, 1) << refused.toStdString();
        EXPECT_TRUE(r.err.contains("does not exist")) << r.err.toStdString();
        EXPECT_FALSE(QDir(sub).exists());
    }
    const Run r =
        run({QStringLiteral("--dir"), sub, QStringLiteral("--set"), QStringLiteral("DC9_Port=7010")});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(QFile(sub + QStringLiteral("/kalvor.cfg")).size(), 256);
}

// Started as a service would be: no display, no platform chosen, a low open-file limit. It must
// pick the headless mode itself (log lines on standard output) and raise its own limit.
TEST_F(Program, WithoutADisplayRunsHeadlessAndRaisesItsOpenFileLimit)
{
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    if (original.rlim_max <= 256)
        GTEST_SKIP() << "hard open-file limit too low to tell a raise";
    rlimit low = original;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    QProcess receiver;
    receiver.setProcessEnvironment(env);
    receiver.start(QStringLiteral(ARDENTEL_EXE), {QStringLiteral("--dir"), data.path()});
    const bool started = receiver.waitForStarted(10000);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0); // the child has its copy
    ASSERT_TRUE(started);
    QByteArray out;
    while (!out.contains("Program started.") && receiver.waitForReadyRead(10000))
        out += receiver.readAllStandardOutput();
    ASSERT_TRUE(out.contains("Program started. Hostname of this computer: ")) << out.toStdString();

    QFile limits(QStringLiteral("/proc/%1/limits").arg(receiver.processId()));
    ASSERT_TRUE(limits.open(QIODevice::ReadOnly));
    QByteArray line;
    for (const QByteArray& l : limits.readAll().split('\n'))
        if (l.startsWith("Max open files"))
            line = l.simplified();
    EXPECT_EQ(line, "Max open files " + QByteArray::number(qulonglong(original.rlim_max)) + " " +
                        QByteArray::number(qulonglong(original.rlim_max)) + " files");

    ASSERT_TRUE(sendTerm(receiver));
    ASSERT_TRUE(receiver.waitForFinished(15000));
    EXPECT_EQ(receiver.exitCode(), 0);
}

TEST_F(Program, AStandardOutputReaderThatGoesAwayDoesNotEndTheReceiver)
{
    // The log lines go into a pipe whose reader has already gone.
    QProcess receiver;
    receiver.setChildProcessModifier([] {
        int fds[2];
        if (::pipe(fds) == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
        }
    });
    receiver.setProcessEnvironment(env);
    receiver.start(QStringLiteral(ARDENTEL_EXE),
                   {QStringLiteral("--dir"), data.path(), QStringLiteral("--headless")});
    ASSERT_TRUE(receiver.waitForStarted(10000));
    const auto logFile = [this] {
        const QStringList logs = QDir(data.path()).entryList({QStringLiteral("kalvor_*.log")});
        if (logs.isEmpty())
            return QByteArray();
        QFile f(data.filePath(logs.front()));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QElapsedTimer waited;
    waited.start();
    while (!logFile().contains("Program started.") && receiver.state() == QProcess::Running &&
           waited.elapsed() < 10000)
        receiver.waitForFinished(20);
    ASSERT_TRUE(logFile().contains("Program started.")) << logFile().toStdString();

    ASSERT_TRUE(sendTerm(receiver));
    ASSERT_TRUE(receiver.waitForFinished(15000));
    EXPECT_EQ(receiver.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(receiver.exitCode(), 0);
    EXPECT_TRUE(logFile().endsWith("Program closed\r\n")) << logFile().toStdString();
}

} // namespace

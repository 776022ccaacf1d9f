// The real program's --export-events: every acknowledged event of a loaded receiver, one account's,
// and some days', read beside the running receiver and after it stopped, without a file created in
// the data directory; and the refusals that end with status 1.
#include "E2eSupport.h"
#include "PanelLoad.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <set>

using namespace e2e;

namespace {

constexpr int kPanels = 100;
constexpr int kEventsEach = 25;

struct Export {
    int exitCode = -1;
    QList<QByteArray> rows; // without the header
    QByteArray messages;    // the program's own lines ("ardentel: ...")
};

// Runs ardentel --dir DIR --export-events - with `more`, its rows from standard output.
Export exportEvents(const Installation& install, const QString& dir, const QStringList& more)
{
    const RunResult r = runProgram(
        programPath(),
        QStringList{QStringLiteral("--dir"), dir, QStringLiteral("--export-events"), QStringLiteral("-")} +
            more,
        install.runtimeDir());
    Export out;
    out.exitCode = r.finished ? r.exitCode : -1;
    for (const QByteArray& line : r.output.split('\n')) {
        if (line.startsWith("ardentel: "))
            out.messages += line + '\n';
        else if (!line.isEmpty() && !line.startsWith("Time Received,"))
            out.rows.push_back(line.endsWith('\r') ? line.chopped(1) : line);
    }
    return out;
}

QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

TEST(EndToEndHistory, EveryAcknowledgedEventIsExportedBesideTheReceiverAndAfterIt)
{
    if (programPath().isEmpty()) {
        GTEST_SKIP() << "ARDENTEL_BIN is not set";
    }
    Installation install;
    ASSERT_TRUE(install.valid());
    const quint16 port = freePort();
    ASSERT_TRUE(install.configure(port));
    ASSERT_TRUE(install.start(QStringLiteral("Port %1 is open.").arg(port))) << install.output().constData();
    PanelLoad load(port, kPanels, 0, kEventsEach);
    ASSERT_TRUE(load.connectAll());
    load.start();
    ASSERT_TRUE(waitUntil([&] { return load.finished(); }, 60000)) << load.acknowledged().size();
    ASSERT_EQ(int(load.acknowledged().size()), kPanels * kEventsEach);

    // Panel p is account 1000+p in hex; its event n has zone n (and group 00).
    const auto expected = [](int onlyPanel) {
        std::set<QByteArray> out;
        for (int p = 0; p < kPanels; ++p)
            for (int n = 0; n < kEventsEach; ++n)
                if (onlyPanel < 0 || p == onlyPanel)
                    out.insert(QByteArray::number(0x1000 + p, 16).toUpper() + ",1   130,00," +
                               QByteArray::number(n).rightJustified(3, '0'));
        return out;
    };
    const auto found = [](const Export& e) {
        std::set<QByteArray> out;
        for (const QByteArray& row : e.rows)
            out.insert(row.split(',').mid(3, 4).join(','));
        return out;
    };
    const QStringList before = filesIn(install.dir());

    const Export all = exportEvents(install, install.dir(), {});
    EXPECT_EQ(all.exitCode, 0) << all.messages.constData();
    EXPECT_EQ(all.rows.size(), kPanels * kEventsEach);
    EXPECT_EQ(found(all), expected(-1));
    EXPECT_EQ(all.messages, "ardentel: 2500 events written to standard output\n");
    EXPECT_TRUE(all.rows.front().endsWith(",Pending,127.0.0.1,25,ADM-CID,Burglary"))
        << all.rows.front().constData();

    const QString today = QDate::currentDate().toString(Qt::ISODate);
    const Export one =
        exportEvents(install, install.dir(),
                     {QStringLiteral("--account"), QStringLiteral("1005"), QStringLiteral("--from"),
                      QDate::currentDate().addDays(-1).toString(Qt::ISODate), QStringLiteral("--to"),
                      QDate::currentDate().addDays(1).toString(Qt::ISODate)});
    EXPECT_EQ(one.exitCode, 0) << one.messages.constData();
    EXPECT_EQ(one.rows.size(), kEventsEach);
    EXPECT_EQ(found(one), expected(5));
    EXPECT_EQ(filesIn(install.dir()), before) << "the export made a file in the data directory";

    // Into a file, once the receiver has gone: the log file alone, nothing beside it.
    EXPECT_EQ(install.terminate(), 0);
    const QStringList stopped = filesIn(install.dir());
    ASSERT_FALSE(stopped.contains(QStringLiteral("events.db-wal")));
    QTemporaryDir out;
    const QString file = out.filePath(QStringLiteral("all.csv"));
    const RunResult toFile = runProgram(
        programPath(), {QStringLiteral("--dir"), install.dir(), QStringLiteral("--export-events"), file},
        install.runtimeDir());
    EXPECT_EQ(toFile.exitCode, 0) << toFile.output.constData();
    QFile csv(file);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_EQ(csv.readAll().count("\r\n"), 1 + kPanels * kEventsEach);
    EXPECT_EQ(filesIn(install.dir()), stopped);
    EXPECT_EQ(filesIn(out.path()), QStringList{QStringLiteral("all.csv")});

    // Refusals: status 1, said, and nothing made or overwritten.
    const QString missing = out.filePath(QStringLiteral("no-such-dir"));
    struct Refusal {
        QString dir;
        QStringList more;
        const char* says;
    };
    const Refusal refusals[] = {
        {install.dir(), {QStringLiteral("--from"), QStringLiteral("2026-02-30")}, "is not a date"},
        {install.dir(),
         {QStringLiteral("--from"), today, QStringLiteral("--to"), QStringLiteral("2000-01-01")},
         "is after --to"},
        {install.dir(), {QStringLiteral("--account"), QStringLiteral("12G4")}, "is not 1 to 16 hex digits"},
        {missing, {}, "no event log in"},
    };
    for (const Refusal& r : refusals) {
        const Export e = exportEvents(install, r.dir, r.more);
        EXPECT_EQ(e.exitCode, 1) << r.says;
        EXPECT_TRUE(e.messages.contains(r.says)) << e.messages.constData();
        EXPECT_TRUE(e.rows.isEmpty()) << r.says;
    }
    EXPECT_FALSE(QDir(missing).exists());
    const QByteArray logBefore = [&] {
        QFile f(install.file(QStringLiteral("events.db")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    const RunResult overLog =
        runProgram(programPath(),
                   {QStringLiteral("--dir"), install.dir(), QStringLiteral("--export-events"),
                    install.file(QStringLiteral("events.db"))},
                   install.runtimeDir());
    EXPECT_EQ(overLog.exitCode, 1);
    EXPECT_TRUE(overLog.output.contains("one of the receiver's own files")) << overLog.output.constData();
    QFile log(install.file(QStringLiteral("events.db")));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll(), logBefore);
}

} // namespace

// The forwarding thread as the journal's disk writer: new events reach the files, log lines are
// written on the main thread, a termination request ends the thread even in its error pause.
#include "../support/QtWait.h"
#include "output/MonitoringThread.h"
#include "store/Journal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::waitUntil;

JournalRecord event(const char* account)
{
    JournalRecord r{};
    std::strncpy(r.account, account, sizeof r.account - 1);
    std::memcpy(r.event, "1130", 5);
    std::strncpy(r.address, "127.0.0.1", sizeof r.address - 1);
    r.port = 4000;
    return r;
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Logged {
    std::string text;
    LogColour colour;
    bool onMainThread;
};

class MonitoringThreadTest : public ::testing::Test {
protected:
    // `journalPath` lets a test point the journal at a place where it cannot be written.
    void make(const std::string& journalPath = {})
    {
        ASSERT_TRUE(m_dir.isValid());
        const std::string dir = m_dir.path().toStdString() + "/";
        Journal::Paths paths{journalPath.empty() ? dir + "kalvor.dat" : journalPath, dir + "extevn.dat"};
        LogSink target = [this](std::string_view text, LogColour colour) {
            m_logged.push_back({std::string(text), colour, QThread::currentThread() == m_context.thread()});
        };
        m_journal = std::make_unique<Journal>(
            paths, mainThreadLogSink(&m_context, target, [this] { ++m_beeps; }), [this](int seconds) {
                m_pauseSeconds = seconds;
                m_thread->pause(seconds);
            });
        m_journal->load();
        m_thread = std::make_unique<Monitoring_Thread>(*m_journal);
    }

    void TearDown() override
    {
        m_thread.reset(); // ends and joins the thread before the journal goes
        m_journal.reset();
    }

    QTemporaryDir m_dir;
    QObject m_context;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<Monitoring_Thread> m_thread;
    std::vector<Logged> m_logged;
    int m_beeps = 0;
    int m_pauseSeconds = 0;
};

TEST_F(MonitoringThreadTest, AppendedEventsReachTheFilesWhileItRuns)
{
    make();
    EXPECT_FALSE(m_thread->isRunning());
    m_thread->start();
    EXPECT_TRUE(m_thread->isRunning());

    m_journal->append(event("1234"), "[Q87]");
    m_journal->append(event("5678"), "");
    // `saved` follows the slot's writes; the header is written at the end of a pass. The two slots
    // may be saved by different passes, so wait for all three.
    QByteArray disk;
    ASSERT_TRUE(waitUntil([&] {
        if ((m_journal->record(0).status & m_journal->record(1).status & journal::kSaved) == 0) {
            return false;
        }
        disk = fileBytes(m_dir.filePath(QStringLiteral("kalvor.dat")));
        return disk.size() == qsizetype(journal::kImageSize) && disk[0] == 2;
    }));
    for (std::size_t slot : {0u, 1u}) {
        JournalRecord expected = m_journal->record(slot);
        expected.status = journal::kStored; // the file holds the status as written, before `saved`
        EXPECT_EQ(std::memcmp(disk.constData() + journal::kHeaderSize + slot * sizeof(JournalRecord),
                              &expected, sizeof expected),
                  0)
            << slot;
    }
    const QByteArray extended = fileBytes(m_dir.filePath(QStringLiteral("extevn.dat")));
    ASSERT_EQ(extended.size(), qsizetype(journal::kExtendedImageSize));
    EXPECT_EQ(QByteArray(extended.constData()), QByteArray("[Q87]"));

    m_thread->requestTerminate();
    EXPECT_TRUE(m_thread->waitForEnd(5000));
    EXPECT_FALSE(m_thread->isRunning());
    EXPECT_TRUE(m_logged.empty());
}

TEST_F(MonitoringThreadTest, FileErrorIsLoggedOnTheMainThreadAndTheErrorPauseEndsOnRequest)
{
    make(m_dir.filePath(QStringLiteral("missing/kalvor.dat")).toStdString());
    m_thread->start();
    m_journal->append(event("1234"), "");
    ASSERT_TRUE(waitUntil([&] { return !m_logged.empty() && m_pauseSeconds == 5; }));
    EXPECT_EQ(m_logged[0].text.rfind("File open error. ", 0), 0u) << m_logged[0].text;
    EXPECT_EQ(m_logged[0].colour, LogColour::Red);
    EXPECT_TRUE(m_logged[0].onMainThread);
    EXPECT_EQ(m_beeps, 1);
    EXPECT_EQ(m_journal->record(0).status, journal::kStored); // not saved, tried again later

    // The thread sits in its 5-second pause; the request must cut it short.
    m_thread->requestTerminate();
    EXPECT_TRUE(m_thread->waitForEnd(2500));
}

TEST_F(MonitoringThreadTest, RestartsAfterItEndedAndStartTwiceRunsOneThread)
{
    make();
    m_thread->start();
    m_thread->start();
    ASSERT_TRUE(waitUntil([&] { return m_thread->passes() >= 2; }));
    m_thread->requestTerminate();
    ASSERT_TRUE(m_thread->waitForEnd(5000));
    const std::uint64_t before = m_thread->passes();
    m_thread->start();
    m_journal->append(event("1234"), "");
    EXPECT_TRUE(
        waitUntil([&] { return m_journal->record(0).status == (journal::kStored | journal::kSaved); }));
    EXPECT_TRUE(waitUntil([&] { return m_thread->passes() > before; }));
}

TEST(MainThreadHandOver, RunsAtOnceOnTheContextThreadAndWaitsFromAnother)
{
    QObject context;
    int ran = 0;
    runOnThreadOf(&context, [&] { ++ran; });
    EXPECT_EQ(ran, 1);

    std::atomic<bool> done{false};
    bool ranOnMain = false;
    std::thread worker([&] {
        runOnThreadOf(&context, [&] { ranOnMain = QThread::currentThread() == context.thread(); });
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMain);
}

} // namespace

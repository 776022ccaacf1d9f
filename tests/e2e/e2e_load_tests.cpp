// 2,000 panels connected at once: each gets its answer, nothing is lost, and the program still
// answers a newcomer promptly.
#include "E2eSupport.h"
#include "store/JournalRecord.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sys/resource.h>
#include <vector>

using namespace e2e;

namespace {

constexpr int kPanels = 2000;

bool raiseOpenFileLimit(rlim_t wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(limit.rlim_max, wanted);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return false;
        }
    }
    return limit.rlim_cur >= wanted;
}

TEST(EndToEndLoad, TwoThousandConcurrentPanelsAreAllAnswered)
{
    if (programPath().isEmpty()) {
        GTEST_SKIP() << "ARDENTEL_BIN is not set";
    }
    // The panels' sockets live in this process: make room for them beside Qt's own descriptors.
    ASSERT_TRUE(raiseOpenFileLimit(kPanels + 512)) << "open-file limit too low for " << kPanels << " panels";

    Installation install;
    ASSERT_TRUE(install.valid());
    const quint16 port = freePort();
    // Every panel sends the same frame; here each copy counts.
    ASSERT_TRUE(install.configure(port, {QStringLiteral("DC9_Store_Repeats=1")}));
    ASSERT_TRUE(install.start(QStringLiteral("Port %1 is open.").arg(port))) << install.output().constData();

    QElapsedTimer clock;
    clock.start();
    std::vector<std::unique_ptr<QTcpSocket>> panels;
    for (int i = 0; i < kPanels; ++i) {
        auto panel = std::make_unique<QTcpSocket>();
        panel->connectToHost(QHostAddress::LocalHost, port);
        panels.push_back(std::move(panel));
    }
    int connected = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            connected = 0;
            for (const auto& p : panels) {
                connected += p->state() == QAbstractSocket::ConnectedState ? 1 : 0;
            }
            return connected == kPanels;
        },
        60000))
        << connected << " connected";
    const qint64 connectMs = clock.elapsed();

    // All connected first, then every one sends: each connection is open at the same time.
    const WorkedFrame& worked = kWorkedFrames[0];
    std::vector<QByteArray> answers(kPanels);
    for (auto& p : panels) {
        p->write(worked.frame);
    }
    int answered = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            answered = 0;
            for (int i = 0; i < kPanels; ++i) {
                answers[i] += panels[i]->readAll();
                answered += answers[i].endsWith('\r') ? 1 : 0;
            }
            return answered == kPanels;
        },
        60000))
        << answered << " answered";
    const qint64 answerMs = clock.elapsed() - connectMs;
    for (int i = 0; i < kPanels; ++i) {
        ASSERT_EQ(answers[i], worked.answer) << "panel " << i;
    }

    // Still responsive with every connection open.
    QElapsedTimer prompt;
    prompt.start();
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(late.waitForConnected(5000));
    late.write(kWorkedFrames[1].frame);
    QByteArray lateAnswer;
    ASSERT_TRUE(waitUntil(
        [&] {
            lateAnswer += late.readAll();
            return lateAnswer.endsWith('\r');
        },
        5000));
    EXPECT_EQ(lateAnswer, kWorkedFrames[1].answer);
    const qint64 lateMs = prompt.elapsed();
    std::printf("connect %d panels: %lld ms, answer all: %lld ms, newcomer answered in %lld ms\n", kPanels,
                static_cast<long long>(connectMs), static_cast<long long>(answerMs),
                static_cast<long long>(lateMs));

    panels.clear();
    EXPECT_EQ(install.terminate(), 0) << install.output().right(2000).constData();
    QFile file(install.file(QStringLiteral("kalvor.dat")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray image = file.readAll();
    ASSERT_EQ(image.size(), qsizetype(journal::kImageSize));
    std::uint32_t next = 0;
    std::memcpy(&next, image.constData(), sizeof next);
    EXPECT_EQ(next, std::uint32_t(kPanels + 1));
    int stored = 0;
    for (int i = 0; i < kPanels + 1; ++i) {
        stored +=
            image[qsizetype(journal::kHeaderSize + std::size_t(i) * sizeof(JournalRecord))] == 1 ? 1 : 0;
    }
    EXPECT_EQ(stored, kPanels + 1);
}

} // namespace

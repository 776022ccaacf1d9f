// The real program with what other receivers give their users: SIA-DCS messages forwarded as S
// lines, long Contact ID accounts as Q lines, a panel on a key of its own, events filed under the
// account inside their data, and the metrics and health endpoint.
#include "E2eSupport.h"
#include "dc09/Aes.h"
#include "dc09/Dc09Codec.h"
#include "store/JournalRecord.h"

#include <QFile>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace e2e;

namespace {

QByteArray frameOf(const QByteArray& body)
{
    const std::uint16_t crc =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.constData()), size_t(body.size()));
    return "\n" + QByteArray::number(crc, 16).toUpper().rightJustified(4, '0') +
           QByteArray::number(body.size(), 16).toUpper().rightJustified(4, '0') + body + "\r";
}

// `header` + "[" + padding, "|" and `data` encrypted with a 16-byte key.
QByteArray encryptedFrame(const QByteArray& header, const QByteArray& data, const QByteArray& key)
{
    QByteArray plain = "\x13\x27|" + data;
    plain.append((16 - plain.size() % 16) % 16, ' ');
    AES_Round_Keys roundKeys;
    EXPECT_TRUE(AES_Expand_Key(reinterpret_cast<const std::uint8_t*>(key.constData()), 128, roundKeys));
    EXPECT_TRUE(
        CBC_Encrypt(reinterpret_cast<std::uint8_t*>(plain.data()), size_t(plain.size()) / 16, roundKeys));
    return frameOf(header + "[" + plain.toHex().toUpper());
}

QByteArray tokenOf(const QByteArray& answer)
{
    const qsizetype open = answer.indexOf('"');
    return open < 0 ? answer : answer.mid(open + 1, answer.indexOf('"', open + 1) - open - 1);
}

// One HTTP GET on 127.0.0.1; the status line's code and the body.
std::pair<int, QByteArray> httpGet(quint16 port, const QByteArray& path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {0, {}};
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray reply;
    waitUntil([&] {
        reply += socket.readAll();
        const qsizetype end = reply.indexOf("\r\n\r\n");
        if (end < 0)
            return socket.state() != QAbstractSocket::ConnectedState;
        const qsizetype at = reply.toLower().indexOf("content-length:");
        const int length =
            at < 0 ? 0 : reply.mid(at + 15, reply.indexOf('\r', at) - at - 15).trimmed().toInt();
        return reply.size() >= end + 4 + length || socket.state() != QAbstractSocket::ConnectedState;
    });
    const qsizetype end = reply.indexOf("\r\n\r\n");
    return {reply.mid(9, 3).toInt(), end < 0 ? QByteArray() : reply.mid(end + 4)};
}

// The value of one metric line ("name{labels} value"), -1 when there is none.
double metric(const QByteArray& text, const QByteArray& name)
{
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(name + ' '))
            return line.mid(name.size() + 1).toDouble();
    return -1;
}

std::vector<JournalRecord> journalSlots(const Installation& install, int count)
{
    QFile f(install.file(QStringLiteral("kalvor.dat")));
    const QByteArray image = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    std::vector<JournalRecord> out;
    for (int i = 0; i < count; ++i) {
        JournalRecord r{};
        const qsizetype at = qsizetype(journal::kHeaderSize + std::size_t(i) * sizeof r);
        if (at + qsizetype(sizeof r) <= image.size())
            std::memcpy(&r, image.constData() + at, sizeof r);
        out.push_back(r);
    }
    return out;
}

class FormatsKeysMetrics : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (programPath().isEmpty() || automationSimPath().isEmpty()) {
            GTEST_SKIP() << "ARDENTEL_BIN or AUTOMATION_SIM is not set";
        }
        ASSERT_TRUE(m_install.valid());
    }
    Installation m_install;
};

const QByteArray kOwnKey = "Panel4321Key-16b";

// One panel connection through every new path, then the automation software takes the stored events.
TEST_F(FormatsKeysMetrics, SiaAndLongAccountsAreForwardedAndAKeyedAccountIsHeardOnlyUnderItsKey)
{
    const quint16 port = freePort();
    const quint16 monPort = freePort();
    const quint16 metricsPort = freePort();
    ASSERT_TRUE(m_install.configure(port, {QStringLiteral("Mon_Port_Open=1"), QStringLiteral("Mon_Server=1"),
                                           QStringLiteral("Mon_Port=%1").arg(monPort),
                                           QStringLiteral("Test_Heartbeat_Period=600"),
                                           QStringLiteral("Metrics_Port=%1").arg(metricsPort)}));
    const RunResult keyed = runProgram(
        programPath(),
        {QStringLiteral("--dir"), m_install.dir(), QStringLiteral("--set-account-key"),
         QStringLiteral("4321:text:") + QString::fromLatin1(kOwnKey), QStringLiteral("--show-account-keys")},
        m_install.runtimeDir());
    ASSERT_EQ(keyed.exitCode, 0) << keyed.output.constData();
    EXPECT_TRUE(keyed.output.contains("4321              AES-128")) << keyed.output.constData();
    EXPECT_FALSE(keyed.output.contains(kOwnKey));
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();
    ASSERT_EQ(httpGet(metricsPort, "/health"), std::make_pair(200, QByteArray("ok\n")));
    const QByteArray before = httpGet(metricsPort, "/metrics").second;
    EXPECT_EQ(metric(before, "ardentel_events_received_total{transport=\"tcp\",token=\"SIA-DCS\"}"), 0);

    QTcpSocket panel;
    panel.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(panel.waitForConnected(5000));
    const struct {
        QByteArray frame;
        QByteArray answer;
    } sent[] = {
        {frameOf("\"SIA-DCS\"0001R1L1#5555[#5555|Nri1/BA12][X9]"), "ACK"},
        {encryptedFrame("\"*SIA-DCS\"0002R1L1#4321", "#4321|Nri2/FA3]", kOwnKey), "*ACK"},
        {frameOf("\"ADM-CID\"0003R1L1#1234567[#1234567|1130 01 015]"), "ACK"},
        {frameOf("\"ADM-CID\"0004R1L1#12[#12345|3401 02 007]"), "ACK"}, // filed under 12345
        {encryptedFrame("\"*ADM-CID\"0005R1L1#4321", "#4321|1602 00 000]", kOwnKey), "*ACK"},
        // The keyed account's plaintext, and a frame under the wrong key: refused, not stored.
        {frameOf("\"ADM-CID\"0006R1L1#4321[#4321|1130 01 001]"), "NAK"},
        {frameOf("\"SIA-DCS\"0007R1L1#4321[#4321|NBA1]"), "NAK"},
        {encryptedFrame("\"*ADM-CID\"0008R1L1#4321", "#4321|1130 01 001]", "WrongKeyWrongKey"), "DUH"},
    };
    for (const auto& s : sent)
        EXPECT_EQ(tokenOf(exchange(panel, s.frame)), s.answer) << s.frame.constData();

    const QByteArray after = httpGet(metricsPort, "/metrics").second;
    const std::pair<const char*, double> moved[] = {
        {"ardentel_events_received_total{transport=\"tcp\",token=\"SIA-DCS\"}", 1},
        {"ardentel_events_received_total{transport=\"tcp\",token=\"*SIA-DCS\"}", 1},
        {"ardentel_events_received_total{transport=\"tcp\",token=\"ADM-CID\"}", 2},
        {"ardentel_events_received_total{transport=\"tcp\",token=\"*ADM-CID\"}", 1},
        {"ardentel_answers_total{kind=\"ACK\"}", 5},
        {"ardentel_answers_total{kind=\"NAK\"}", 2},
        {"ardentel_answers_total{kind=\"DUH\"}", 1},
        {"ardentel_connections", 1},
        {"ardentel_unforwarded_events", 5},
        {"ardentel_ack_seconds_count", 5},
    };
    for (const auto& [name, delta] : moved)
        EXPECT_EQ(metric(after, name) - std::max(0.0, metric(before, name)), delta) << name << "\n"
                                                                                    << after.constData();
    EXPECT_TRUE(after.contains("ardentel_build_info{version=")) << after.constData();
    EXPECT_TRUE(m_install.waitForOutput("Header account 12 is only the beginning of account 12345"));

    AutomationSim sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(monPort),
                           QStringLiteral("--format"), QStringLiteral("0")}));
    ASSERT_TRUE(sim.waitForLines(6)) << m_install.output().constData();
    const QList<QByteArray> expected{"101000" + QByteArray(11, ' ') + "@" + QByteArray(4, ' '),
                                     "S011[#5555|Nri1/BA12]",
                                     "S011[#4321|Nri2/FA3]",
                                     "Q011 580001234567E13001015",
                                     "Q011 580000012345R40102007",
                                     "5011 184321E60200000"};
    EXPECT_EQ(sim.lines(), expected);
    EXPECT_TRUE(waitUntil([&] {
        return metric(httpGet(metricsPort, "/metrics").second, "ardentel_automation_link_up") == 1 &&
               metric(httpGet(metricsPort, "/metrics").second, "ardentel_unforwarded_events") == 0;
    }));
    EXPECT_EQ(m_install.terminate(), 0) << m_install.output().constData();
    EXPECT_EQ(sim.finish(), 0) << sim.output().constData(); // every line well formed
    const char* events[] = {"BA", "FA", "1130", "3401", "1602", ""};
    const char* accounts[] = {"5555", "4321", "1234567", "12345", "4321", ""};
    const std::vector<JournalRecord> stored = journalSlots(m_install, 6);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_STREQ(stored[i].event, events[i]) << i;
        EXPECT_STREQ(stored[i].account, accounts[i]) << i;
    }
    EXPECT_STREQ(stored[0].zone, "12");
    EXPECT_STREQ(stored[0].partition, "1");

    // An existing kalvor.cfg keeps its zero: SIA-DCS is answered DUH as it always was.
    const RunResult off = runProgram(
        programPath(),
        {QStringLiteral("--dir"), m_install.dir(), QStringLiteral("--set"), QStringLiteral("DC9_SIA_DCS=0")},
        m_install.runtimeDir());
    ASSERT_EQ(off.exitCode, 0) << off.output.constData();
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();
    QTcpSocket again;
    again.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(again.waitForConnected(5000));
    EXPECT_EQ(exchange(again, sent[0].frame), frameOf("\"DUH\"0000L0#[]"));
    EXPECT_EQ(m_install.terminate(), 0);
}

// A small tmpfs over the data directory that can be filled under the running receiver: its disk is
// then full, which stops root as it stops anyone (file modes do not, and a file system with files
// open for writing cannot be made read-only).
class SmallMount {
public:
    explicit SmallMount(const QString& dir) : m_dir(dir.toStdString())
    {
        m_mounted = ::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, "size=4m,mode=0755") == 0;
    }
    ~SmallMount()
    {
        if (m_mounted)
            (void)::umount2(m_dir.c_str(), MNT_DETACH);
    }
    [[nodiscard]] bool mounted() const { return m_mounted; }
    // Writes a file until the disk is full; removes it again with `fill(false)`.
    void fill(bool full)
    {
        const std::string filler = m_dir + "/filler";
        if (!full) {
            ::unlink(filler.c_str());
            return;
        }
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const std::vector<char> block(4096, 'f');
        while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
        }
        while (fd >= 0 && ::write(fd, block.data(), 1) > 0) {
        }
        if (fd >= 0)
            ::close(fd);
    }

private:
    std::string m_dir;
    bool m_mounted = false;
};

TEST_F(FormatsKeysMetrics, HealthTurns503WhenTheDataDirectoryRefusesWrites)
{
    SmallMount mount(m_install.dir());
    if (!mount.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const quint16 port = freePort();
    const quint16 metricsPort = freePort();
    ASSERT_TRUE(m_install.configure(port, {QStringLiteral("Metrics_Port=%1").arg(metricsPort)}));
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();
    QTcpSocket panel;
    panel.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(panel.waitForConnected(5000));
    EXPECT_EQ(tokenOf(exchange(panel, frameOf("\"ADM-CID\"0001L0#1234[#1234|1130 01 015]"))), "ACK");
    EXPECT_EQ(httpGet(metricsPort, "/health").first, 200);

    // The disk is full: sooner or later the log must grow, its commit fails, and that event is not
    // acknowledged.
    mount.fill(true);
    bool refused = false;
    for (int n = 2; n < 400 && !refused; ++n) {
        const QByteArray number = QByteArray::number(n).rightJustified(4, '0');
        panel.write(frameOf("\"ADM-CID\"" + number + "L0#1234[#1234|1130 01 " + number.right(3) + "]"));
        QByteArray answer;
        refused = !waitUntil(
            [&] {
                answer += panel.readAll();
                return answer.endsWith('\r');
            },
            300);
    }
    EXPECT_TRUE(refused) << "a full disk took every event";
    std::pair<int, QByteArray> health;
    EXPECT_TRUE(waitUntil([&] {
        health = httpGet(metricsPort, "/health");
        return health.first == 503;
    })) << health.first;
    EXPECT_TRUE(health.second.startsWith("the last commit failed")) << health.second.constData();
    mount.fill(false);
    EXPECT_EQ(m_install.terminate(), 0);
}

} // namespace

// dc09-send: a DC-09 panel simulator for commissioning a receiver and for tests. Sends Contact ID
// events, link tests or raw frames over one or many TCP connections and checks every answer.
#include "ToolCommandLine.h"
#include "dc09/Aes.h"
#include "dc09/Dc09Codec.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <sys/resource.h>
#include <vector>

namespace {

struct Options {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 7777;
    bool linkTest = false;
    QByteArray sia; // SIA-DCS data after the account's "|" ("Nri1/BA12"); empty: Contact ID
    QByteArray account = "1234";
    QByteArray headerAccount; // empty: the account above
    QByteArray receiver;
    QByteArray line;
    QByteArray event = "1130";
    QByteArray partition = "01";
    QByteArray zone = "001";
    QByteArray extension;
    QString time; // "now", "none" or HH:MM:SS,MM-DD-YYYY
    std::vector<std::uint8_t> key;
    std::optional<QByteArray> raw;
    bool replay = false; // every message carries the first one's cipher text
    int sequence = 1;    // --seq, or sequenceFromClock()
    int count = 1;
    int connections = 1;
    int timeoutMs = 10000;
    // Empty: the message must be accepted ("ACK" or "*ACK"); a "NAK" or "DUH" is a refusal.
    QString expect;
    bool quiet = false;
};

// The first sequence number when --seq is not given: the clock's hundredths of a second, 1 to 9999.
// A run a moment after the last starts past its numbers, so the receiver does not take its messages
// for repeats; the numbers come round again only after 100 s, beyond the receiver's 60 s memory.
int sequenceFromClock()
{
    return int(QDateTime::currentMSecsSinceEpoch() / 10 % 9999) + 1;
}

QByteArray hexUpper(const std::uint8_t* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).toHex().toUpper();
}

// Shows control bytes so a frame reads on one line.
QByteArray printable(const QByteArray& bytes)
{
    QByteArray out;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "<LF>";
        } else if (c == '\r') {
            out += "<CR>";
        } else if (u < 0x20 || u >= 0x7F) {
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<QByteArray> unescape(const QString& text)
{
    const QByteArray in = text.toLatin1();
    QByteArray out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        switch (c) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            const QByteArray digits = in.mid(i + 1, 2);
            const QByteArray byte = QByteArray::fromHex(digits);
            if (digits.size() != 2 || byte.size() != 1 ||
                byte.toHex().compare(digits, Qt::CaseInsensitive) != 0) {
                return std::nullopt;
            }
            out += byte;
            i += 2;
            break;
        }
        default:
            out += '\\';
            out += c;
            break;
        }
    }
    return out;
}

QByteArray timeStamp(const QDateTime& t)
{
    return QByteArray("_") + t.toString(QStringLiteral("HH:mm:ss,MM-dd-yyyy")).toLatin1();
}

bool makeRoundKeys(const std::vector<std::uint8_t>& key, AES_Round_Keys& roundKeys)
{
    return AES_Expand_Key(key.data(), int(key.size() * 8), roundKeys);
}

// One frame, LF to CR, with the given sequence number.
QByteArray buildFrame(const Options& o, int sequence)
{
    const bool encrypted = !o.key.empty();
    QByteArray data; // what follows "[" in a plain frame
    if (o.linkTest) {
        data = "]";
    } else if (!o.sia.isEmpty()) {
        data = "#" + o.account + "|" + o.sia + "]";
    } else {
        data = "#" + o.account + "|" + o.event + " " + o.partition + " " + o.zone + "]";
    }
    data += o.extension;
    const QString when =
        o.time.isEmpty() ? (encrypted ? QStringLiteral("now") : QStringLiteral("none")) : o.time;
    if (when == QStringLiteral("now")) {
        data += timeStamp(QDateTime::currentDateTime());
    } else if (when != QStringLiteral("none")) {
        data += "_" + when.toLatin1();
    }

    const QByteArray token = o.linkTest ? "NULL" : !o.sia.isEmpty() ? "SIA-DCS" : "ADM-CID";
    QByteArray body = "\"" + QByteArray(encrypted ? "*" : "") + token + "\"" +
                      QByteArray::number(sequence % 10000).rightJustified(4, '0');
    if (!o.receiver.isEmpty()) {
        body += "R" + o.receiver;
    }
    if (!o.line.isEmpty()) {
        body += "L" + o.line;
    }
    body += "#" + (o.headerAccount.isEmpty() ? o.account : o.headerAccount) + "[";
    if (encrypted) {
        static std::mt19937 fresh{std::random_device{}()};
        std::mt19937 same{1}; // the same padding each time: the same cipher text
        std::mt19937& random = o.replay ? same : fresh;
        const qsizetype clearLength = data.size() + 1; // "|" and the data
        const qsizetype padding = 16 * (clearLength / 16 + 1) - clearLength;
        std::vector<std::uint8_t> plain;
        for (qsizetype i = 0; i < padding; ++i) {
            plain.push_back(std::uint8_t(0x10 + random() % 64)); // never "|" nor a zero byte
        }
        plain.push_back('|');
        plain.insert(plain.end(), data.begin(), data.end());
        if (plain.size() % 16 != 0) {
            plain.resize((plain.size() / 16 + 1) * 16, 0x10);
        }
        AES_Round_Keys roundKeys;
        if (!makeRoundKeys(o.key, roundKeys) || !CBC_Encrypt(plain.data(), plain.size() / 16, roundKeys)) {
            return {};
        }
        body += hexUpper(plain.data(), plain.size());
    } else {
        body += data;
    }
    const std::uint16_t crc =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.constData()), size_t(body.size()));
    return "\n" + QByteArray::number(crc, 16).toUpper().rightJustified(4, '0') +
           QByteArray::number(body.size(), 16).toUpper().rightJustified(4, '0') + body + "\r";
}

struct Verdict {
    bool wellFormed = false;
    QByteArray token;
    QString detail;
};

// Checks one answer frame: framing, length, CRC, token, the echoed sequence and, for "*ACK",
// the decrypted text.
Verdict checkAnswer(const QByteArray& frame, const Options& o, int sequence)
{
    Verdict v;
    const qsizetype lf = frame.indexOf('\n');
    const qsizetype quote = frame.indexOf('"', lf + 1);
    if (lf < 0 || quote < 0 || lf + 9 > frame.size() || !frame.endsWith('\r')) {
        v.detail = QStringLiteral("not a DC-09 frame");
        return v;
    }
    bool crcOk = false;
    bool lengthOk = false;
    const unsigned sentCrc = frame.mid(lf + 1, 4).toUInt(&crcOk, 16);
    const int sentLength = frame.mid(lf + 5, 4).toInt(&lengthOk, 16);
    const QByteArray body = frame.mid(quote, frame.size() - 1 - quote);
    if (!crcOk || !lengthOk) {
        v.detail = QStringLiteral("CRC or length field is not hex");
        return v;
    }
    QStringList problems;
    if (sentLength != body.size()) {
        problems << QStringLiteral("length %1, body has %2").arg(sentLength).arg(body.size());
    }
    const std::uint16_t crc =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.constData()), size_t(body.size()));
    if (sentCrc != crc) {
        problems << QStringLiteral("CRC %1, computed %2")
                        .arg(QString::number(sentCrc, 16).toUpper(), QString::number(crc, 16).toUpper());
    }
    const qsizetype close = body.indexOf('"', 1);
    v.token = close > 0 ? body.mid(1, close - 1) : QByteArray();
    static const QList<QByteArray> tokens{"ACK", "*ACK", "NAK", "DUH"};
    if (!tokens.contains(v.token)) {
        problems << QStringLiteral("unknown token");
    }
    if (sequence >= 0 && (v.token == "ACK" || v.token == "*ACK")) {
        const QByteArray expected = QByteArray::number(sequence % 10000).rightJustified(4, '0');
        if (body.mid(close + 1, 4) != expected) {
            problems << QStringLiteral("sequence %1 expected %2")
                            .arg(QString::fromLatin1(body.mid(close + 1, 4)), QString::fromLatin1(expected));
        }
    }
    if (v.token == "*ACK" && !o.key.empty()) {
        const QByteArray hex = body.mid(body.indexOf('[') + 1);
        QByteArray bytes = QByteArray::fromHex(hex);
        bytes.truncate(bytes.size() / 16 * 16);
        AES_Round_Keys roundKeys;
        auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
        if (bytes.isEmpty() || !makeRoundKeys(o.key, roundKeys) ||
            !CBC_Decrypt(data, size_t(bytes.size()) / 16, roundKeys) || bytes.indexOf('|') < 0) {
            problems << QStringLiteral("does not decrypt with the key");
        } else {
            v.detail =
                QStringLiteral("plaintext ") + QString::fromLatin1(printable(bytes.mid(bytes.indexOf('|'))));
        }
    }
    v.wellFormed = problems.isEmpty();
    if (v.wellFormed) {
        v.detail = QStringLiteral("decodes: CRC, length and token ok") +
                   (v.detail.isEmpty() ? QString() : QStringLiteral(", ") + v.detail);
    } else {
        v.detail = QStringLiteral("BAD: ") + problems.join(QStringLiteral("; "));
    }
    return v;
}

struct Totals {
    int sent = 0;
    int good = 0;     // the answer (or silence) that was expected
    int accepted = 0; // "ACK" or "*ACK"
    int naks = 0;
    int duhs = 0;
    int bad = 0;      // not a well-formed answer frame
    int noAnswer = 0; // sent on a connection, but nothing came back
    int notSent = 0;  // no connection to send on
    int finished = 0; // connections done
};

// What an answer is worth against --expect. Without it only "ACK" and "*ACK" count: an installer
// must not read a refused panel as a working one.
bool matchesExpectation(const Verdict& v, const QString& expect)
{
    if (!v.wellFormed || expect == QStringLiteral("none"))
        return false;
    if (expect.isEmpty())
        return v.token == "ACK" || v.token == "*ACK";
    return expect == QStringLiteral("any") || QString::fromLatin1(v.token) == expect;
}

// One panel connection: sends its messages one at a time, each after the previous answer.
class Panel : public QObject {
public:
    Panel(int id, std::vector<int> sequences, const Options& options, Totals& totals, QObject* parent)
        : QObject(parent), m_id(id), m_sequences(std::move(sequences)), m_options(options), m_totals(totals)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] { timedOut(); });
        connect(&m_socket, &QTcpSocket::connected, this, [this] {
            // One small frame per answer: waiting to fill a segment would only add latency.
            m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            sendNext();
        });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { readAnswer(); });
        connect(&m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
            if (m_socket.state() != QAbstractSocket::ConnectedState) {
                failRemaining(m_socket.errorString());
            }
        });
        m_timer.start(m_options.timeoutMs);
        m_socket.connectToHost(m_options.host, m_options.port);
    }

private:
    void say(const QString& text) const
    {
        if (!m_options.quiet) {
            std::printf("[%d] %s\n", m_id, qPrintable(text));
            std::fflush(stdout);
        }
    }

    void sendNext()
    {
        if (m_next >= m_sequences.size()) {
            finish();
            return;
        }
        const QByteArray frame = m_options.raw ? *m_options.raw : buildFrame(m_options, m_sequences[m_next]);
        if (frame.isEmpty()) {
            failRemaining(QStringLiteral("the frame could not be encrypted"));
            return;
        }
        m_buffer.clear();
        say(QStringLiteral("sent:  ") + QString::fromLatin1(printable(frame)));
        m_socket.write(frame);
        ++m_totals.sent;
        m_awaiting = true;
        m_timer.start(m_options.timeoutMs);
    }

    void readAnswer()
    {
        m_buffer += m_socket.readAll();
        const qsizetype lf = m_buffer.indexOf('\n');
        const qsizetype cr = lf < 0 ? -1 : m_buffer.indexOf('\r', lf);
        if (cr < 0) {
            return;
        }
        const QByteArray frame = m_buffer.left(cr + 1);
        m_timer.stop();
        // A raw frame's sequence is unknown, so only the answer's form is checked (-1).
        const int sequence = m_options.raw ? -1 : m_sequences[m_next];
        const Verdict v = checkAnswer(frame, m_options, sequence);
        const bool good = matchesExpectation(v, m_options.expect);
        QString refusal;
        if (v.wellFormed && v.token == "NAK") {
            ++m_totals.naks;
            refusal = QStringLiteral("  refused (NAK: see the receiver's log for the reason)");
        } else if (v.wellFormed && v.token == "DUH") {
            ++m_totals.duhs;
            refusal = QStringLiteral("  refused (DUH: the receiver did not understand the message)");
        } else if (v.wellFormed) {
            ++m_totals.accepted;
        } else {
            ++m_totals.bad;
        }
        say(QStringLiteral("reply: ") + QString::fromLatin1(printable(frame)) + QStringLiteral("  ") +
            v.detail + refusal + (good ? QString() : QStringLiteral("  [unexpected]")));
        if (good)
            ++m_totals.good;
        m_awaiting = false;
        ++m_next;
        sendNext();
    }

    void timedOut()
    {
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            failRemaining(QStringLiteral("no connection within the time-out"));
            return;
        }
        ++m_totals.noAnswer;
        if (m_options.expect == QStringLiteral("none")) {
            say(QStringLiteral("no answer, as expected"));
            ++m_totals.good;
        } else {
            say(QStringLiteral("no answer within %1 ms").arg(m_options.timeoutMs));
        }
        m_awaiting = false;
        ++m_next;
        sendNext();
    }

    void failRemaining(const QString& why)
    {
        if (m_done) {
            return;
        }
        m_timer.stop();
        if (m_awaiting) {
            // The message went out on a connection that then ended: the receiver had it and said nothing.
            m_awaiting = false;
            ++m_totals.noAnswer;
            if (m_options.expect == QStringLiteral("none"))
                ++m_totals.good;
            say(QStringLiteral("no answer: the connection ended (%1)").arg(why));
            ++m_next;
        }
        const auto left = int(m_sequences.size() - m_next);
        if (left > 0)
            say(QStringLiteral("connection failed: %1 (%2 message(s) not sent)").arg(why).arg(left));
        m_totals.notSent += left;
        m_next = m_sequences.size();
        finish();
    }

    void finish()
    {
        if (m_done) {
            return;
        }
        m_done = true;
        m_timer.stop();
        m_socket.disconnect(this);
        m_socket.abort();
        if (++m_totals.finished == int(static_cast<QObject*>(parent())->children().size())) {
            QCoreApplication::exit(0);
        }
    }

    int m_id;
    std::vector<int> m_sequences;
    std::size_t m_next = 0;
    const Options& m_options;
    Totals& m_totals;
    QTcpSocket m_socket;
    QTimer m_timer;
    QByteArray m_buffer;
    bool m_awaiting = false; // the current message is on the wire, its answer not yet read
    bool m_done = false;
};

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit); // a lower limit only caps --connections
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dc09-send"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends SIA DC-09 messages (ADM-CID events or NULL link tests, plain or AES-encrypted) to a receiver\n"
        "and checks each answer (framing, length, CRC, token, sequence; \"*ACK\" is decrypted with the "
        "key).\n"
        "Exit status 0 when every message got the expected answer (by default \"ACK\" or \"*ACK\"),\n"
        "1 otherwise (a \"NAK\" or \"DUH\" is a refusal), 2 on a usage error."));
    parser.addHelpOption();
    const QList<QCommandLineOption> options{
        {QStringLiteral("host"), QStringLiteral("Receiver address (default 127.0.0.1)."),
         QStringLiteral("host")},
        {QStringLiteral("port"), QStringLiteral("Receiver port (default 7777)."), QStringLiteral("port")},
        {QStringLiteral("null"), QStringLiteral("Send NULL link tests instead of ADM-CID events.")},
        {QStringLiteral("sia"),
         QStringLiteral("Send SIA-DCS messages with this data after the account, e.g. \"Nri1/BA12\"."),
         QStringLiteral("data")},
        {QStringLiteral("account"), QStringLiteral("Account number, hex digits (default 1234)."),
         QStringLiteral("hex")},
        {QStringLiteral("header-account"),
         QStringLiteral("Account in the header when it is to differ from the one in the data."),
         QStringLiteral("hex")},
        {QStringLiteral("receiver"), QStringLiteral("Receiver number (R field); omitted when not given."),
         QStringLiteral("hex")},
        {QStringLiteral("line"), QStringLiteral("Line number (L field); omitted when not given."),
         QStringLiteral("hex")},
        {QStringLiteral("event"), QStringLiteral("Qualifier and event code, 4 digits (default 1130)."),
         QStringLiteral("QEEE")},
        {QStringLiteral("partition"), QStringLiteral("Partition, 2 digits (default 01)."),
         QStringLiteral("GG")},
        {QStringLiteral("zone"), QStringLiteral("Zone or user, 3 digits (default 001)."),
         QStringLiteral("ZZZ")},
        {QStringLiteral("quality"), QStringLiteral("Adds the extension [Q<percent>]."),
         QStringLiteral("percent")},
        {QStringLiteral("address"), QStringLiteral("Adds the extension [B<address>]."),
         QStringLiteral("address")},
        {QStringLiteral("ext"), QStringLiteral("Adds this extension text as it stands, e.g. \"[Xabc]\"."),
         QStringLiteral("text")},
        {QStringLiteral("time"),
         QStringLiteral(
             "Time stamp: now, none or HH:MM:SS,MM-DD-YYYY (default: now when encrypted, else none)."),
         QStringLiteral("when")},
        {QStringLiteral("key"), QStringLiteral("Encrypt with this AES key: 32, 48 or 64 hex digits."),
         QStringLiteral("hex")},
        {QStringLiteral("raw"),
         QStringLiteral(
             "Send this text instead of a built frame; \\n \\r \\t \\0 \\\\ and \\xHH are understood."),
         QStringLiteral("text")},
        {QStringLiteral("raw-hex"),
         QStringLiteral("Send these bytes, given as hex, instead of a built frame."), QStringLiteral("hex")},
        {QStringLiteral("replay"),
         QStringLiteral("Every message carries the first one's cipher text under its own sequence\n"
                        "number, as a captured frame sent again would (needs --key).")},
        {QStringLiteral("seq"),
         QStringLiteral("First sequence number, 0 to 9999 (default: from the clock, so a second run\n"
                        "within a minute is not taken for a repeat)."),
         QStringLiteral("n")},
        {QStringLiteral("count"), QStringLiteral("Messages to send in all (default 1)."),
         QStringLiteral("n")},
        {QStringLiteral("connections"),
         QStringLiteral("Concurrent connections sharing the messages (default 1)."), QStringLiteral("c")},
        {QStringLiteral("timeout"), QStringLiteral("Milliseconds to wait for each answer (default 10000)."),
         QStringLiteral("ms")},
        {QStringLiteral("expect"),
         QStringLiteral("ACK, *ACK, NAK, DUH, any (any well-formed answer) or none (no answer wanted);\n"
                        "default: ACK or *ACK."),
         QStringLiteral("token")},
        {QStringLiteral("quiet"), QStringLiteral("Print only the summary.")},
    };
    parser.addOptions(options);
    parseCommandLineOrExit(parser, "dc09-send");

    auto usage = [](const QString& text) {
        std::fprintf(stderr, "dc09-send: %s\n", qPrintable(text));
        return 2;
    };
    auto number = [&](const char* name, int low, int high, int& target) {
        if (!parser.isSet(QString::fromLatin1(name))) {
            return true;
        }
        bool ok = false;
        const int value = parser.value(QString::fromLatin1(name)).toInt(&ok);
        if (!ok || value < low || value > high) {
            return false;
        }
        target = value;
        return true;
    };

    Options o;
    o.sequence = sequenceFromClock();
    int port = 7777;
    if (!number("port", 1, 65535, port) || !number("seq", 0, 9999, o.sequence) ||
        !number("count", 1, 10000000, o.count) || !number("connections", 1, 100000, o.connections) ||
        !number("timeout", 1, 3600000, o.timeoutMs)) {
        return usage(QStringLiteral("a numeric option is out of range (see --help)"));
    }
    o.port = quint16(port);
    if (parser.isSet(QStringLiteral("host"))) {
        o.host = parser.value(QStringLiteral("host"));
    }
    o.linkTest = parser.isSet(QStringLiteral("null"));
    o.sia = parser.value(QStringLiteral("sia")).toLatin1();
    const auto text = [&](const char* name, QByteArray& target) {
        if (parser.isSet(QString::fromLatin1(name))) {
            target = parser.value(QString::fromLatin1(name)).toLatin1();
        }
    };
    text("account", o.account);
    text("header-account", o.headerAccount);
    text("receiver", o.receiver);
    text("line", o.line);
    text("event", o.event);
    text("partition", o.partition);
    text("zone", o.zone);
    if (parser.isSet(QStringLiteral("quality"))) {
        o.extension += "[Q" + parser.value(QStringLiteral("quality")).toLatin1() + "]";
    }
    if (parser.isSet(QStringLiteral("address"))) {
        o.extension += "[B" + parser.value(QStringLiteral("address")).toLatin1() + "]";
    }
    if (parser.isSet(QStringLiteral("ext"))) {
        o.extension += parser.value(QStringLiteral("ext")).toLatin1();
    }
    o.time = parser.value(QStringLiteral("time"));
    o.replay = parser.isSet(QStringLiteral("replay"));
    if (o.replay && (o.time.isEmpty() || o.time == QStringLiteral("now"))) {
        o.time = QString::fromLatin1(timeStamp(QDateTime::currentDateTime()).mid(1)); // one stamp for all
    }
    if (parser.isSet(QStringLiteral("key"))) {
        const QByteArray hex = parser.value(QStringLiteral("key")).toLatin1();
        const QByteArray bytes = QByteArray::fromHex(hex);
        if ((hex.size() != 32 && hex.size() != 48 && hex.size() != 64) || bytes.size() * 2 != hex.size() ||
            bytes.toHex().compare(hex, Qt::CaseInsensitive) != 0) {
            return usage(QStringLiteral("--key takes 32, 48 or 64 hex digits"));
        }
        o.key.assign(bytes.begin(), bytes.end());
    }
    if (o.replay && o.key.empty()) {
        return usage(QStringLiteral("--replay needs --key"));
    }
    if (parser.isSet(QStringLiteral("raw"))) {
        o.raw = unescape(parser.value(QStringLiteral("raw")));
        if (!o.raw) {
            return usage(QStringLiteral("--raw has a broken \\x escape"));
        }
    } else if (parser.isSet(QStringLiteral("raw-hex"))) {
        const QByteArray hex = parser.value(QStringLiteral("raw-hex")).toLatin1();
        o.raw = QByteArray::fromHex(hex);
        if (o.raw->size() * 2 != hex.size()) {
            return usage(QStringLiteral("--raw-hex takes an even number of hex digits"));
        }
    }
    if (parser.isSet(QStringLiteral("expect"))) {
        o.expect = parser.value(QStringLiteral("expect"));
        static const QStringList allowed{QStringLiteral("ACK"), QStringLiteral("*ACK"),
                                         QStringLiteral("NAK"), QStringLiteral("DUH"),
                                         QStringLiteral("any"), QStringLiteral("none")};
        if (!allowed.contains(o.expect)) {
            return usage(QStringLiteral("--expect takes ACK, *ACK, NAK, DUH, any or none"));
        }
    }
    o.quiet = parser.isSet(QStringLiteral("quiet"));
    o.connections = std::min(o.connections, o.count);
    raiseOpenFileLimit();

    Totals totals;
    QObject panels;
    QElapsedTimer clock;
    clock.start();
    int sequence = o.sequence;
    for (int c = 0; c < o.connections; ++c) {
        const int share = o.count / o.connections + (c < o.count % o.connections ? 1 : 0);
        std::vector<int> sequences;
        for (int i = 0; i < share; ++i) {
            sequences.push_back(sequence);
            sequence = (sequence + 1) % 10000;
        }
        new Panel(c, std::move(sequences), o, totals, &panels);
    }
    (void)QCoreApplication::exec();
    const qint64 ms = clock.elapsed();
    std::printf("sent %d, acknowledged %d, refused %d (NAK %d, DUH %d), bad answers %d, no answer %d, "
                "not sent %d, in %lld ms\n",
                totals.sent, totals.accepted, totals.naks + totals.duhs, totals.naks, totals.duhs, totals.bad,
                totals.noAnswer, totals.notSent, static_cast<long long>(ms));
    return totals.good == o.count ? 0 : 1;
}

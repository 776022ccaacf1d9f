// Panel load with traceable events, and the search for them in kalvor.dat and extevn.dat.
#include "PanelLoad.h"

#include "dc09/Dc09Codec.h"
#include "store/EventLog.h"
#include "store/JournalRecord.h"

#include <QFile>
#include <QHostAddress>
#include <QTimer>
#include <algorithm>
#include <cstring>

namespace e2e {

namespace {
QByteArray accountOf(int panel)
{
    return QByteArray::number(0x1000 + panel, 16).toUpper();
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray textField(const char* field, std::size_t width)
{
    return QByteArray(field, qsizetype(::strnlen(field, width)));
}
} // namespace

QByteArray panelEventFrame(const PanelEvent& event)
{
    const QByteArray account = accountOf(event.panel);
    const QByteArray body =
        "\"ADM-CID\"" + QByteArray::number(event.number % 9999 + 1).rightJustified(4, '0') + "R1L1#" +
        account + "[#" + account + "|1130 " + QByteArray::number(event.number / 1000).rightJustified(2, '0') +
        " " + QByteArray::number(event.number % 1000).rightJustified(3, '0') + "][X" +
        QByteArray::number(event.panel) + "." + QByteArray::number(event.number) + "]";
    const std::uint16_t crc =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.constData()), size_t(body.size()));
    return "\n" + QByteArray::number(crc, 16).toUpper().rightJustified(4, '0') +
           QByteArray::number(body.size(), 16).toUpper().rightJustified(4, '0') + body + "\r";
}

struct PanelLoad::Panel {
    int id = 0;
    int next = 0;
    bool busy = false;
    QTcpSocket socket;
    QByteArray buffer;
    QTimer retry;
    QTimer pause;
};

PanelLoad::PanelLoad(quint16 port, int panels, int firstNumber, int endNumber)
    : m_port(port), m_endNumber(std::min(endNumber, 100000))
{
    for (int i = 0; i < panels; ++i) {
        auto panel = std::make_unique<Panel>();
        panel->id = i;
        panel->next = firstNumber;
        Panel* p = panel.get();
        p->retry.setSingleShot(true);
        p->pause.setSingleShot(true);
        QObject::connect(&p->socket, &QTcpSocket::readyRead, &p->socket, [this, p] { read(*p); });
        QObject::connect(&p->retry, &QTimer::timeout, &p->socket, [this, p] { retry(*p); });
        QObject::connect(&p->pause, &QTimer::timeout, &p->socket, [this, p] { send(*p); });
        // A retry's new connection carries the event again once it is up.
        QObject::connect(&p->socket, &QTcpSocket::connected, &p->socket, [this, p] {
            if (p->busy)
                write(*p);
        });
        p->socket.connectToHost(QHostAddress::LocalHost, port);
        m_panels.push_back(std::move(panel));
    }
}

PanelLoad::~PanelLoad() = default;

bool PanelLoad::connectAll(int timeoutMs)
{
    for (auto& p : m_panels) {
        if (p->socket.state() != QAbstractSocket::ConnectedState && !p->socket.waitForConnected(timeoutMs))
            return false;
    }
    return true;
}

void PanelLoad::start()
{
    m_running = true;
    for (auto& p : m_panels)
        send(*p);
}

void PanelLoad::stop()
{
    m_running = false;
    for (auto& p : m_panels) {
        p->retry.stop();
        p->pause.stop();
    }
}

bool PanelLoad::finished() const
{
    return std::all_of(m_panels.begin(), m_panels.end(),
                       [this](const auto& p) { return !p->busy && p->next >= m_endNumber; });
}

void PanelLoad::send(Panel& panel)
{
    if (!m_running || panel.busy || panel.next >= m_endNumber)
        return;
    panel.busy = true;
    switch (panel.socket.state()) {
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        break; // sent once connected
    case QAbstractSocket::UnconnectedState:
    case QAbstractSocket::ClosingState:
        if (m_retryMs > 0) {
            retry(panel);
            break;
        }
        write(panel);
        break;
    default:
        write(panel);
        break;
    }
}

void PanelLoad::write(Panel& panel)
{
    panel.socket.write(panelEventFrame({panel.id, panel.next}));
    if (m_retryMs > 0)
        panel.retry.start(m_retryMs);
}

void PanelLoad::retry(Panel& panel)
{
    if (!m_running || !panel.busy)
        return;
    ++m_retries;
    panel.buffer.clear();
    panel.socket.abort();
    panel.socket.connectToHost(QHostAddress::LocalHost, m_port);
    panel.retry.start(m_retryMs); // also when the connection does not come up
}

void PanelLoad::read(Panel& panel)
{
    panel.buffer += panel.socket.readAll();
    for (qsizetype cr = panel.buffer.indexOf('\r'); cr >= 0; cr = panel.buffer.indexOf('\r')) {
        const QByteArray answer = panel.buffer.left(cr + 1);
        panel.buffer.remove(0, cr + 1);
        if (!panel.busy)
            continue; // nothing was waiting for it
        panel.retry.stop();
        if (answer.contains("\"ACK\""))
            m_acknowledged.insert({panel.id, panel.next});
        else
            ++m_refused;
        ++panel.next;
        panel.busy = false;
        if (m_pauseMs > 0 && m_running)
            panel.pause.start(m_pauseMs);
        else
            send(panel);
    }
}

std::vector<PanelEvent> missingFromLog(const QString& dir, const std::set<PanelEvent>& events)
{
    EventLog log((dir + QStringLiteral("/events.db")).toStdString(), EventLog::Role::Reader);
    std::set<PanelEvent> found;
    for (const LoggedEvent& e : log.receivedSince(0)) {
        bool ok = false;
        const JournalRecord& r = e.record;
        const int panel = textField(r.account, sizeof r.account).toInt(&ok, 16) - 0x1000;
        const int number = textField(r.partition, sizeof r.partition).toInt() * 1000 +
                           textField(r.zone, sizeof r.zone).toInt();
        if (ok && QByteArray::fromStdString(e.extended) ==
                      "[X" + QByteArray::number(panel) + "." + QByteArray::number(number) + "]")
            found.insert({panel, number});
    }
    std::vector<PanelEvent> missing;
    for (const PanelEvent& e : events) {
        if (!found.count(e))
            missing.push_back(e);
    }
    return missing;
}

std::vector<PanelEvent> missingFromJournal(const QString& dir, const std::set<PanelEvent>& events)
{
    QByteArray image = fileBytes(dir + QStringLiteral("/kalvor.dat"));
    QByteArray extended = fileBytes(dir + QStringLiteral("/extevn.dat"));
    // A file left short (written on a full disk) reads as zeros beyond its end, as the program loads it.
    if (image.size() < qsizetype(journal::kImageSize))
        image.append(QByteArray(qsizetype(journal::kImageSize) - image.size(), '\0'));
    if (extended.size() < qsizetype(journal::kExtendedImageSize))
        extended.append(QByteArray(qsizetype(journal::kExtendedImageSize) - extended.size(), '\0'));
    std::set<PanelEvent> found;
    if (image.size() == qsizetype(journal::kImageSize) &&
        extended.size() == qsizetype(journal::kExtendedImageSize)) {
        for (std::size_t i = 0; i < journal::kSlots; ++i) {
            JournalRecord r;
            std::memcpy(&r, image.constData() + journal::kHeaderSize + i * sizeof r, sizeof r);
            if (!(r.status & journal::kStored))
                continue;
            bool ok = false;
            const int panel = textField(r.account, sizeof r.account).toInt(&ok, 16) - 0x1000;
            const int number = textField(r.partition, sizeof r.partition).toInt() * 1000 +
                               textField(r.zone, sizeof r.zone).toInt();
            const QByteArray text =
                textField(extended.constData() + i * journal::kExtendedSlotSize, journal::kExtendedSlotSize);
            if (ok && text == "[X" + QByteArray::number(panel) + "." + QByteArray::number(number) + "]")
                found.insert({panel, number});
        }
    }
    std::vector<PanelEvent> missing;
    for (const PanelEvent& e : events) {
        if (!found.count(e))
            missing.push_back(e);
    }
    return missing;
}

} // namespace e2e

// Panel load with traceable events, and the search for them in kalvor.dat and extevn.dat.
#include "PanelLoad.h"

#include "dc09/Dc09Codec.h"
#include "store/JournalRecord.h"

#include <QFile>
#include <QHostAddress>
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
};

PanelLoad::PanelLoad(quint16 port, int panels, int firstNumber)
{
    for (int i = 0; i < panels; ++i) {
        auto panel = std::make_unique<Panel>();
        panel->id = i;
        panel->next = firstNumber;
        Panel* p = panel.get();
        QObject::connect(&p->socket, &QTcpSocket::readyRead, &p->socket, [this, p] { read(*p); });
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
}

void PanelLoad::send(Panel& panel)
{
    if (!m_running || panel.busy || panel.next >= 100000)
        return;
    panel.busy = true;
    panel.socket.write(panelEventFrame({panel.id, panel.next}));
}

void PanelLoad::read(Panel& panel)
{
    panel.buffer += panel.socket.readAll();
    for (qsizetype cr = panel.buffer.indexOf('\r'); cr >= 0; cr = panel.buffer.indexOf('\r')) {
        const QByteArray answer = panel.buffer.left(cr + 1);
        panel.buffer.remove(0, cr + 1);
        if (answer.contains("\"ACK\""))
            m_acknowledged.insert({panel.id, panel.next});
        else
            ++m_refused;
        ++panel.next;
        panel.busy = false;
        send(panel);
    }
}

std::vector<PanelEvent> missingFromJournal(const QString& dir, const std::set<PanelEvent>& events)
{
    const QByteArray image = fileBytes(dir + QStringLiteral("/kalvor.dat"));
    const QByteArray extended = fileBytes(dir + QStringLiteral("/extevn.dat"));
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

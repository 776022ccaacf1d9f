// The main window's log view: lines are put in on top in batches and the oldest fall out.
#include "ui/SystemLogView.h"

#include <QKeyEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

namespace {
const QColor kLogRed(255, 0, 0);
}

SystemLogView::SystemLogView(QWidget* parent) : QTextEdit(parent), m_timer(new QTimer(this))
{
    setObjectName(QStringLiteral("RichEdit_Log"));
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QTextEdit::NoWrap);
    setUndoRedoEnabled(false);
    setMinimumHeight(200);
    m_timer->setSingleShot(true);
    m_timer->setInterval(kDelayMillis);
    connect(m_timer, &QTimer::timeout, this, &SystemLogView::flush);
}

void SystemLogView::addLine(const QString& line, LogColour colour)
{
    m_pending.push_back({line, colour});
    if (!m_timer->isActive())
        m_timer->start();
}

void SystemLogView::flush()
{
    m_timer->stop();
    if (m_pending.empty())
        return;
    QTextDocument* doc = document();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    // Lines older than the view keeps would be removed again at once.
    const std::size_t skip = m_pending.size() > std::size_t(kMaxLines) ? m_pending.size() - kMaxLines : 0;
    for (std::size_t i = skip; i < m_pending.size(); ++i) {
        QTextCharFormat format;
        format.setForeground(m_pending[i].colour == LogColour::Red ? kLogRed : QColor(Qt::black));
        const bool empty = doc->isEmpty();
        cursor.movePosition(QTextCursor::Start);
        cursor.insertText(m_pending[i].text, format);
        if (!empty)
            cursor.insertBlock();
    }
    if (doc->blockCount() > kMaxLines) {
        QTextCursor tail(doc->findBlockByNumber(kMaxLines));
        tail.movePosition(QTextCursor::PreviousCharacter);
        tail.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        tail.removeSelectedText();
    }
    cursor.endEditBlock();
    m_pending.clear();
    QTextCursor start(doc);
    start.movePosition(QTextCursor::Start);
    setTextCursor(start);
    emit flushed();
}

void SystemLogView::keyPressEvent(QKeyEvent* event)
{
    const QByteArray typed = event->text().toLatin1();
    for (char c : typed)
        RichEdit_LogKeyPress(c);
    QTextEdit::keyPressEvent(event);
}

void SystemLogView::RichEdit_LogKeyPress(char key)
{
    if (m_keyRing.type(key))
        emit debugSequenceTyped();
}

// The system log view of the main window (RichEdit_Log): newest line on top, each in its colour,
// read-only, and the key handler that reveals the hidden "Data Log" entry.
#pragma once

#include "log/LogSink.h"
#include "log/SystemLog.h"

#include <QString>
#include <QTextEdit>
#include <vector>

class QTimer;

class SystemLogView : public QTextEdit {
    Q_OBJECT
public:
    // The view keeps its newest lines only; the month's file keeps every line.
    static constexpr int kMaxLines = 10000;
    // Every change at the top of a long rich-text view re-lays out all of it, so lines that come
    // in a burst are put in together.
    static constexpr int kDelayMillis = 100;

    explicit SystemLogView(QWidget* parent = nullptr);

    // One log line; it shows within kDelayMillis.
    void addLine(const QString& line, LogColour colour);
    // Puts the lines added since the last flush into the view now.
    void flush();

    // Each character typed while the view has the focus.
    void RichEdit_LogKeyPress(char key);

signals:
    void flushed();            // new lines are in: a shown "System Log" window may follow its file
    void debugSequenceTyped(); // "dbg go" as the first six keys of a block of sixteen

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct PendingLine {
        QString text;
        LogColour colour;
    };
    std::vector<PendingLine> m_pending;
    QTimer* m_timer = nullptr;
    KeyRing m_keyRing;
};

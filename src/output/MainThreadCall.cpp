// Hand-over of work from a background thread to the main thread.
#include "output/MainThreadCall.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <string>

void runOnThreadOf(QObject* context, const std::function<void()>& work)
{
    if (context == nullptr || !work) {
        return;
    }
    if (QThread::currentThread() == context->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(
        context, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

LogSink mainThreadLogSink(QObject* context, LogSink target, std::function<void()> beep)
{
    QPointer<QObject> guard(context);
    return
        [guard, target = std::move(target), beep = std::move(beep)](std::string_view text, LogColour colour) {
            // The text is copied: the caller's view only lives as long as its call.
            const std::string line(text);
            runOnThreadOf(guard.data(), [&] {
                if (target) {
                    target(line, colour);
                }
                if (colour == LogColour::Red && beep) {
                    beep();
                }
            });
        };
}

LogSink queuedLogSink(QObject* context, LogSink target, std::function<void()> beep)
{
    QPointer<QObject> guard(context);
    return [guard, target = std::move(target), beep = std::move(beep)](std::string_view text, LogColour colour) {
        if (!guard)
            return;
        QMetaObject::invokeMethod(
            guard.data(),
            [target, beep, line = std::string(text), colour] {
                if (target)
                    target(line, colour);
                if (colour == LogColour::Red && beep)
                    beep();
            },
            Qt::QueuedConnection);
    };
}

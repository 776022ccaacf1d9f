// Calls that a background thread makes "synchronised with the main thread": the thread blocks
// until the main thread has run them.
#pragma once

#include "log/LogSink.h"

#include <functional>

class QObject;

// Runs `work` on the thread of `context` and waits for it. Called on that thread already, it runs
// at once (a blocking hand-over to one's own thread would never return). When `context` is gone
// the work is dropped.
void runOnThreadOf(QObject* context, const std::function<void()>& work);

// A log sink that may be called from any thread: lines are handed to `target` on the thread of
// `context` and the caller waits until they are written. Red lines are followed by `beep`.
[[nodiscard]] LogSink mainThreadLogSink(QObject* context, LogSink target, std::function<void()> beep = {});

// The same without waiting: lines are queued to the thread of `context`, in order. For threads the
// main thread itself may wait for (the commit thread at the orderly close), which must never wait
// for the main thread in turn.
[[nodiscard]] LogSink queuedLogSink(QObject* context, LogSink target, std::function<void()> beep = {});

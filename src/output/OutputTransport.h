// How the forwarding thread puts one line on the output link and learns its answer, whatever kind
// of link it is.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class OutputTransport {
public:
    enum class Kind { Heartbeat, Report };
    enum class SendResult {
        Sent,         // the whole line went out on a connection; `answer` says what came back on it
        NoConnection, // no TCP connection to send to, or the one lines go to was lost during the
                      // exchange: the link state drops to 0, the step ends
        NothingSent,  // not sent, or only in part (client heartbeat while not connected, a send or
                      // serial write that failed or stopped short, the link switched off): no
                      // answer can count for this line
    };
    struct Exchange {
        SendResult sent = SendResult::NothingSent;
        // The answer that came on the line's own connection after its last byte, within the wait: ACK
        // or NAK (or, on the serial hand-off, whatever the slot held when it was woken). Empty when
        // nothing came.
        std::optional<std::uint8_t> answer;
        // An answer came, since the last exchange, that no line waited for: the answer credited to
        // the last line may have been a late second answer to the one before.
        bool strayBefore = false;
        // A different answer came in the quiet time after this one: which of them was meant for this
        // line cannot be told, so it counts as unanswered.
        bool doubtful = false;
        // A quiet time followed the answer and nothing else came: every answer so far was its line's.
        bool settled = false;
    };

    virtual ~OutputTransport() = default;
    // Called from the forwarding thread; one line in flight at a time. `line` ends with its DC4.
    // Bytes that were waiting on the connection before the line are discarded first, so nothing
    // that came before the line can be its answer. A heartbeat on a TCP client that is not connected
    // is NothingSent; a report there is NoConnection.
    [[nodiscard]] virtual Exchange exchangeLine(const std::string& line, Kind kind,
                                                std::chrono::milliseconds answerWait) = 0;
    // Waits up to `quiet` on the link the last line went out on, and says whether an answer came
    // that no line waited for (since the last exchange or meanwhile).
    [[nodiscard]] virtual bool strayAnswerWithin(std::chrono::milliseconds quiet)
    {
        (void)quiet;
        return false;
    }
};

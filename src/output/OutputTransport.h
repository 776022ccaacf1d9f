// How the forwarding thread puts one line on the output link, whatever kind of link it is.
#pragma once

#include <string>

class OutputTransport {
public:
    enum class Kind { Heartbeat, Report };
    enum class SendResult {
        Sent,         // the whole line went out and the answer slot of `kind` waits for an answer
                      // from the connection it went out on: wait for it
        NoConnection, // no TCP connection to send to: the link state drops to 0, the step ends
        NothingSent,  // not sent, or only in part (client heartbeat while not connected, a send or
                      // serial write that failed or stopped short, the link switched off): nothing
                      // waits, and no answer can count for this line
    };

    virtual ~OutputTransport() = default;
    // Called from the forwarding thread. `line` ends with its DC4. Bytes that were waiting on the
    // connection before the line are discarded first, and the slot is armed only after the last byte
    // has been handed over, in one step with respect to Deliver_Answer. A heartbeat on a TCP client
    // that is not connected is NothingSent; a report there is NoConnection.
    [[nodiscard]] virtual SendResult sendLine(const std::string& line, Kind kind) = 0;
};

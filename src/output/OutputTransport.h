// How the forwarding thread puts one line on the output link, whatever kind of link it is.
#pragma once

#include <string>

class OutputTransport {
public:
    enum class Kind { Heartbeat, Report };
    enum class SendResult {
        Sent,         // the line went out (or was handed to the port): wait for the answer
        NoConnection, // no TCP connection to send to: the link state drops to 0, the step ends unanswered
        NothingSent,  // nothing went out (client heartbeat while not connected, serial port closed,
                      // link closed): wait for the answer anyway, which then does not come
    };

    virtual ~OutputTransport() = default;
    // Called from the forwarding thread. `line` ends with its DC4. A heartbeat on a TCP client that
    // is not connected is NothingSent; a report there is NoConnection.
    [[nodiscard]] virtual SendResult sendLine(const std::string& line, Kind kind) = 0;
};

// The metrics' text as a Prometheus server reads it, and the health that follows from the receiver.
#include "metrics/MetricsRegistry.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace {

TEST(MetricsRegistry, CountsAndHistogramsInTheExpositionFormat)
{
    MetricsRegistry m;
    m.eventReceived(MetricsRegistry::Transport::Tcp, "ADM-CID");
    m.eventReceived(MetricsRegistry::Transport::Tcp, "ADM-CID");
    m.eventReceived(MetricsRegistry::Transport::Udp, "*SIA-DCS");
    m.eventReceived(MetricsRegistry::Transport::Tcp, "WXYZ"); // no token of ours: counted nowhere shown
    m.answered(MetricsRegistry::Answer::Duh);
    m.answered(MetricsRegistry::Answer::None);
    m.acknowledged(0.0007);
    m.acknowledged(0.3);
    m.acknowledged(-1); // a clock step counts as no time
    m.commitFinished(0.004, true);
    m.setConnections(3);
    m.setUnforwardedEvents(12);
    const std::string text = m.prometheusText("1.2\"3");
    const char* lines[] = {
        "ardentel_events_received_total{transport=\"tcp\",token=\"ADM-CID\"} 2\n",
        "ardentel_events_received_total{transport=\"udp\",token=\"*SIA-DCS\"} 1\n",
        "ardentel_events_received_total{transport=\"tcp\",token=\"NULL\"} 0\n",
        "ardentel_answers_total{kind=\"DUH\"} 1\n",
        "ardentel_answers_total{kind=\"none\"} 1\n",
        "ardentel_answers_total{kind=\"ACK\"} 0\n",
        "ardentel_connections 3\n",
        "ardentel_unforwarded_events 12\n",
        "ardentel_automation_link_up 0\n",
        // Buckets are cumulative; the count is the +Inf bucket's.
        "ardentel_ack_seconds_bucket{le=\"0.0005\"} 1\n",
        "ardentel_ack_seconds_bucket{le=\"0.001\"} 2\n",
        "ardentel_ack_seconds_bucket{le=\"0.25\"} 2\n",
        "ardentel_ack_seconds_bucket{le=\"0.5\"} 3\n",
        "ardentel_ack_seconds_bucket{le=\"+Inf\"} 3\n",
        "ardentel_ack_seconds_count 3\n",
        "ardentel_commit_seconds_sum 0.004\n",
        "# TYPE ardentel_commit_seconds histogram\n",
        "ardentel_build_info{version=\"1.2\\\"3\"} 1\n",
    };
    for (const char* line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    // Every line is a comment or "name[{labels}] number".
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        EXPECT_TRUE(line.rfind("# ", 0) == 0 || line.find_last_of(' ') != std::string::npos) << line;
}

TEST(MetricsRegistry, HealthyWhileThePortIsOpenAndTheLastCommitSucceeded)
{
    MetricsRegistry m;
    EXPECT_EQ(m.health().reason, "the receiver port is not open");
    m.setReceiverPortOpen(true);
    EXPECT_TRUE(m.health().ok); // no commit yet
    m.commitFinished(0.01, false, "Disk write error. kalvor.dat");
    EXPECT_FALSE(m.health().ok);
    EXPECT_EQ(m.health().reason, "the last commit failed: Disk write error. kalvor.dat");
    m.setReceiverPortOpen(false);
    EXPECT_EQ(m.health().reason,
              "the receiver port is not open; the last commit failed: Disk write error. kalvor.dat");
    m.setReceiverPortOpen(true);
    m.commitFinished(0.01, true);
    EXPECT_TRUE(m.health().ok);
}

} // namespace

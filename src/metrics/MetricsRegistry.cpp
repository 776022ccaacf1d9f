// The counters and histograms, and their Prometheus text.
#include "metrics/MetricsRegistry.h"

#include <algorithm>
#include <cstdio>

namespace {

void appendNumber(std::string& out, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    out += text;
}

void header(std::string& out, std::string_view name, std::string_view type, std::string_view help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void gauge(std::string& out, std::string_view name, std::string_view help, std::int64_t value)
{
    header(out, name, "gauge", help);
    out.append(name).append(" ").append(std::to_string(value)).append("\n");
}

// A label value as the exposition format wants it: backslash, quote and newline escaped.
std::string labelValue(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

} // namespace

void LatencyHistogram::observe(double seconds)
{
    if (!(seconds >= 0)) // negative or NaN: a clock step, not a duration
        seconds = 0;
    std::size_t bucket = 0;
    while (bucket < kBounds.size() && seconds > kBounds[bucket])
        ++bucket;
    m_buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    const double nanos = std::min(seconds * 1e9, 1e18);
    m_sumNanos.fetch_add(std::uint64_t(nanos), std::memory_order_relaxed);
    m_count.fetch_add(1, std::memory_order_relaxed);
}

void LatencyHistogram::appendText(std::string& out, std::string_view name) const
{
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= kBounds.size(); ++i) {
        cumulative += m_buckets[i].load(std::memory_order_relaxed);
        out.append(name).append("_bucket{le=\"");
        if (i < kBounds.size())
            appendNumber(out, kBounds[i]);
        else
            out += "+Inf";
        out.append("\"} ").append(std::to_string(cumulative)).append("\n");
    }
    out.append(name).append("_sum ");
    appendNumber(out, double(m_sumNanos.load(std::memory_order_relaxed)) / 1e9);
    // The count is the +Inf bucket's, so a scrape in the middle of an observation stays consistent.
    out.append("\n").append(name).append("_count ").append(std::to_string(cumulative)).append("\n");
}

std::size_t MetricsRegistry::tokenIndex(std::string_view token)
{
    for (std::size_t i = 0; i < kTokens.size(); ++i)
        if (kTokens[i] == token)
            return i;
    return kTokens.size();
}

void MetricsRegistry::eventReceived(Transport transport, std::string_view token)
{
    m_events[transport == Transport::Udp ? 1 : 0][tokenIndex(token)].fetch_add(1, std::memory_order_relaxed);
}

void MetricsRegistry::answered(Answer kind)
{
    m_answers[std::size_t(kind)].fetch_add(1, std::memory_order_relaxed);
}

void MetricsRegistry::acknowledged(double secondsSinceArrival)
{
    m_ackSeconds.observe(secondsSinceArrival);
}

void MetricsRegistry::commitFinished(double seconds, bool ok, std::string_view failure)
{
    m_commitSeconds.observe(seconds);
    if (!ok) {
        std::lock_guard lock(m_failureMutex);
        m_failure = failure.empty() ? std::string("the events could not be written") : std::string(failure);
    }
    m_lastCommitFailed.store(!ok, std::memory_order_release);
}

std::uint64_t MetricsRegistry::eventsReceived(Transport transport, std::string_view token) const
{
    return m_events[transport == Transport::Udp ? 1 : 0][tokenIndex(token)].load(std::memory_order_relaxed);
}

std::uint64_t MetricsRegistry::answers(Answer kind) const
{
    return m_answers[std::size_t(kind)].load(std::memory_order_relaxed);
}

MetricsRegistry::Health MetricsRegistry::health() const
{
    Health h;
    if (!m_portOpen.load(std::memory_order_relaxed)) {
        h.ok = false;
        h.reason = "the receiver port is not open";
    }
    if (m_lastCommitFailed.load(std::memory_order_acquire)) {
        std::lock_guard lock(m_failureMutex);
        h.reason += (h.ok ? "" : "; ") + std::string("the last commit failed: ") + m_failure;
        h.ok = false;
    }
    return h;
}

std::string MetricsRegistry::prometheusText(std::string_view version) const
{
    std::string out;
    out.reserve(4096);
    header(out, "ardentel_events_received_total", "counter",
           "DC-09 messages accepted (answered ACK or *ACK), by transport and ID token.");
    static constexpr std::string_view kTransports[] = {"tcp", "udp"};
    for (std::size_t t = 0; t < 2; ++t) {
        for (std::size_t k = 0; k < kTokens.size(); ++k) {
            out.append("ardentel_events_received_total{transport=\"")
                .append(kTransports[t])
                .append("\",token=\"")
                .append(kTokens[k])
                .append("\"} ")
                .append(std::to_string(m_events[t][k].load(std::memory_order_relaxed)))
                .append("\n");
        }
    }
    header(out, "ardentel_answers_total", "counter",
           "Frames answered, by answer: ACK (and *ACK), NAK, DUH, or none (nothing sent back).");
    static constexpr std::string_view kKinds[] = {"ACK", "NAK", "DUH", "none"};
    for (std::size_t k = 0; k < 4; ++k) {
        out.append("ardentel_answers_total{kind=\"")
            .append(kKinds[k])
            .append("\"} ")
            .append(std::to_string(m_answers[k].load(std::memory_order_relaxed)))
            .append("\n");
    }
    gauge(out, "ardentel_connections", "Panel connections open on the receiver port.",
          m_connections.load(std::memory_order_relaxed));
    gauge(out, "ardentel_automation_link_up",
          "1 while the automation software link is up and has acknowledged a heartbeat, else 0.",
          m_linkUp.load(std::memory_order_relaxed) ? 1 : 0);
    gauge(out, "ardentel_unforwarded_events",
          "Events stored and not yet acknowledged by the automation software.",
          m_unforwarded.load(std::memory_order_relaxed));
    gauge(out, "ardentel_accounts_missing", "Accounts whose link tests stopped arriving (supervision lost).",
          m_missing.load(std::memory_order_relaxed));
    header(out, "ardentel_commit_seconds", "histogram",
           "Time to put one group of received events on disk, in seconds.");
    m_commitSeconds.appendText(out, "ardentel_commit_seconds");
    header(out, "ardentel_ack_seconds", "histogram",
           "Time from a frame's arrival to its acknowledgement leaving, in seconds.");
    m_ackSeconds.appendText(out, "ardentel_ack_seconds");
    header(out, "ardentel_build_info", "gauge", "The receiver's version; always 1.");
    out.append("ardentel_build_info{version=\"").append(labelValue(version)).append("\"} 1\n");
    return out;
}

// What the receiver counts for a monitoring system: messages received, answers by kind, commit and
// acknowledgement times, the link and the backlog, and the health that follows from them. Counting
// is a relaxed atomic increment, so the receive path pays next to nothing; the text is made only
// when it is asked for.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

class LatencyHistogram {
public:
    // Upper bounds in seconds, as a Prometheus histogram's "le" labels.
    static constexpr std::array<double, 14> kBounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                    0.1,    0.25,  0.5,    1,     2.5,  5,     10};
    void observe(double seconds);
    // "name_bucket{le=...}", "name_sum" and "name_count" lines.
    void appendText(std::string& out, std::string_view name) const;
    [[nodiscard]] std::uint64_t count() const { return m_count.load(std::memory_order_relaxed); }

private:
    std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> m_buckets{}; // the last one: above all
    std::atomic<std::uint64_t> m_count{0};
    std::atomic<std::uint64_t> m_sumNanos{0};
};

class MetricsRegistry {
public:
    enum class Transport { Tcp, Udp };
    enum class Answer { Ack, Nak, Duh, None }; // "*ACK" counts as ACK; None: nothing was sent back

    // The receive path (main thread).
    void eventReceived(Transport transport, std::string_view token);
    void answered(Answer kind);
    void acknowledged(double secondsSinceArrival);

    // The commit path: each group commit's time and outcome; the failure's text while it lasts.
    void commitFinished(double seconds, bool ok, std::string_view failure = {});
    // Events stored and not yet acknowledged by the automation software.
    void setUnforwardedEvents(std::int64_t count) { m_unforwarded.store(count, std::memory_order_relaxed); }

    // Looked at when the metrics are read.
    void setConnections(std::int64_t count) { m_connections.store(count, std::memory_order_relaxed); }
    void setAutomationLinkUp(bool up) { m_linkUp.store(up, std::memory_order_relaxed); }
    void setAccountsMissing(std::int64_t count) { m_missing.store(count, std::memory_order_relaxed); }
    void setReceiverPortOpen(bool open) { m_portOpen.store(open, std::memory_order_relaxed); }

    // The Prometheus text exposition format, version 0.0.4.
    [[nodiscard]] std::string prometheusText(std::string_view version) const;

    struct Health {
        bool ok = true;
        std::string reason; // why not, for the 503's body
    };
    // Healthy while the receiver port is open and the last commit succeeded (or none has run yet).
    [[nodiscard]] Health health() const;

    [[nodiscard]] std::uint64_t eventsReceived(Transport transport, std::string_view token) const;
    [[nodiscard]] std::uint64_t answers(Answer kind) const;

    static constexpr std::array<std::string_view, 6> kTokens{"ADM-CID", "*ADM-CID", "NULL",
                                                             "*NULL",   "SIA-DCS",  "*SIA-DCS"};

private:
    [[nodiscard]] static std::size_t tokenIndex(std::string_view token); // kTokens.size() for none

    std::array<std::array<std::atomic<std::uint64_t>, kTokens.size() + 1>, 2> m_events{};
    std::array<std::atomic<std::uint64_t>, 4> m_answers{};
    LatencyHistogram m_commitSeconds;
    LatencyHistogram m_ackSeconds;
    std::atomic<std::int64_t> m_unforwarded{0};
    std::atomic<std::int64_t> m_connections{0};
    std::atomic<std::int64_t> m_missing{0};
    std::atomic<bool> m_linkUp{false};
    std::atomic<bool> m_portOpen{false};
    std::atomic<bool> m_lastCommitFailed{false};
    mutable std::mutex m_failureMutex;
    std::string m_failure; // under m_failureMutex
};

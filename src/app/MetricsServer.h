// The metrics and health endpoint: "/metrics" in the Prometheus text format and "/health", served
// by Qt HttpServer on the main thread. Anything else is 404; a client that asks for it gets its
// connection closed after the answer.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class MetricsRegistry;
class MetricsHttp;

class MetricsServer : public QObject {
public:
    // `refresh` brings the gauges that are read rather than counted up to date; it runs on the main
    // thread before every answer.
    MetricsServer(MetricsRegistry& registry, std::function<void()> refresh, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Listens on `address` (empty: 127.0.0.1) and `port`; false with the system's reason.
    [[nodiscard]] bool listen(const QString& address, quint16 port, QString& error);
    [[nodiscard]] bool isListening() const;
    [[nodiscard]] quint16 port() const;
    void close();

private:
    MetricsRegistry& m_registry;
    std::function<void()> m_refresh;
    MetricsHttp* m_http = nullptr;
};

// Two read-only pages over the metrics registry; the HTTP itself is Qt HttpServer's.
#include "app/MetricsServer.h"

#include "metrics/MetricsRegistry.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>

#ifndef ARDENTEL_VERSION
#define ARDENTEL_VERSION "unknown"
#endif

MetricsServer::MetricsServer(MetricsRegistry& registry, std::function<void()> refresh, QObject* parent)
    : QObject(parent), m_registry(registry), m_refresh(std::move(refresh))
{
}

MetricsServer::~MetricsServer()
{
    close();
}

bool MetricsServer::listen(const QString& address, quint16 port, QString& error)
{
    close();
    const QHostAddress host(address.isEmpty() ? QStringLiteral("127.0.0.1") : address);
    if (host.isNull()) {
        error = QStringLiteral("\"%1\" is not an address").arg(address);
        return false;
    }
    m_http = new QHttpServer(this);
    m_http->route(QStringLiteral("/metrics"), [this](const QHttpServerRequest&) {
        if (m_refresh)
            m_refresh();
        return QHttpServerResponse(QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"),
                                   QByteArray::fromStdString(m_registry.prometheusText(ARDENTEL_VERSION)));
    });
    m_http->route(QStringLiteral("/health"), [this](const QHttpServerRequest&) {
        if (m_refresh)
            m_refresh();
        const MetricsRegistry::Health health = m_registry.health();
        return QHttpServerResponse(QByteArrayLiteral("text/plain; charset=utf-8"),
                                   health.ok ? QByteArrayLiteral("ok\n")
                                             : QByteArray::fromStdString(health.reason + "\n"),
                                   health.ok ? QHttpServerResponse::StatusCode::Ok
                                             : QHttpServerResponse::StatusCode::ServiceUnavailable);
    });
    // Our own listening socket, so a port in use is reported with the system's reason.
    auto* socket = new QTcpServer(m_http);
    if (!socket->listen(host, port)) {
        error = socket->errorString();
        close();
        return false;
    }
    m_http->bind(socket);
    return true;
}

bool MetricsServer::isListening() const
{
    return m_http != nullptr && !m_http->servers().isEmpty() && m_http->servers().front()->isListening();
}

quint16 MetricsServer::port() const
{
    return isListening() ? m_http->servers().front()->serverPort() : 0;
}

void MetricsServer::close()
{
    delete m_http;
    m_http = nullptr;
}

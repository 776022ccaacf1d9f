// Two read-only pages over the metrics registry; the HTTP itself is Qt HttpServer's.
#include "app/MetricsServer.h"

#include "metrics/MetricsRegistry.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>

#ifndef ARDENTEL_VERSION
#define ARDENTEL_VERSION "unknown"
#endif

// The server's request handler. Qt's router keeps every connection open whatever the client asks;
// a scraper that sends "Connection: close" and reads to the end would wait for ever.
class MetricsHttp final : public QAbstractHttpServer {
public:
    MetricsHttp(MetricsRegistry& registry, std::function<void()>& refresh, QObject* parent)
        : QAbstractHttpServer(parent), m_registry(registry), m_refresh(refresh)
    {
    }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override
    {
        using Status = QHttpServerResponder::StatusCode;
        const QString path = request.url().path();
        if (path != QStringLiteral("/metrics") && path != QStringLiteral("/health"))
            return false;
        if (m_refresh)
            m_refresh();
        QByteArray body;
        QByteArray type = QByteArrayLiteral("text/plain; charset=utf-8");
        Status status = Status::Ok;
        if (path == QStringLiteral("/metrics")) {
            body = QByteArray::fromStdString(m_registry.prometheusText(ARDENTEL_VERSION));
            type = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
        } else {
            const MetricsRegistry::Health health = m_registry.health();
            body = health.ok ? QByteArrayLiteral("ok\n") : QByteArray::fromStdString(health.reason + "\n");
            status = health.ok ? Status::Ok : Status::ServiceUnavailable;
        }
        const bool close = request.value(QByteArrayLiteral("Connection")).toLower() == "close";
        QHttpServerResponder responder = makeResponder(request, socket);
        if (close) {
            responder.write(body,
                            {{QByteArrayLiteral("Content-Type"), type},
                             {QByteArrayLiteral("Connection"), QByteArrayLiteral("close")}},
                            status);
            socket->disconnectFromHost(); // after what was written has gone out
        } else {
            responder.write(body, type, status);
        }
        return true;
    }

    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override
    {
        makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
    }

private:
    MetricsRegistry& m_registry;
    std::function<void()>& m_refresh;
};

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
    m_http = new MetricsHttp(m_registry, m_refresh, this);
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

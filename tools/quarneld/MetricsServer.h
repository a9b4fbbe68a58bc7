// The HTTP endpoint Prometheus scrapes: GET /metrics on the configured address and port, served
// from the main thread's event loop by Qt's HTTP server. A port that is taken is tried again
// every minute, and the service runs on meanwhile.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class QHttpServer;

class TMetricsServer : public QObject {
    Q_OBJECT

public:
    // text builds the page at each scrape; line reports a failure to listen, once per failure.
    TMetricsServer(std::function<QByteArray()> text, std::function<void(const QString&)> line);
    ~TMetricsServer() override;

    // False while the address cannot be listened on; the server then keeps trying.
    bool Listen(const QHostAddress& address, quint16 port);
    quint16 Port() const { return ListeningPort; }

private:
    void TryListen();

    std::function<QByteArray()> Text;
    std::function<void(const QString&)> Report;
    std::unique_ptr<QHttpServer> Server;
    QHostAddress Address;
    quint16 WantedPort = 0;
    quint16 ListeningPort = 0;
    QTimer RetryTimer;
    bool FailureShown = false;
};

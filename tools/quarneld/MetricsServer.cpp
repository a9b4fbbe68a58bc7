#include "MetricsServer.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>

namespace {

constexpr int Retry_Ms = 60000;
// The version of the text exposition format Prometheus asks for by default.
const char* const Metrics_Type = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

TMetricsServer::TMetricsServer(std::function<QByteArray()> text,
                               std::function<void(const QString&)> line)
    : Text(std::move(text)), Report(std::move(line)) {
    RetryTimer.setObjectName(QStringLiteral("MetricsRetryTimer"));
    RetryTimer.setInterval(Retry_Ms);
    connect(&RetryTimer, &QTimer::timeout, this, &TMetricsServer::TryListen);
}

TMetricsServer::~TMetricsServer() = default;

bool TMetricsServer::Listen(const QHostAddress& address, quint16 port) {
    Address = address;
    WantedPort = port;
    TryListen();
    return ListeningPort != 0;
}

void TMetricsServer::TryListen() {
    auto server = std::make_unique<QHttpServer>();
    server->route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get,
                  [this] { return QHttpServerResponse(Metrics_Type, Text()); });
    server->route(QStringLiteral("/"), QHttpServerRequest::Method::Get, [] {
        return QHttpServerResponse("text/plain; charset=utf-8",
                                   "quarneld: the metrics are at /metrics\n");
    });
    const quint16 port = server->listen(Address, WantedPort);
    if (port == 0) {
        if (!FailureShown) {
            FailureShown = true;
            Report("Metrics: cannot listen on " + Address.toString() + ':' +
                   QString::number(WantedPort) +
                   " (the port may be taken); trying again every minute");
        }
        RetryTimer.start();
        return;
    }
    if (FailureShown) {
        Report("Metrics: listening on " + Address.toString() + ':' + QString::number(port));
    }
    FailureShown = false;
    RetryTimer.stop();
    Server = std::move(server);
    ListeningPort = port;
}

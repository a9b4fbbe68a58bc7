// A link in a process of its own that ends without Stop, as a crash would, once the broker has
// its online message: the broker then publishes the link's will. The will test runs it.
// Usage: mqtt_will_child PORT CLIENT_ID
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "MqttLink.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: mqtt_will_child PORT CLIENT_ID\n", stderr);
        return 2;
    }
    TMqttConfig config;
    config.Host = QStringLiteral("127.0.0.1");
    config.Port = QByteArray(argv[1]).toInt();
    config.ClientId = QString::fromLocal8Bit(argv[2]);
    config.KeepAlive = 5;
    // Never stopped nor deleted: the process ends under it.
    auto* link = new TMqttLink(config);
    const QString status = config.BaseTopic + QStringLiteral("/status");
    link->Subscribe(status);
    // Its own online coming back means the broker has taken it.
    QObject::connect(link, &TMqttLink::MessageReceived,
                     [status](const QString& topic, const QByteArray& payload) {
                         if (topic == status && payload == "online") {
                             std::fflush(stdout);
                             _exit(0);
                         }
                     });
    QTimer::singleShot(10000, [] { _exit(3); });
    QString error;
    if (!link->Start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 4;
    }
    return app.exec();
}

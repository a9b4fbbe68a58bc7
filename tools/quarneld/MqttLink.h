// The service's connection to its MQTT broker, through libmosquitto with its own network
// thread. Everything here is called on the main thread, and the signals arrive there.
//
// The link keeps reconnecting with a growing pause while the broker is away. It publishes
// nothing while it is not connected (nothing piles up in memory): the service publishes its
// whole picture again on Connected.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>

#include "ServiceConfig.h"

struct mosquitto;

class TMqttLink : public QObject {
    Q_OBJECT

public:
    explicit TMqttLink(TMqttConfig config, QObject* parent = nullptr);
    ~TMqttLink() override;  // as Stop(0)
    TMqttLink(const TMqttLink&) = delete;
    TMqttLink& operator=(const TMqttLink&) = delete;

    // Sets the will (offline on <base>/status, retained), TLS and the credentials, and starts
    // connecting in the background. False with a message when libmosquitto refuses a setting
    // (a TLS file it cannot use, say).
    bool Start(QString* error);
    bool IsConnected() const;
    // False, with nothing kept, while not connected.
    bool Publish(const QString& topic, const QByteArray& payload, bool retain, int qos = 0);
    // Kept, and subscribed again on every connect.
    void Subscribe(const QString& topic);
    // Publishes offline on <base>/status, waits up to timeoutMs for it to leave, disconnects
    // and ends the network thread. Safe to call twice.
    void Stop(int timeoutMs);

signals:
    // Connected, with online published on <base>/status already.
    void Connected();
    // reason: libmosquitto's words for why, for one line on standard error.
    void Disconnected(const QString& reason);
    void MessageReceived(const QString& topic, const QByteArray& payload);

private:
    // ... implementation fields
    TMqttConfig Config;
    mosquitto* Client = nullptr;
};

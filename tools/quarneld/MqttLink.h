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
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "ServiceConfig.h"

struct mosquitto;
struct mosquitto_message;
class QTimer;

class TMqttLink : public QObject {
    Q_OBJECT

public:
    explicit TMqttLink(TMqttConfig config, QObject* parent = nullptr);
    ~TMqttLink() override;  // as Stop(0)
    TMqttLink(const TMqttLink&) = delete;
    TMqttLink& operator=(const TMqttLink&) = delete;

    // Sets the will (offline on <base>/status, retained, QoS 1), TLS and the credentials, and
    // starts connecting in the background. False with a message when libmosquitto refuses a
    // setting (a TLS file it cannot read, say). A broker that is not there, refuses the
    // credentials or fails the TLS handshake is no reason: Disconnected tells it, and the link
    // tries again. The name of the host is looked up here, and on every later first attempt.
    bool Start(QString* error);
    bool IsConnected() const;
    // False, with nothing kept, while not connected.
    bool Publish(const QString& topic, const QByteArray& payload, bool retain, int qos = 0);
    // Kept, and subscribed again (QoS 1) on every connect.
    void Subscribe(const QString& topic);
    // Publishes offline on <base>/status, waits up to timeoutMs for the broker to acknowledge
    // it, disconnects and ends the network thread; back within about timeoutMs + 200 ms
    // whatever the broker does. No signal after it. Safe to call twice.
    void Stop(int timeoutMs);

signals:
    // Connected, with online published on <base>/status already.
    void Connected();
    // A connection ended, or the broker cannot be reached or refused an attempt. reason:
    // libmosquitto's words for why, for one line on standard error. While not connected, an
    // attempt that fails for the same reason as the one before is not told again.
    void Disconnected(const QString& reason);
    void MessageReceived(const QString& topic, const QByteArray& payload);

private:
    // The callbacks of libmosquitto's network thread (OnLog also on the main thread, inside
    // connect_async). They note under SyncMutex what Stop waits for and queue the rest.
    static void OnConnect(mosquitto* client, void* self, int rc);
    static void OnDisconnect(mosquitto* client, void* self, int rc);
    static void OnPublish(mosquitto* client, void* self, int mid);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);

    // What the network thread has to tell the main thread, in order.
    struct TEvent {
        enum class TKind { Connected, Disconnected, Failed, Message };
        TKind Kind;
        QString Text;  // the reason, or the message's topic
        QByteArray Payload;
        // Disconnected: after this libmosquitto's network thread gives up. Failed (a TLS error
        // libmosquitto logged on its network thread) may end it too, without a Disconnected.
        bool GivesUp = false;
        int Generation = 0;  // of the client it comes from
    };
    // Called from any thread: queues the event and has the main thread drain the queue. The
    // queued call carries nothing of ours: the event goes through SyncMutex, where the thread
    // checker sees the order (it cannot see the order of Qt's own queue).
    void Post(TEvent event);
    Q_INVOKABLE void DrainEvents();

    // A client with the settings, callbacks and will of the configuration; false with a
    // message when libmosquitto refuses one.
    bool MakeClient(QString* error);
    // Ends the network thread, gently when the connection ends as asked before the deadline
    // (or DisconnectGrace), else by cancelling it, and destroys the client.
    void EndClient(std::chrono::steady_clock::time_point deadline);
    // The connection attempts before libmosquitto's network thread takes over, made again
    // with a growing pause until one gets a socket; see TryConnect in the .cpp. A libmosquitto
    // code when trying again cannot help.
    int TryConnect();
    void ScheduleRetry();
    // After the network thread has given up: a new client, and the attempts start here again.
    void StartAgain();

    // On the main thread, from DrainEvents.
    void HandleConnected();
    void HandleDisconnected(const QString& reason);

    // For Stop. WaitForAck: true once the broker has acknowledged mid or the connection has
    // ended. WaitForDisconnect: true once the connection has ended as Stop asked it to. Both
    // false at the deadline.
    bool WaitForAck(int mid, std::chrono::steady_clock::time_point deadline);
    bool WaitForDisconnect(std::chrono::steady_clock::time_point deadline);

    // Main thread.
    const std::thread::id MainThread = std::this_thread::get_id();
    TMqttConfig Config;
    mosquitto* Client = nullptr;
    int Generation = 0;  // counts the clients made; read by the network thread of the current
    QByteArray StatusTopic;
    QStringList Topics;
    QTimer* RetryTimer = nullptr;
    int Attempts = 0;                        // attempts made here since the last connection
    bool LoopRunning = false;                // the network thread runs
    bool Stopped = false;                    // Stop has begun: the queued events do nothing more
    QString LastReason;                      // the last Disconnected since the last Connected
    std::atomic<bool> ConnectedFlag{false};  // written on the main thread, from DrainEvents

    // Shared with the network thread, under SyncMutex; SyncChanged tells Stop of a change.
    std::mutex SyncMutex;
    std::condition_variable SyncChanged;
    bool NetConnected = false;    // between a successful CONNACK and the end of that connection
    bool EndedOnRequest = false;  // that end was the one Stop asked for
    std::deque<int> AckedMids;    // the latest messages the broker has acknowledged
    QString RefusalReason;        // the broker's refusal of the attempt that is ending
    QString LoggedError;          // the first error libmosquitto logged in this attempt
    std::deque<TEvent> Pending;   // for DrainEvents
};

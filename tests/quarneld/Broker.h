// What the quarneld tests share: a real mosquitto broker of their own on a loopback port, a
// subscriber that records what the broker hands out, and a scrape of the service's metrics.
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ServiceConfig.h"

struct mosquitto;
struct mosquitto_message;

namespace quarneldtest {

// Processes Qt's events (the link's queued calls) until condition holds or timeoutMs has passed;
// false at the deadline.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

// A loopback port the kernel has just handed out: bound to port 0, read back and closed.
int FreePort();
// GET http://127.0.0.1:port/metrics with curl; nullopt when it fails or does not answer 200.
std::optional<QByteArray> Scrape(int port);
// What `promtool check metrics` says about the page (empty: nothing to say), with its exit code
// when that is not 0; nullopt when promtool is not installed.
std::optional<QByteArray> PromtoolSays(const QByteArray& page);

// A mosquitto broker of a test's own: /usr/sbin/mosquitto as a child process, on a free
// loopback port, with no persistence and its configuration and log in a temporary folder. A
// test kills it (SIGKILL, as a crash or a power cut would) and starts it again on the same port
// to see the clients find it again. With withPassword it refuses anonymous clients and knows one
// user, UserName() with Password(). With withTls it speaks TLS only, with a server certificate
// for 127.0.0.1 from a CA of its own (CaFile()); OtherCaFile() is a CA that signed nothing.
class TBroker {
public:
    explicit TBroker(bool withPassword = false, bool withTls = false);
    ~TBroker();  // kills the broker
    TBroker(const TBroker&) = delete;
    TBroker& operator=(const TBroker&) = delete;

    // Picks the port, writes the configuration and starts the broker; returns once the port
    // takes connections. False with a message (and the broker's log) when it cannot.
    bool Start(QString* error);
    void Kill();
    // The same port and configuration again.
    bool Restart(QString* error);
    // SIGSTOP and SIGCONT: a broker that holds its connections open but answers nothing.
    void Freeze();
    void Thaw();

    int Port() const { return PortNumber; }
    QString UserName() const;
    QString Password() const;
    bool Running() const { return Child > 0; }
    pid_t Pid() const { return Child; }
    QString LogText() const;
    // How many connections the broker has taken so far, from its log.
    int ConnectionCount() const;
    QString CaFile() const;
    QString OtherCaFile() const;
    // A link's configuration for this broker: its address, the credentials, a short keep-alive
    // and a client id of its own.
    TMqttConfig Config() const;

private:
    bool Launch(QString* error);
    bool MakeCertificates(QString* error);

    bool WithPassword;
    bool WithTls;
    std::unique_ptr<QTemporaryDir> Dir;
    int PortNumber = 0;
    pid_t Child = -1;
};

// A host that takes no connection: a loopback listener whose queue is full, so that the kernel
// drops every further SYN and a client's connect hangs as with a broker's host that is switched
// off.
class TSilentListener {
public:
    TSilentListener();
    ~TSilentListener();
    TSilentListener(const TSilentListener&) = delete;
    TSilentListener& operator=(const TSilentListener&) = delete;

    bool Ready() const { return PortNumber != 0; }
    int Port() const { return PortNumber; }

private:
    int Listener = -1;
    int Filler = -1;  // the connection that fills the queue
    int PortNumber = 0;
};

// A peer on a port that is no MQTT broker: it answers every connection with bytes that are no
// MQTT packet, on a thread of its own, which makes libmosquitto's network thread give up.
class TGarbagePeer {
public:
    TGarbagePeer() = default;
    ~TGarbagePeer();  // closes
    TGarbagePeer(const TGarbagePeer&) = delete;
    TGarbagePeer& operator=(const TGarbagePeer&) = delete;

    bool Listen(int port);
    void Close();
    int Answered() const { return AnsweredCount.load(); }

private:
    int Listener = -1;
    int WakeRead = -1;
    int WakeWrite = -1;
    std::thread Thread;
    std::atomic<int> AnsweredCount{0};
};

// A plain MQTT client that subscribes to a filter (everything by default) and records every
// message, to see what a link publishes. libmosquitto's own network thread serves it; it
// reconnects and subscribes again by itself when the broker comes back.
class TSubscriber {
public:
    struct TMessage {
        QString Topic;
        QByteArray Payload;
        bool Retained = false;
        int64_t ReceivedNs = 0;  // CLOCK_MONOTONIC
    };

    TSubscriber();
    ~TSubscriber();  // disconnects
    TSubscriber(const TSubscriber&) = delete;
    TSubscriber& operator=(const TSubscriber&) = delete;

    // Connects and returns once the broker has acknowledged the subscription.
    bool Connect(int port, const QString& user = {}, const QString& password = {},
                 const QString& filter = QStringLiteral("#"));
    std::vector<TMessage> Messages() const;
    std::vector<TMessage> Messages(const QString& topic) const;
    std::optional<TMessage> Latest(const QString& topic) const;
    // As quarneldtest::WaitFor.
    static bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

    // A loopback port the kernel has just handed out: bound to port 0, read back and closed.
    int FreePort();
    // GET http://127.0.0.1:port/metrics with curl; nullopt when it fails or does not answer 200.
    std::optional<QByteArray> Scrape(int port);
    // What `promtool check metrics` says about the page (empty: nothing to say), with its exit code
    // when that is not 0; nullopt when promtool is not installed.
    std::optional<QByteArray> PromtoolSays(const QByteArray& page);
    // QoS 1.
    void Publish(const QString& topic, const QByteArray& payload, bool retain);
    void Clear();
    void Disconnect();

private:
    static void OnConnect(mosquitto* client, void* self, int rc);
    static void OnDisconnect(mosquitto* client, void* self, int rc);
    static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* qos);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);

    mosquitto* Client = nullptr;
    QByteArray Filter;

    mutable std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<TMessage> Received;
    bool Subscribed = false;
    bool NetConnected = false;
    bool EndedOnRequest = false;
};

}  // namespace quarneldtest

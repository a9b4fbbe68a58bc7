// The MQTT link: libmosquitto's client with its network thread. The network thread's callbacks
// note under SyncMutex what Stop waits for, and queue everything else there for the main thread,
// so that the link's own state and its signals belong to the main thread alone.
#include "MqttLink.h"

#include <mosquitto.h>
#include <pthread.h>

#include <QFile>
#include <QMetaObject>
#include <QSysInfo>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int StatusQos = 1;
constexpr int SubscribeQos = 1;
// The pause before the next attempt grows as 1, 4, 9, 16 ... seconds up to a minute: the
// broker of a home may be away for an hour, and the service should not knock every second.
constexpr unsigned ReconnectDelayS = 1;
constexpr unsigned ReconnectDelayMaxS = 60;
// Stop waits for the acknowledgement of its offline message among these many latest ones.
constexpr size_t AckedMidsKept = 64;
// How long Stop gives the network thread to end a connection it was asked to end (a write of
// the DISCONNECT packet into the socket), also when its own time is up.
constexpr auto DisconnectGrace = std::chrono::milliseconds(100);

const QByteArray OnlinePayload = QByteArrayLiteral("online");
const QByteArray OfflinePayload = QByteArrayLiteral("offline");

void InitLibrary() {
    static const int result = mosquitto_lib_init();
    (void)result;
}

// The network thread is cancelled when it must end without a connection: it then sits in its
// pause before the next attempt, in a connect to a host that does not answer or in a TLS
// handshake, any of which would hold Stop up to a minute or two. A callback of ours must never be
// cancelled halfway (Qt posting a queued call writes to a wake-up descriptor, a cancellation
// point), so every callback runs with cancellation turned off; a pending cancel waits for
// libmosquitto's next cancellation point. libmosquitto also looks at errno after some callbacks:
// it gets it back as it was.
class TCallbackGuard {
public:
    TCallbackGuard() : Errno(errno) { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &Previous); }
    ~TCallbackGuard() {
        pthread_setcancelstate(Previous, nullptr);
        errno = Errno;
    }
    TCallbackGuard(const TCallbackGuard&) = delete;
    TCallbackGuard& operator=(const TCallbackGuard&) = delete;

    int SavedErrno() const { return Errno; }

private:
    int Errno;
    int Previous = PTHREAD_CANCEL_ENABLE;
};

QString OneLine(QString text) {
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

// mosquitto_strerror gives the system's words for MOSQ_ERR_ERRNO, from errno: call it right
// after the failing call.
QString ErrorText(int rc) {
    return OneLine(QString::fromUtf8(mosquitto_strerror(rc)));
}

// The words of an error libmosquitto logged. OpenSSL's come as "OpenSSL Error[0]: error:
// 0A000086:SSL routines::certificate verify failed"; the end says it.
QString LoggedReason(const QString& logged) {
    if (!logged.startsWith(QStringLiteral("OpenSSL Error"))) {
        return logged;
    }
    QString tls = ErrorText(MOSQ_ERR_TLS);
    if (tls.endsWith(QLatin1Char('.'))) {
        tls.chop(1);
    }
    return tls + QStringLiteral(": ") + logged.section(QLatin1Char(':'), -1).trimmed();
}

// libmosquitto's network thread can end without a word after a TLS handshake fails; these are
// the errors it logs then, or when it cannot set TLS up (its CA, certificate or key file).
bool IsTlsError(const QString& logged) {
    return logged.startsWith(QStringLiteral("OpenSSL Error")) ||
           logged.contains(QStringLiteral("TLS")) ||
           logged.contains(QStringLiteral("certificate"), Qt::CaseInsensitive) ||
           logged.contains(QStringLiteral("key file"), Qt::CaseInsensitive);
}

// A first attempt that failed for one of these is tried again later: the broker is not there
// yet, its name cannot be looked up yet (a service started before the network), or its TLS
// handshake failed (a certificate the broker's owner may still mend). Anything else is a
// setting libmosquitto will never accept.
bool Retriable(int rc) {
    return rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_EAI || rc == MOSQ_ERR_NO_CONN ||
           rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_CONN_REFUSED || rc == MOSQ_ERR_TLS;
}

// The codes after which libmosquitto's network thread gives up for good instead of trying
// again (a peer that is no broker, say), as its loop decides.
bool GivesUp(int rc, int savedErrno) {
    switch (rc) {
        case MOSQ_ERR_NOMEM:
        case MOSQ_ERR_PROTOCOL:
        case MOSQ_ERR_INVAL:
        case MOSQ_ERR_NOT_FOUND:
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_PAYLOAD_SIZE:
        case MOSQ_ERR_NOT_SUPPORTED:
        case MOSQ_ERR_AUTH:
        case MOSQ_ERR_ACL_DENIED:
        case MOSQ_ERR_UNKNOWN:
        case MOSQ_ERR_EAI:
        case MOSQ_ERR_PROXY:
            return true;
        default:
            return rc != MOSQ_ERR_SUCCESS && savedErrno == EPROTO;
    }
}

}  // namespace

TMqttLink::TMqttLink(TMqttConfig config, QObject* parent)
    : QObject(parent), Config(std::move(config)) {
    RetryTimer = new QTimer(this);
    RetryTimer->setSingleShot(true);
    connect(RetryTimer, &QTimer::timeout, this, [this] {
        if (Stopped || Client == nullptr) {
            return;
        }
        const int rc = TryConnect();
        if (rc != MOSQ_ERR_SUCCESS) {
            HandleDisconnected(ErrorText(rc));
        }
    });
}

TMqttLink::~TMqttLink() {
    Stop(0);
}

bool TMqttLink::Start(QString* error) {
    QString message;
    if (Client != nullptr || Stopped) {
        message = QStringLiteral("MQTT: the link was started before");
    } else if (MakeClient(&message)) {
        const int rc = TryConnect();
        if (rc == MOSQ_ERR_SUCCESS) {
            return true;
        }
        message = QStringLiteral("MQTT: cannot connect to %1 port %2: %3")
                      .arg(Config.Host)
                      .arg(Config.Port)
                      .arg(ErrorText(rc));
        mosquitto_destroy(Client);
        Client = nullptr;
    }
    if (error != nullptr) {
        *error = OneLine(message);
    }
    return false;
}

bool TMqttLink::MakeClient(QString* error) {
    auto fail = [this, error](const QString& text) {
        mosquitto_destroy(Client);
        Client = nullptr;
        *error = text;
        return false;
    };
    InitLibrary();
    const QString clientId = Config.ClientId.isEmpty()
                                 ? QStringLiteral("quarneld-") + QSysInfo::machineHostName()
                                 : Config.ClientId;
    StatusTopic = (Config.BaseTopic + QStringLiteral("/status")).toUtf8();
    // The network thread of the client before has ended: it reads no Generation any more.
    ++Generation;
    Client = mosquitto_new(clientId.toUtf8().constData(), true, this);
    if (Client == nullptr) {
        const int code = errno;
        *error = QStringLiteral("MQTT: cannot make a client with the id %1: %2")
                     .arg(clientId, QString::fromLocal8Bit(strerror(code)));
        return false;
    }
    int rc = mosquitto_int_option(Client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (rc != MOSQ_ERR_SUCCESS) {
        return fail(QStringLiteral("MQTT: the protocol version: ") + ErrorText(rc));
    }
    rc = mosquitto_will_set(Client, StatusTopic.constData(), int(OfflinePayload.size()),
                            OfflinePayload.constData(), StatusQos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        return fail(QStringLiteral("MQTT: the will on %1: %2")
                        .arg(QString::fromUtf8(StatusTopic), ErrorText(rc)));
    }
    if (!Config.UserName.isEmpty()) {
        const QByteArray user = Config.UserName.toUtf8();
        const QByteArray password = Config.Password.toUtf8();
        rc = mosquitto_username_pw_set(Client, user.constData(),
                                       Config.Password.isEmpty() ? nullptr : password.constData());
        if (rc != MOSQ_ERR_SUCCESS) {
            return fail(
                QStringLiteral("MQTT: the user name %1: %2").arg(Config.UserName, ErrorText(rc)));
        }
    }
    if (!Config.TlsCaFile.isEmpty()) {
        const QByteArray ca = QFile::encodeName(Config.TlsCaFile);
        const QByteArray cert = QFile::encodeName(Config.TlsCertFile);
        const QByteArray key = QFile::encodeName(Config.TlsKeyFile);
        rc = mosquitto_tls_set(Client, ca.constData(), nullptr,
                               cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            QString files = QStringLiteral("the CA file ") + Config.TlsCaFile;
            if (!Config.TlsCertFile.isEmpty() || !Config.TlsKeyFile.isEmpty()) {
                files += QStringLiteral(", the certificate %1 and the key %2")
                             .arg(Config.TlsCertFile.isEmpty() ? QStringLiteral("(none)")
                                                               : Config.TlsCertFile,
                                  Config.TlsKeyFile.isEmpty() ? QStringLiteral("(none)")
                                                              : Config.TlsKeyFile);
            }
            return fail(QStringLiteral("MQTT: TLS with %1: %2").arg(files, ErrorText(rc)));
        }
    }
    mosquitto_reconnect_delay_set(Client, ReconnectDelayS, ReconnectDelayMaxS, true);
    mosquitto_connect_callback_set(Client, &TMqttLink::OnConnect);
    mosquitto_disconnect_callback_set(Client, &TMqttLink::OnDisconnect);
    mosquitto_publish_callback_set(Client, &TMqttLink::OnPublish);
    mosquitto_message_callback_set(Client, &TMqttLink::OnMessage);
    mosquitto_log_callback_set(Client, &TMqttLink::OnLog);
    return true;
}

// libmosquitto leaves a client whose very first connect failed in its "new" state, where its
// network thread waits for ever and never tries again. Once an attempt has got as far as a
// socket, the network thread does all the reconnecting, except after the errors it gives up on
// (GivesUp, and a TLS handshake that fails on that thread), when StartAgain brings a new
// client. So the attempts before a socket are made here, on the main thread, with the same
// growing pause. (connect_async looks the name up and, with TLS, may shake hands right here.)
int TMqttLink::TryConnect() {
    {
        std::lock_guard lock(SyncMutex);
        LoggedError.clear();
    }
    const QByteArray host = Config.Host.toUtf8();
    int rc = mosquitto_connect_async(Client, host.constData(), Config.Port, Config.KeepAlive);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_start(Client);
        LoopRunning = rc == MOSQ_ERR_SUCCESS;
        return rc;
    }
    if (!Retriable(rc)) {
        return rc;
    }
    QString reason = ErrorText(rc);
    if (rc == MOSQ_ERR_TLS) {
        std::lock_guard lock(SyncMutex);
        if (!LoggedError.isEmpty()) {
            reason = LoggedReason(LoggedError);
        }
    }
    Post({TEvent::TKind::Disconnected, reason, {}, false, Generation});
    ScheduleRetry();
    return MOSQ_ERR_SUCCESS;
}

void TMqttLink::ScheduleRetry() {
    ++Attempts;
    const unsigned delayS =
        std::min(ReconnectDelayS * unsigned(Attempts) * unsigned(Attempts), ReconnectDelayMaxS);
    RetryTimer->start(int(delayS) * 1000);
}

void TMqttLink::StartAgain() {
    EndClient(Clock::now());
    {
        std::lock_guard lock(SyncMutex);
        NetConnected = false;
        RefusalReason.clear();
    }
    QString error;
    if (!MakeClient(&error)) {
        HandleDisconnected(OneLine(error));
        return;
    }
    ScheduleRetry();
}

bool TMqttLink::IsConnected() const {
    return ConnectedFlag.load();
}

bool TMqttLink::Publish(const QString& topic, const QByteArray& payload, bool retain, int qos) {
    if (!ConnectedFlag.load() || Client == nullptr || Stopped || qos < 0 || qos > 2) {
        return false;
    }
    {
        // The connection may have ended a moment ago, with the news still on its way: a
        // message libmosquitto took now would wait in its queue for the next connection.
        std::lock_guard lock(SyncMutex);
        if (!NetConnected) {
            return false;
        }
    }
    const QByteArray name = topic.toUtf8();
    return mosquitto_publish(Client, nullptr, name.constData(), int(payload.size()),
                             payload.constData(), qos, retain) == MOSQ_ERR_SUCCESS;
}

void TMqttLink::Subscribe(const QString& topic) {
    if (Topics.contains(topic)) {
        return;
    }
    Topics << topic;
    if (ConnectedFlag.load() && Client != nullptr && !Stopped) {
        mosquitto_subscribe(Client, nullptr, topic.toUtf8().constData(), SubscribeQos);
    }
}

void TMqttLink::Stop(int timeoutMs) {
    if (Stopped) {
        return;
    }
    Stopped = true;
    RetryTimer->stop();
    ConnectedFlag = false;
    if (Client == nullptr) {
        return;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    bool connected = false;
    {
        std::lock_guard lock(SyncMutex);
        connected = NetConnected;
    }
    if (LoopRunning && connected) {
        int mid = 0;
        if (mosquitto_publish(Client, &mid, StatusTopic.constData(), int(OfflinePayload.size()),
                              OfflinePayload.constData(), StatusQos, true) == MOSQ_ERR_SUCCESS) {
            WaitForAck(mid, deadline);
        }
    }
    EndClient(deadline);
}

void TMqttLink::EndClient(Clock::time_point deadline) {
    bool connected = false;
    {
        std::lock_guard lock(SyncMutex);
        connected = NetConnected;
    }
    // This also marks a client without a connection as disconnecting, which is what tells its
    // network thread to end.
    mosquitto_disconnect(Client);
    if (LoopRunning) {
        // A connection that ends because it was asked to leaves the network thread with nothing
        // more to wait for; without one it may sit in a pause, a connect or a handshake, and is
        // cancelled. (The client is destroyed right after: nothing uses a lock it held.)
        const bool ended =
            connected && WaitForDisconnect(std::max(deadline, Clock::now() + DisconnectGrace));
        mosquitto_loop_stop(Client, !ended);
        LoopRunning = false;
    }
    mosquitto_destroy(Client);
    Client = nullptr;
}

bool TMqttLink::WaitForAck(int mid, Clock::time_point deadline) {
    std::unique_lock lock(SyncMutex);
    return SyncChanged.wait_until(lock, deadline, [&] {
        return !NetConnected ||
               std::find(AckedMids.begin(), AckedMids.end(), mid) != AckedMids.end();
    });
}

bool TMqttLink::WaitForDisconnect(Clock::time_point deadline) {
    std::unique_lock lock(SyncMutex);
    return SyncChanged.wait_until(lock, deadline, [&] { return !NetConnected; }) && EndedOnRequest;
}

void TMqttLink::Post(TEvent event) {
    bool first = false;
    {
        std::lock_guard lock(SyncMutex);
        first = Pending.empty();
        Pending.push_back(std::move(event));
    }
    // One queued call drains all that came before it runs.
    if (first) {
        QMetaObject::invokeMethod(this, "DrainEvents", Qt::QueuedConnection);
    }
}

void TMqttLink::DrainEvents() {
    std::deque<TEvent> events;
    {
        std::lock_guard lock(SyncMutex);
        events.swap(Pending);
    }
    for (const TEvent& event : events) {
        // A slot may have stopped the link; a client given up has nothing more to say.
        if (Stopped) {
            return;
        }
        if (event.Generation != Generation) {
            continue;
        }
        switch (event.Kind) {
            case TEvent::TKind::Connected:
                HandleConnected();
                break;
            case TEvent::TKind::Disconnected:
                if (event.GivesUp && LoopRunning) {
                    StartAgain();
                }
                HandleDisconnected(event.Text);
                break;
            case TEvent::TKind::Failed:
                // Before a connection, the network thread may have ended after it without a
                // word (a TLS handshake), or may go on: a new client is sure.
                if (LoopRunning && !ConnectedFlag.load()) {
                    StartAgain();
                    HandleDisconnected(event.Text);
                }
                break;
            case TEvent::TKind::Message:
                emit MessageReceived(event.Text, event.Payload);
                break;
        }
    }
}

void TMqttLink::HandleConnected() {
    if (Stopped || Client == nullptr) {
        return;
    }
    ConnectedFlag = true;
    LastReason.clear();
    Attempts = 0;
    mosquitto_publish(Client, nullptr, StatusTopic.constData(), int(OnlinePayload.size()),
                      OnlinePayload.constData(), StatusQos, true);
    for (const QString& topic : std::as_const(Topics)) {
        mosquitto_subscribe(Client, nullptr, topic.toUtf8().constData(), SubscribeQos);
    }
    emit Connected();
}

void TMqttLink::HandleDisconnected(const QString& reason) {
    if (Stopped) {
        return;
    }
    const bool wasConnected = ConnectedFlag.exchange(false);
    if (!wasConnected && reason == LastReason) {
        return;
    }
    LastReason = reason;
    emit Disconnected(reason);
}

void TMqttLink::OnConnect(mosquitto*, void* self, int rc) {
    TCallbackGuard guard;
    auto* link = static_cast<TMqttLink*>(self);
    {
        std::lock_guard lock(link->SyncMutex);
        if (rc != 0) {
            // The broker refused; libmosquitto reports the end of the attempt next.
            link->RefusalReason = OneLine(QString::fromUtf8(mosquitto_connack_string(rc)));
            return;
        }
        link->NetConnected = true;
        link->EndedOnRequest = false;
        link->RefusalReason.clear();
        link->LoggedError.clear();
    }
    link->SyncChanged.notify_all();
    link->Post({TEvent::TKind::Connected, {}, {}, false, link->Generation});
}

void TMqttLink::OnDisconnect(mosquitto*, void* self, int rc) {
    TCallbackGuard guard;
    auto* link = static_cast<TMqttLink*>(self);
    const bool givesUp = GivesUp(rc, guard.SavedErrno());
    errno = guard.SavedErrno();
    const QString error = ErrorText(rc);
    QString reason;
    {
        std::lock_guard lock(link->SyncMutex);
        link->NetConnected = false;
        // libmosquitto reports 0 only for a connection that ended because it was asked to.
        link->EndedOnRequest = rc == MOSQ_ERR_SUCCESS;
        reason = link->RefusalReason.isEmpty() ? error : link->RefusalReason;
        link->RefusalReason.clear();
    }
    link->SyncChanged.notify_all();
    link->Post({TEvent::TKind::Disconnected, reason, {}, givesUp, link->Generation});
}

void TMqttLink::OnPublish(mosquitto*, void* self, int mid) {
    TCallbackGuard guard;
    auto* link = static_cast<TMqttLink*>(self);
    {
        std::lock_guard lock(link->SyncMutex);
        link->AckedMids.push_back(mid);
        if (link->AckedMids.size() > AckedMidsKept) {
            link->AckedMids.pop_front();
        }
    }
    link->SyncChanged.notify_all();
}

void TMqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    TCallbackGuard guard;
    auto* link = static_cast<TMqttLink*>(self);
    link->Post({TEvent::TKind::Message, QString::fromUtf8(message->topic),
                QByteArray(static_cast<const char*>(message->payload), message->payloadlen), false,
                link->Generation});
}

void TMqttLink::OnLog(mosquitto*, void* self, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) == 0) {
        return;
    }
    TCallbackGuard guard;
    auto* link = static_cast<TMqttLink*>(self);
    const QString logged = OneLine(QString::fromUtf8(text));
    bool first = false;
    {
        std::lock_guard lock(link->SyncMutex);
        first = link->LoggedError.isEmpty();
        if (first) {
            link->LoggedError = logged;
        }
    }
    // On the main thread it comes from inside connect_async, which TryConnect reports itself;
    // errors of other kinds end in OnDisconnect.
    if (first && IsTlsError(logged) && std::this_thread::get_id() != link->MainThread) {
        link->Post({TEvent::TKind::Failed, LoggedReason(logged), {}, false, link->Generation});
    }
}

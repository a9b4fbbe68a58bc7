#include "Broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "tests/support/ChildProcess.h"

namespace quarneldtest {

namespace {

constexpr char MosquittoProgram[] = "/usr/sbin/mosquitto";
constexpr char PasswdProgram[] = "/usr/bin/mosquitto_passwd";
constexpr char User[] = "quarnel";
// Listed in scripts/check-secrets.sh: it must never appear in a test's output.
constexpr char UserPassword[] = "mqttpass77";
constexpr int StartTimeoutMs = 10000;
constexpr int RestartBindRetryMs = 5000;
constexpr int PollMs = 10;
constexpr int SubscribeTimeoutMs = 5000;
constexpr int DisconnectTimeoutMs = 1000;

std::atomic<int> NextClientNumber{1};

void InitLibrary() {
    static const int result = mosquitto_lib_init();
    (void)result;
}

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The callbacks run on libmosquitto's thread, which Disconnect may cancel; they must not be
// cancelled halfway.
class TNoCancel {
public:
    TNoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &Previous); }
    ~TNoCancel() { pthread_setcancelstate(Previous, nullptr); }
    TNoCancel(const TNoCancel&) = delete;
    TNoCancel& operator=(const TNoCancel&) = delete;

private:
    int Previous = PTHREAD_CANCEL_ENABLE;
};

int OpenLog(const QString& path) {
    return open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                0600);
}

int RunProgram(const QString& program, const QStringList& arguments, const QString& logPath) {
    const int fd = OpenLog(logPath);
    if (fd < 0) {
        return -1;
    }
    const pid_t child = testsupport::StartProgram(program, arguments, fd);
    close(fd);
    return child < 0 ? -1 : testsupport::WaitForProgram(child);
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool Accepts(int port) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return false;
    }
    const sockaddr_in address = Loopback(port);
    const bool accepted =
        ::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(sock);
    return accepted;
}

QString CurrentUser() {
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr ? QString::fromLocal8Bit(entry->pw_name) : QStringLiteral("root");
}

}  // namespace

int FreePort() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return 0;
    }
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(sock);
    return port;
}

std::optional<QByteArray> Scrape(int port) {
    QProcess curl;
    curl.start(QStringLiteral("curl"), {"-s", "-S", "-f", "--max-time", "10",
                                        QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)});
    if (!curl.waitForFinished(15000) || curl.exitStatus() != QProcess::NormalExit ||
        curl.exitCode() != 0) {
        return std::nullopt;
    }
    return curl.readAllStandardOutput();
}

std::optional<QByteArray> PromtoolSays(const QByteArray& page) {
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty()) {
        return std::nullopt;
    }
    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    check.waitForStarted();
    check.write(page);
    check.closeWriteChannel();
    check.waitForFinished(30000);
    QByteArray said = check.readAllStandardOutput() + check.readAllStandardError();
    if (check.exitStatus() != QProcess::NormalExit || check.exitCode() != 0) {
        said += "\n(exit code " + QByteArray::number(check.exitCode()) + ")";
    }
    return said;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (condition()) {
            return true;
        }
        if (clock.elapsed() >= timeoutMs) {
            return false;
        }
        QThread::msleep(5);
    }
}

TBroker::TBroker(bool withPassword, bool withTls) : WithPassword(withPassword), WithTls(withTls) {}

TBroker::~TBroker() {
    Kill();
}

QString TBroker::UserName() const {
    return WithPassword ? QString::fromLatin1(User) : QString();
}

QString TBroker::Password() const {
    return WithPassword ? QString::fromLatin1(UserPassword) : QString();
}

TMqttConfig TBroker::Config() const {
    TMqttConfig config;
    config.Host = QStringLiteral("127.0.0.1");
    config.Port = PortNumber;
    config.UserName = UserName();
    config.Password = Password();
    config.KeepAlive = 5;
    if (WithTls) {
        config.TlsCaFile = CaFile();
    }
    config.ClientId =
        QStringLiteral("quarneld-test-%1-%2").arg(getpid()).arg(NextClientNumber.fetch_add(1));
    return config;
}

QString TBroker::LogText() const {
    if (Dir == nullptr) {
        return {};
    }
    QString text;
    for (const char* name : {"output.log", "mosquitto.log"}) {
        QFile file(Dir->filePath(QString::fromLatin1(name)));
        if (file.open(QIODevice::ReadOnly)) {
            text += QString::fromLocal8Bit(file.readAll());
        }
    }
    return text;
}

int TBroker::ConnectionCount() const {
    return int(LogText().count(QStringLiteral("New connection from")));
}

QString TBroker::CaFile() const {
    return WithTls && Dir != nullptr ? Dir->filePath(QStringLiteral("ca.crt")) : QString();
}

QString TBroker::OtherCaFile() const {
    return WithTls && Dir != nullptr ? Dir->filePath(QStringLiteral("other-ca.crt")) : QString();
}

// Elliptic-curve keys (quick to make), two CAs, and a server certificate for 127.0.0.1 from
// the first.
bool TBroker::MakeCertificates(QString* error) {
    const QString openssl = QStringLiteral("openssl");
    const QString log = Dir->filePath(QStringLiteral("output.log"));
    const QStringList newKey{
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    auto path = [this](const char* name) { return Dir->filePath(QString::fromLatin1(name)); };
    QFile extensions(path("server.ext"));
    if (!extensions.open(QIODevice::WriteOnly) ||
        extensions.write("subjectAltName=IP:127.0.0.1\n") < 0) {
        *error = QStringLiteral("cannot write %1").arg(extensions.fileName());
        return false;
    }
    extensions.close();
    const std::vector<QStringList> steps{
        QStringList{QStringLiteral("req"), QStringLiteral("-x509")}
            << newKey
            << QStringList{QStringLiteral("-keyout"), path("ca.key"), QStringLiteral("-out"),
                           path("ca.crt"), QStringLiteral("-days"), QStringLiteral("2"),
                           QStringLiteral("-subj"), QStringLiteral("/CN=quarnel test CA")},
        QStringList{QStringLiteral("req"), QStringLiteral("-x509")}
            << newKey
            << QStringList{QStringLiteral("-keyout"), path("other-ca.key"), QStringLiteral("-out"),
                           path("other-ca.crt"), QStringLiteral("-days"), QStringLiteral("2"),
                           QStringLiteral("-subj"), QStringLiteral("/CN=quarnel other CA")},
        QStringList{QStringLiteral("req")}
            << newKey
            << QStringList{QStringLiteral("-keyout"), path("server.key"), QStringLiteral("-out"),
                           path("server.csr"), QStringLiteral("-subj"),
                           QStringLiteral("/CN=127.0.0.1")},
        QStringList{QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                    path("server.csr"), QStringLiteral("-CA"), path("ca.crt"),
                    QStringLiteral("-CAkey"), path("ca.key"), QStringLiteral("-set_serial"),
                    QStringLiteral("1"), QStringLiteral("-days"), QStringLiteral("2"),
                    QStringLiteral("-extfile"), path("server.ext"), QStringLiteral("-out"),
                    path("server.crt")},
    };
    for (const QStringList& step : steps) {
        const int status = RunProgram(openssl, step, log);
        if (status != 0) {
            *error = QStringLiteral("openssl %1 ended with %2: %3")
                         .arg(step.front())
                         .arg(status)
                         .arg(LogText());
            return false;
        }
    }
    return true;
}

bool TBroker::Start(QString* error) {
    Kill();
    Dir = std::make_unique<QTemporaryDir>();
    if (!Dir->isValid()) {
        *error = QStringLiteral("cannot make a temporary folder");
        return false;
    }
    PortNumber = FreePort();
    if (PortNumber == 0) {
        *error = QStringLiteral("no free loopback port");
        return false;
    }
    QStringList lines{
        QStringLiteral("listener %1 127.0.0.1").arg(PortNumber),
        QStringLiteral("persistence false"),
        // Run as root (CI), mosquitto would become the user mosquitto, who cannot read the
        // temporary folder.
        QStringLiteral("user ") + CurrentUser(),
        QStringLiteral("log_dest file ") + Dir->filePath(QStringLiteral("mosquitto.log")),
        QStringLiteral("log_type all"),
        QStringLiteral("connection_messages true"),
    };
    if (WithTls) {
        if (!MakeCertificates(error)) {
            return false;
        }
        lines << QStringLiteral("cafile ") + CaFile()
              << QStringLiteral("certfile ") + Dir->filePath(QStringLiteral("server.crt"))
              << QStringLiteral("keyfile ") + Dir->filePath(QStringLiteral("server.key"));
    }
    if (WithPassword) {
        const QString passwords = Dir->filePath(QStringLiteral("passwords"));
        const int status =
            RunProgram(QString::fromLatin1(PasswdProgram),
                       {QStringLiteral("-b"), QStringLiteral("-c"), passwords,
                        QString::fromLatin1(User), QString::fromLatin1(UserPassword)},
                       Dir->filePath(QStringLiteral("output.log")));
        if (status != 0) {
            *error =
                QStringLiteral("mosquitto_passwd ended with %1: %2").arg(status).arg(LogText());
            return false;
        }
        lines << QStringLiteral("allow_anonymous false")
              << QStringLiteral("password_file ") + passwords;
    } else {
        lines << QStringLiteral("allow_anonymous true");
    }
    QFile conf(Dir->filePath(QStringLiteral("mosquitto.conf")));
    if (!conf.open(QIODevice::WriteOnly) ||
        conf.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()) < 0) {
        *error = QStringLiteral("cannot write %1").arg(conf.fileName());
        return false;
    }
    conf.close();
    return Launch(error);
}

bool TBroker::Restart(QString* error) {
    if (Dir == nullptr) {
        *error = QStringLiteral("the broker was never started");
        return false;
    }
    Kill();
    // The port is the broker's again at once (it binds with SO_REUSEADDR), unless something
    // else took it meanwhile: try for a while.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (Launch(error)) {
            return true;
        }
        if (clock.elapsed() >= RestartBindRetryMs) {
            return false;
        }
        QThread::msleep(100);
    }
}

bool TBroker::Launch(QString* error) {
    const int fd = OpenLog(Dir->filePath(QStringLiteral("output.log")));
    if (fd < 0) {
        *error = QStringLiteral("cannot open the broker's log");
        return false;
    }
    Child = testsupport::StartProgram(
        QString::fromLatin1(MosquittoProgram),
        {QStringLiteral("-c"), Dir->filePath(QStringLiteral("mosquitto.conf"))}, fd);
    close(fd);
    if (Child < 0) {
        *error = QStringLiteral("cannot start mosquitto");
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int status = 0;
        if (waitpid(Child, &status, WNOHANG) == Child) {
            Child = -1;
            *error = QStringLiteral("mosquitto ended at once: ") + LogText();
            return false;
        }
        if (Accepts(PortNumber)) {
            return true;
        }
        if (clock.elapsed() >= StartTimeoutMs) {
            Kill();
            *error = QStringLiteral("mosquitto does not take connections on port %1: %2")
                         .arg(PortNumber)
                         .arg(LogText());
            return false;
        }
        QThread::msleep(PollMs);
    }
}

void TBroker::Kill() {
    if (Child <= 0) {
        return;
    }
    kill(Child, SIGKILL);
    testsupport::WaitForProgram(Child);
    Child = -1;
}

void TBroker::Freeze() {
    if (Child > 0) {
        kill(Child, SIGSTOP);
    }
}

void TBroker::Thaw() {
    if (Child > 0) {
        kill(Child, SIGCONT);
    }
}

TSilentListener::TSilentListener() {
    Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    // A backlog of 0 holds one connection that nobody accepts; the filler takes it.
    if (Listener < 0 ||
        bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(Listener, 0) != 0 ||
        getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    Filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Filler >= 0 &&
        ::connect(Filler, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        PortNumber = ntohs(address.sin_port);
    }
}

TSilentListener::~TSilentListener() {
    if (Filler >= 0) {
        close(Filler);
    }
    if (Listener >= 0) {
        close(Listener);
    }
}

TGarbagePeer::~TGarbagePeer() {
    Close();
}

bool TGarbagePeer::Listen(int port) {
    Close();
    Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    const sockaddr_in address = Loopback(port);
    int wake[2] = {-1, -1};
    if (Listener < 0 || setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        bind(Listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(Listener, 8) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
        Close();
        return false;
    }
    WakeRead = wake[0];
    WakeWrite = wake[1];
    Thread = std::thread([this] {
        for (;;) {
            pollfd fds[2] = {{Listener, POLLIN, 0}, {WakeRead, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const int peer = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (peer >= 0) {
                    // Command 0 is reserved: no MQTT packet starts so.
                    const char garbage[] = {0, 0, 0, 0};
                    if (write(peer, garbage, sizeof garbage) == ssize_t(sizeof garbage)) {
                        ++AnsweredCount;
                    }
                    close(peer);
                }
            }
        }
    });
    return true;
}

void TGarbagePeer::Close() {
    if (Thread.joinable()) {
        const char stop = 1;
        const bool woken = write(WakeWrite, &stop, 1) == 1;  // a pipe with room: always
        (void)woken;
        Thread.join();
    }
    for (int* fd : {&Listener, &WakeRead, &WakeWrite}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

TSubscriber::TSubscriber() {
    InitLibrary();
}

TSubscriber::~TSubscriber() {
    Disconnect();
}

bool TSubscriber::Connect(int port, const QString& user, const QString& password,
                          const QString& filter) {
    Disconnect();
    Filter = filter.toUtf8();
    const QByteArray id = QStringLiteral("quarneld-test-sub-%1-%2")
                              .arg(getpid())
                              .arg(NextClientNumber.fetch_add(1))
                              .toUtf8();
    Client = mosquitto_new(id.constData(), true, this);
    if (Client == nullptr) {
        return false;
    }
    if (!user.isEmpty()) {
        mosquitto_username_pw_set(Client, user.toUtf8().constData(),
                                  password.isEmpty() ? nullptr : password.toUtf8().constData());
    }
    mosquitto_reconnect_delay_set(Client, 1, 2, false);
    mosquitto_connect_callback_set(Client, &TSubscriber::OnConnect);
    mosquitto_disconnect_callback_set(Client, &TSubscriber::OnDisconnect);
    mosquitto_subscribe_callback_set(Client, &TSubscriber::OnSubscribe);
    mosquitto_message_callback_set(Client, &TSubscriber::OnMessage);
    if (mosquitto_connect(Client, "127.0.0.1", port, 5) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(Client) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(Client);
        Client = nullptr;
        return false;
    }
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, std::chrono::milliseconds(SubscribeTimeoutMs),
                            [this] { return Subscribed; });
}

void TSubscriber::Disconnect() {
    if (Client == nullptr) {
        return;
    }
    bool connected = false;
    {
        std::lock_guard lock(Mutex);
        connected = NetConnected;
    }
    mosquitto_disconnect(Client);
    bool ended = false;
    if (connected) {
        std::unique_lock lock(Mutex);
        ended = Changed.wait_for(lock, std::chrono::milliseconds(DisconnectTimeoutMs), [this] {
            return !NetConnected;
        }) && EndedOnRequest;
    }
    // Without a connection the network thread may sit in its pause before the next attempt.
    mosquitto_loop_stop(Client, !ended);
    mosquitto_destroy(Client);
    Client = nullptr;
    std::lock_guard lock(Mutex);
    Subscribed = false;
    NetConnected = false;
}

std::vector<TSubscriber::TMessage> TSubscriber::Messages() const {
    std::lock_guard lock(Mutex);
    return Received;
}

std::vector<TSubscriber::TMessage> TSubscriber::Messages(const QString& topic) const {
    std::lock_guard lock(Mutex);
    std::vector<TMessage> found;
    for (const TMessage& message : Received) {
        if (message.Topic == topic) {
            found.push_back(message);
        }
    }
    return found;
}

std::optional<TSubscriber::TMessage> TSubscriber::Latest(const QString& topic) const {
    std::lock_guard lock(Mutex);
    for (auto message = Received.rbegin(); message != Received.rend(); ++message) {
        if (message->Topic == topic) {
            return *message;
        }
    }
    return std::nullopt;
}

bool TSubscriber::WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    return quarneldtest::WaitFor(condition, timeoutMs);
}

void TSubscriber::Publish(const QString& topic, const QByteArray& payload, bool retain) {
    if (Client != nullptr) {
        mosquitto_publish(Client, nullptr, topic.toUtf8().constData(), int(payload.size()),
                          payload.constData(), 1, retain);
    }
}

void TSubscriber::Clear() {
    std::lock_guard lock(Mutex);
    Received.clear();
}

void TSubscriber::OnConnect(mosquitto* client, void* self, int rc) {
    TNoCancel noCancel;
    auto* subscriber = static_cast<TSubscriber*>(self);
    if (rc != 0) {
        return;
    }
    {
        std::lock_guard lock(subscriber->Mutex);
        subscriber->NetConnected = true;
        subscriber->EndedOnRequest = false;
    }
    mosquitto_subscribe(client, nullptr, subscriber->Filter.constData(), 1);
}

void TSubscriber::OnDisconnect(mosquitto*, void* self, int rc) {
    TNoCancel noCancel;
    auto* subscriber = static_cast<TSubscriber*>(self);
    {
        std::lock_guard lock(subscriber->Mutex);
        subscriber->NetConnected = false;
        subscriber->EndedOnRequest = rc == MOSQ_ERR_SUCCESS;
    }
    subscriber->Changed.notify_all();
}

void TSubscriber::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
    TNoCancel noCancel;
    auto* subscriber = static_cast<TSubscriber*>(self);
    {
        std::lock_guard lock(subscriber->Mutex);
        subscriber->Subscribed = true;
    }
    subscriber->Changed.notify_all();
}

void TSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    TNoCancel noCancel;
    auto* subscriber = static_cast<TSubscriber*>(self);
    TMessage copy;
    copy.Topic = QString::fromUtf8(message->topic);
    copy.Payload = QByteArray(static_cast<const char*>(message->payload), message->payloadlen);
    copy.Retained = message->retain;
    copy.ReceivedNs = MonotonicNs();
    {
        std::lock_guard lock(subscriber->Mutex);
        subscriber->Received.push_back(std::move(copy));
    }
    subscriber->Changed.notify_all();
}

}  // namespace quarneldtest

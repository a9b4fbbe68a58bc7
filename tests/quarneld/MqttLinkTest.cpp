// The MQTT link against a real mosquitto: what it announces on connect and on Stop, the will
// when its process dies, refusal to publish while the broker is away, finding the broker again
// after it appears or dies or after a peer that is no broker, credentials, TLS, and Stop's time
// limit.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QObject>
#include <utility>
#include <vector>

#include "Broker.h"
#include "MqttLink.h"

namespace {

using quarneldtest::TBroker;
using quarneldtest::TSubscriber;
using quarneldtest::WaitFor;

constexpr int ConnectMs = 10000;
// The link's pauses between attempts grow 1, 4, 9 ... s; the second one must fit.
constexpr int ReconnectMs = 15000;
constexpr int MessageMs = 5000;
// Stop keeps to its time within about 200 ms; the rest is room for a loaded machine (a Stop
// that waits for libmosquitto takes seconds).
constexpr int StopMarginMs = 400;
const QString StatusTopic = QStringLiteral("quarnel/status");
// Listed in scripts/check-secrets.sh, as the broker's own password is.
const QString WrongPassword = QStringLiteral("mqttwrong77");

// The link's signals, as they arrive on the main thread.
struct TLinkEvents {
    explicit TLinkEvents(TMqttLink& link) {
        QObject::connect(&link, &TMqttLink::Connected, &Context, [this] { ++Connects; });
        QObject::connect(&link, &TMqttLink::Disconnected, &Context,
                         [this](const QString& reason) { Reasons << reason; });
        QObject::connect(&link, &TMqttLink::MessageReceived, &Context,
                         [this](const QString& topic, const QByteArray& payload) {
                             Messages.emplace_back(topic, payload);
                         });
    }
    bool Received(const QString& topic, const QByteArray& payload) const {
        for (const auto& message : Messages) {
            if (message.first == topic && message.second == payload) {
                return true;
            }
        }
        return false;
    }

    QObject Context;
    int Connects = 0;
    QStringList Reasons;
    std::vector<std::pair<QString, QByteArray>> Messages;
};

bool Holds(const TSubscriber& subscriber, const QString& topic, const QByteArray& payload) {
    const auto latest = subscriber.Latest(topic);
    return latest && latest->Payload == payload;
}

bool Saw(const TSubscriber& subscriber, const QString& topic) {
    return !subscriber.Messages(topic).empty();
}

TEST(MqttLinkTest, AnnouncesOnlineOnConnectAndOfflineOnStop) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    TSubscriber watcher;
    ASSERT_TRUE(watcher.Connect(broker.Port()));

    const TMqttConfig config = broker.Config();
    TMqttLink link(config);
    TLinkEvents events(link);
    ASSERT_TRUE(link.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitFor([&] { return events.Connects == 1; }, ConnectMs))
        << broker.LogText().toStdString();
    EXPECT_TRUE(link.IsConnected());
    EXPECT_TRUE(WaitFor([&] { return Holds(watcher, StatusTopic, "online"); }, MessageMs));

    // Retained: a client that comes later is told at once.
    TSubscriber late;
    ASSERT_TRUE(late.Connect(broker.Port()));
    ASSERT_TRUE(WaitFor([&] { return Holds(late, StatusTopic, "online"); }, MessageMs));
    EXPECT_TRUE(late.Latest(StatusTopic)->Retained);

    EXPECT_TRUE(link.Publish(QStringLiteral("quarnel/1234/total/power"), "815", true));
    EXPECT_TRUE(link.Publish(QStringLiteral("quarnel/1234/total/energy_today"), "3.5", false, 1));
    EXPECT_TRUE(WaitFor(
        [&] {
            return Holds(watcher, QStringLiteral("quarnel/1234/total/power"), "815") &&
                   Holds(watcher, QStringLiteral("quarnel/1234/total/energy_today"), "3.5");
        },
        MessageMs));

    // Stop returns once the broker has the offline: a client connecting right after finds it.
    QElapsedTimer clock;
    clock.start();
    link.Stop(3000);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_FALSE(link.IsConnected());
    TSubscriber after;
    ASSERT_TRUE(after.Connect(broker.Port()));
    ASSERT_TRUE(WaitFor([&] { return Saw(after, StatusTopic); }, MessageMs));
    EXPECT_EQ(after.Latest(StatusTopic)->Payload, "offline");
    EXPECT_TRUE(after.Latest(StatusTopic)->Retained);
    // A DISCONNECT, not a dropped connection (which would also have sent the will).
    EXPECT_TRUE(WaitFor(
        [&] {
            return broker.LogText().contains(
                QStringLiteral("Client %1 disconnected.").arg(config.ClientId));
        },
        MessageMs))
        << broker.LogText().toStdString();

    // Nothing more, and a second Stop does nothing.
    EXPECT_FALSE(link.Publish(QStringLiteral("quarnel/1234/total/power"), "816", true));
    link.Stop(1000);
    EXPECT_TRUE(events.Reasons.isEmpty()) << events.Reasons.join('|').toStdString();
    EXPECT_EQ(events.Connects, 1);
}

// The will, which the broker publishes for a client that goes without a word: a link in a child
// process that ends (as in a crash) once it is connected.
TEST(MqttLinkTest, BrokerPublishesTheWillWhenTheProcessDies) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    TSubscriber watcher;
    ASSERT_TRUE(watcher.Connect(broker.Port()));

    const QByteArray port = QByteArray::number(broker.Port());
    const QByteArray clientId = broker.Config().ClientId.toUtf8();
    std::vector<QByteArray> texts{MQTT_WILL_CHILD, port, clientId};
    std::vector<char*> argv;
    for (QByteArray& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << broker.LogText().toStdString();

    ASSERT_TRUE(WaitFor([&] { return Holds(watcher, StatusTopic, "offline"); }, MessageMs))
        << broker.LogText().toStdString();
    const auto messages = watcher.Messages(StatusTopic);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Payload, "online");
    EXPECT_TRUE(broker.LogText().contains(
        QStringLiteral("Client %1 closed its connection.").arg(QString::fromUtf8(clientId))))
        << broker.LogText().toStdString();

    TSubscriber late;
    ASSERT_TRUE(late.Connect(broker.Port()));
    ASSERT_TRUE(WaitFor([&] { return Saw(late, StatusTopic); }, MessageMs));
    EXPECT_EQ(late.Latest(StatusTopic)->Payload, "offline");
    EXPECT_TRUE(late.Latest(StatusTopic)->Retained);
}

// Started while the broker is not there yet; then the broker dies and comes back. The link finds
// it again each time by itself, subscribes again, and keeps nothing of what it was asked to
// publish meanwhile.
TEST(MqttLinkTest, FindsTheBrokerWhenItComesAndAfterItDies) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    broker.Kill();

    TMqttLink link(broker.Config());
    TLinkEvents events(link);
    const QString command = QStringLiteral("quarnel/command");
    link.Subscribe(command);
    ASSERT_TRUE(link.Start(&error)) << error.toStdString();
    EXPECT_FALSE(link.IsConnected());
    EXPECT_FALSE(link.Publish(QStringLiteral("quarnel/early"), "1", false, 1));
    ASSERT_TRUE(WaitFor([&] { return !events.Reasons.isEmpty(); }, MessageMs));
    EXPECT_TRUE(events.Reasons.front().contains(QStringLiteral("refused"), Qt::CaseInsensitive))
        << events.Reasons.front().toStdString();

    // The first attempt has failed already (in Start): the connection comes from a retry.
    ASSERT_TRUE(broker.Restart(&error)) << error.toStdString();
    ASSERT_TRUE(WaitFor([&] { return events.Connects == 1; }, ReconnectMs))
        << broker.LogText().toStdString();
    EXPECT_TRUE(link.IsConnected());
    {
        TSubscriber sender;
        ASSERT_TRUE(sender.Connect(broker.Port()));
        sender.Publish(command, "ping", false);
        EXPECT_TRUE(WaitFor([&] { return events.Received(command, "ping"); }, MessageMs));
    }

    const qsizetype reasonsBefore = events.Reasons.size();
    broker.Kill();
    ASSERT_TRUE(WaitFor([&] { return events.Reasons.size() > reasonsBefore; }, MessageMs));
    EXPECT_FALSE(events.Reasons.back().isEmpty());
    EXPECT_FALSE(link.IsConnected());
    EXPECT_FALSE(link.Publish(QStringLiteral("quarnel/queued"), "lost", false, 1));
    EXPECT_FALSE(link.Publish(QStringLiteral("quarnel/queued"), "lost", true, 0));

    ASSERT_TRUE(broker.Restart(&error)) << error.toStdString();
    // Subscribed before the link is back (its first pause is a second), so that anything the
    // link still held would reach it.
    TSubscriber watcher;
    ASSERT_TRUE(watcher.Connect(broker.Port()));
    ASSERT_TRUE(WaitFor([&] { return events.Connects == 2; }, ReconnectMs))
        << broker.LogText().toStdString();
    EXPECT_TRUE(WaitFor([&] { return Holds(watcher, StatusTopic, "online"); }, MessageMs));
    watcher.Publish(command, "again", false);
    EXPECT_TRUE(WaitFor([&] { return events.Received(command, "again"); }, MessageMs));
    ASSERT_TRUE(link.Publish(QStringLiteral("quarnel/marker"), "after", false, 1));
    ASSERT_TRUE(WaitFor([&] { return Saw(watcher, QStringLiteral("quarnel/marker")); }, MessageMs));
    EXPECT_FALSE(Saw(watcher, QStringLiteral("quarnel/queued")));
    EXPECT_FALSE(Saw(watcher, QStringLiteral("quarnel/early")));
}

// A peer that is no broker makes libmosquitto's network thread give up for good; the link
// starts it again and finds the real broker once it is there.
TEST(MqttLinkTest, TriesAgainAfterAPeerThatIsNoBroker) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    broker.Kill();
    quarneldtest::TGarbagePeer peer;
    ASSERT_TRUE(peer.Listen(broker.Port()));

    TMqttLink link(broker.Config());
    TLinkEvents events(link);
    ASSERT_TRUE(link.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitFor([&] { return !events.Reasons.isEmpty(); }, MessageMs));
    EXPECT_TRUE(events.Reasons.front().contains(QStringLiteral("protocol"), Qt::CaseInsensitive))
        << events.Reasons.front().toStdString();
    EXPECT_GE(peer.Answered(), 1);
    peer.Close();

    ASSERT_TRUE(broker.Restart(&error)) << error.toStdString();
    ASSERT_TRUE(WaitFor([&] { return events.Connects == 1; }, ReconnectMs))
        << events.Reasons.join('|').toStdString();
    EXPECT_TRUE(link.Publish(QStringLiteral("quarnel/1234/a/power"), "12", true));
}

TEST(MqttLinkTest, ConnectsWithTheRightPasswordOnly) {
    TBroker broker(true);
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();

    {
        TMqttLink link(broker.Config());
        TLinkEvents events(link);
        ASSERT_TRUE(link.Start(&error)) << error.toStdString();
        ASSERT_TRUE(WaitFor([&] { return events.Connects == 1; }, ConnectMs))
            << events.Reasons.join('|').toStdString();
    }

    TMqttConfig config = broker.Config();
    config.Password = WrongPassword;
    TMqttLink link(config);
    TLinkEvents events(link);
    ASSERT_TRUE(link.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitFor([&] { return !events.Reasons.isEmpty(); }, ConnectMs));
    const QString reason = events.Reasons.front();
    EXPECT_TRUE(reason.contains(QStringLiteral("refused"), Qt::CaseInsensitive) &&
                reason.contains(QStringLiteral("not authori"), Qt::CaseInsensitive))
        << reason.toStdString();
    EXPECT_FALSE(reason.contains(WrongPassword));
    EXPECT_FALSE(reason.contains(broker.Password()));
    EXPECT_FALSE(reason.contains(QLatin1Char('\n')));
    EXPECT_EQ(events.Connects, 0);
    EXPECT_FALSE(link.IsConnected());
    EXPECT_FALSE(link.Publish(StatusTopic, "x", false));
    QElapsedTimer clock;
    clock.start();
    link.Stop(1000);
    EXPECT_LT(clock.elapsed(), 1000 + StopMarginMs);
}

// Stop's time limit holds whatever the broker does: frozen (it never acknowledges the offline
// message), gone (the network thread pauses before its next attempt), never there, or on a host
// that does not answer.
TEST(MqttLinkTest, StopKeepsToItsTimeWhenTheBrokerIsGone) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    {
        TMqttLink link(broker.Config());
        TLinkEvents events(link);
        ASSERT_TRUE(link.Start(&error)) << error.toStdString();
        ASSERT_TRUE(WaitFor([&] { return events.Connects == 1; }, ConnectMs));
        broker.Freeze();
        QElapsedTimer clock;
        clock.start();
        link.Stop(300);
        EXPECT_GE(clock.elapsed(), 250);
        EXPECT_LT(clock.elapsed(), 300 + StopMarginMs);
        broker.Thaw();
    }
    {
        TMqttLink link(broker.Config());
        TLinkEvents events(link);
        ASSERT_TRUE(link.Start(&error)) << error.toStdString();
        ASSERT_TRUE(WaitFor([&] { return events.Connects == 1; }, ConnectMs));
        broker.Kill();
        ASSERT_TRUE(WaitFor([&] { return !events.Reasons.isEmpty(); }, MessageMs));
        QElapsedTimer clock;
        clock.start();
        link.Stop(500);
        EXPECT_LT(clock.elapsed(), 500 + StopMarginMs);
    }
    {
        // Refused at once: the link waits on its own timer for the next attempt.
        TMqttLink link(broker.Config());
        ASSERT_TRUE(link.Start(&error)) << error.toStdString();
        QElapsedTimer clock;
        clock.start();
        link.Stop(0);
        EXPECT_LT(clock.elapsed(), StopMarginMs);
    }
    {
        // Not answered: the network thread waits for a connect that takes minutes to fail, and
        // libmosquitto's own stop would wait for the keep-alive to run out.
        quarneldtest::TSilentListener silent;
        ASSERT_TRUE(silent.Ready());
        TMqttConfig config = broker.Config();
        config.Port = silent.Port();
        TMqttLink link(config);
        ASSERT_TRUE(link.Start(&error)) << error.toStdString();
        QElapsedTimer clock;
        clock.start();
        link.Stop(300);
        EXPECT_LT(clock.elapsed(), 300 + StopMarginMs);
    }
}

// TLS with the broker's CA; with another CA the handshake fails, is told once, and the link
// keeps trying (libmosquitto's network thread gives up after a failed handshake).
TEST(MqttLinkTest, ConnectsOverTlsWithTheBrokersCaOnly) {
    TBroker broker(false, true);
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    {
        const TMqttConfig config = broker.Config();
        TMqttLink link(config);
        TLinkEvents events(link);
        ASSERT_TRUE(link.Start(&error)) << error.toStdString();
        ASSERT_TRUE(WaitFor([&] { return events.Connects == 1; }, ConnectMs))
            << events.Reasons.join('|').toStdString() << broker.LogText().toStdString();
        EXPECT_TRUE(link.Publish(QStringLiteral("quarnel/1234/a/power"), "12", true));
        link.Stop(2000);
        EXPECT_TRUE(WaitFor(
            [&] {
                return broker.LogText().contains(
                    QStringLiteral("Client %1 disconnected.").arg(config.ClientId));
            },
            MessageMs))
            << broker.LogText().toStdString();
    }

    TMqttConfig config = broker.Config();
    config.TlsCaFile = broker.OtherCaFile();
    TMqttLink link(config);
    TLinkEvents events(link);
    const int connectionsBefore = broker.ConnectionCount();
    ASSERT_TRUE(link.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitFor([&] { return !events.Reasons.isEmpty(); }, ConnectMs));
    EXPECT_TRUE(events.Reasons.front().contains(QStringLiteral("TLS")))
        << events.Reasons.front().toStdString();
    // The next attempt comes a second later.
    EXPECT_TRUE(
        WaitFor([&] { return broker.ConnectionCount() >= connectionsBefore + 2; }, ReconnectMs))
        << broker.LogText().toStdString();
    EXPECT_EQ(events.Connects, 0);
    EXPECT_EQ(events.Reasons.size(), 1) << events.Reasons.join('|').toStdString();
}

// Settings libmosquitto refuses make Start fail with one line, without the password.
TEST(MqttLinkTest, StartRefusesTlsFilesItCannotUse) {
    TMqttConfig config;
    config.Host = QStringLiteral("127.0.0.1");
    config.UserName = QStringLiteral("quarnel");
    config.Password = WrongPassword;
    config.TlsCaFile = QStringLiteral("/nonexistent/ca.pem");
    TMqttLink link(config);
    QString error;
    EXPECT_FALSE(link.Start(&error));
    EXPECT_TRUE(error.contains(QStringLiteral("TLS")) && error.contains(config.TlsCaFile))
        << error.toStdString();
    EXPECT_FALSE(error.contains(WrongPassword));
    EXPECT_FALSE(error.contains(QLatin1Char('\n')));
    EXPECT_FALSE(link.IsConnected());
    link.Stop(100);
}

}  // namespace

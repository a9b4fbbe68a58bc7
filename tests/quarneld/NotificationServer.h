// A desktop notification server for the tests: it owns org.freedesktop.Notifications on the
// session bus of the test process, over a connection of its own as a real server would, and
// keeps every notification it is sent. It answers from the main thread's event loop.
//
// The tests that need it are named Bus... and run under a private session bus of their own:
// ctest starts the test program once more under dbus-run-session with --gtest_filter=*.Bus* and
// QUARNELD_TEST_BUS=1. In every other run they skip (QUARNELD_REQUIRE_TEST_BUS), so that a
// developer's own desktop never receives them.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <chrono>
#include <functional>
#include <vector>

namespace quarneldtest {

struct TNotification {
    QString AppName;
    uint ReplacesId = 0;
    QString Icon;
    QString Summary;
    QString Body;
    int Urgency = -1;  // -1 when the hints hold no urgency byte
    int ExpireTimeout = 0;
    uint Id = 0;  // the id the server answered with
};

// The private session bus of a Bus test run is there.
bool TestBusRunning();

#define QUARNELD_REQUIRE_TEST_BUS()                                                      \
    do {                                                                                 \
        if (!::quarneldtest::TestBusRunning()) {                                         \
            GTEST_SKIP() << "needs the private session bus: run under dbus-run-session " \
                            "with QUARNELD_TEST_BUS=1";                                  \
        }                                                                                \
    } while (false)

// Runs the event loop until condition holds or timeout passes; the condition's last answer.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Waits until the notification server (or the bus, when none is there) has answered every call
// this process made to it on its session bus connection, and the replies have been handled.
bool FlushNotifications();

class TNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    TNotificationServer();
    ~TNotificationServer() override;

    // False without a session bus, or when the name is taken.
    bool Start();
    void Stop();

    std::vector<TNotification> Received() const { return Notifications; }
    // Waits until count notifications have arrived.
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout);
    QStringList GetCapabilities();
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion);
    void CloseNotification(uint id);

private:
    QString Connection;
    bool Started = false;
    uint LastId = 0;
    std::vector<TNotification> Notifications;
};

}  // namespace quarneldtest

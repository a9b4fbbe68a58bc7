#include "NotificationServer.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMetaType>
#include <QTimer>

namespace quarneldtest {

namespace {

const char* const Service_Name = "org.freedesktop.Notifications";
const char* const Object_Path = "/org/freedesktop/Notifications";

}  // namespace

bool TestBusRunning() {
    return qEnvironmentVariableIntValue("QUARNELD_TEST_BUS") == 1 &&
           QDBusConnection::sessionBus().isConnected();
}

bool FlushNotifications() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    // The server answers in the order of the calls, and the replies are handled in the order
    // they come: once this one is in, every earlier one has been handled.
    QDBusPendingCallWatcher watcher(bus.asyncCall(QDBusMessage::createMethodCall(
        QLatin1String(Service_Name), QLatin1String(Object_Path), QLatin1String(Service_Name),
        QStringLiteral("GetCapabilities"))));
    bool done = false;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, [&done] { done = true; });
    return WaitFor([&done] { return done; });
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return condition();
        }
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

TNotificationServer::TNotificationServer()
    : Connection(QStringLiteral("quarneldtest-notifications-%1").arg(quintptr(this), 0, 16)) {}

TNotificationServer::~TNotificationServer() {
    Stop();
}

bool TNotificationServer::Start() {
    Stop();
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, Connection);
    Started = true;
    if (!bus.isConnected() ||
        !bus.registerObject(QLatin1String(Object_Path), this, QDBusConnection::ExportAllSlots)) {
        Stop();
        return false;
    }
    if (!bus.registerService(QLatin1String(Service_Name))) {
        Stop();
        return false;
    }
    return true;
}

void TNotificationServer::Stop() {
    if (!Started) {
        return;
    }
    Started = false;
    {
        QDBusConnection bus(Connection);
        if (bus.isConnected()) {
            bus.unregisterService(QLatin1String(Service_Name));
            bus.unregisterObject(QLatin1String(Object_Path));
        }
    }
    QDBusConnection::disconnectFromBus(Connection);
}

bool TNotificationServer::WaitForCount(size_t count, std::chrono::milliseconds timeout) {
    return WaitFor([&] { return Notifications.size() >= count; }, timeout);
}

uint TNotificationServer::Notify(const QString& appName, uint replacesId, const QString& appIcon,
                                 const QString& summary, const QString& body,
                                 const QStringList& /*actions*/, const QVariantMap& hints,
                                 int expireTimeout) {
    TNotification shown;
    shown.AppName = appName;
    shown.ReplacesId = replacesId;
    shown.Icon = appIcon;
    shown.Summary = summary;
    shown.Body = body;
    // Servers read the urgency only as a byte.
    const QVariant urgency = hints.value(QStringLiteral("urgency"));
    if (urgency.metaType() == QMetaType::fromType<uchar>()) {
        shown.Urgency = urgency.value<uchar>();
    }
    shown.ExpireTimeout = expireTimeout;
    shown.Id = replacesId != 0 && replacesId <= LastId ? replacesId : ++LastId;
    Notifications.push_back(shown);
    return shown.Id;
}

QStringList TNotificationServer::GetCapabilities() {
    return {QStringLiteral("body")};
}

QString TNotificationServer::GetServerInformation(QString& vendor, QString& version,
                                                  QString& specVersion) {
    vendor = QStringLiteral("quarneld tests");
    version = QStringLiteral("1");
    specVersion = QStringLiteral("1.2");
    return QStringLiteral("quarneld test notifications");
}

void TNotificationServer::CloseNotification(uint /*id*/) {}

}  // namespace quarneldtest

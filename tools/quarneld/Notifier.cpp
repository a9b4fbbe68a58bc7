#include "Notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "DebugLog.h"
#include "MessageFrm.h"
#include "Translation.h"
#include "dmUser.h"

namespace {

const char* const Service_Name = "org.freedesktop.Notifications";
const char* const Object_Path = "/org/freedesktop/Notifications";
const char* const Interface_Name = "org.freedesktop.Notifications";

const char* LabelOf(int moduleType) {
    switch (moduleType) {
        case Module_Type_A:
            return "InverterALabel";
        case Module_Type_B:
            return "InverterBLabel";
        case Module_Type_C:
            return "InverterCLabel";
        default:
            return nullptr;
    }
}

}  // namespace

TNotifier::TNotifier(TUserData& userData, const QString& languagePath, QObject* parent)
    : QObject(parent), UserData(userData), LanguagePath(languagePath) {}

bool TNotifier::Available() const {
    return QDBusConnection::sessionBus().isConnected();
}

void TNotifier::NotProducing(const QString& boxName, int moduleType) {
    Notify(boxName, moduleType, false);
}

void TNotifier::ProducingAgain(const QString& boxName, int moduleType) {
    Notify(boxName, moduleType, true);
}

void TNotifier::Notify(const QString& boxName, int moduleType, bool producing) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    // A language database that cannot be read leaves the English texts; the desktop program
    // reports its trouble with the file.
    TMsgForm texts;
    TranslateMsgForm(texts, LanguagePath, UserData.GetLanguage());
    QString body = boxName;
    if (const char* label = LabelOf(moduleType)) {
        body += ' ' + texts.Text(QLatin1String(label));
    }
    body += ' ' + texts.Text(producing ? QStringLiteral("Alert_ProducingAgain")
                                       : QStringLiteral("Alert_NotProducing"));

    const std::pair<QString, int> inverter{boxName, moduleType};
    const auto shown = Shown.find(inverter);
    const uint replaces = shown == Shown.end() ? 0 : shown->second;
    // Urgency is a byte: 1 normal, 2 critical.
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(producing ? 1 : 2))}};

    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(Service_Name), QLatin1String(Object_Path),
                                       QLatin1String(Interface_Name), QStringLiteral("Notify"));
    call << QStringLiteral("quarneld") << replaces
         << QString(producing ? QStringLiteral("dialog-information")
                              : QStringLiteral("dialog-warning"))
         << texts.Text(producing ? QStringLiteral("Alert_ProducingAgainTitle")
                                 : QStringLiteral("Alert_NotProducingTitle"))
         << body << QStringList() << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, inverter](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (reply.isError()) {
                    // No notification server on the bus, or one that refuses: the alert stays
                    // in the service's other channels.
                    if (!FailureNoted) {
                        FailureNoted = true;
                        DebugLine("***Desktop notification not shown: " + reply.error().message());
                    }
                    return;
                }
                Shown[inverter] = reply.value();
            });
}

// The service's desktop notifications: an inverter that stops producing while the others of its
// box go on, and the same inverter producing again, shown by the notification server of the
// user's desktop session over D-Bus. The texts are in the language the desktop program stores in
// the user database, read at each notification.
//
// Without a session bus every call does nothing. The calls never wait for the server: the reply,
// when one comes, only gives the id that the next notification of the same inverter replaces.
// Main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <map>
#include <utility>

class TUserData;

class TNotifier : public QObject {
    Q_OBJECT
public:
    // languagePath: the language database (language.sqlite of the data folder); userData: for
    // the language chosen in the desktop program.
    TNotifier(TUserData& userData, const QString& languagePath, QObject* parent = nullptr);

    // moduleType: Module_Type_A, Module_Type_B or Module_Type_C.
    void NotProducing(const QString& boxName, int moduleType);
    void ProducingAgain(const QString& boxName, int moduleType);
    // A session bus is there.
    bool Available() const;

private:
    void Notify(const QString& boxName, int moduleType, bool producing);

    TUserData& UserData;
    QString LanguagePath;
    // The server's id of the last notification of each inverter (box name, module type).
    std::map<std::pair<QString, int>, uint> Shown;
    bool FailureNoted = false;
};

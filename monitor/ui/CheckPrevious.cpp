#include "CheckPrevious.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

#include "DebugLog.h"

namespace {

// A socket's path has room for about 100 bytes, the temporary folder included.
constexpr int Longest_Plain_Name = 64;
const QByteArray Restore_Request = QByteArrayLiteral("restore\n");
const QByteArray Restore_Answer = QByteArrayLiteral("ok\n");
constexpr int Answer_Wait = 2000;  // ms a running instance gets to answer
constexpr int Listen_Wait = 5000;  // ms the lock holder gets to open its door

}  // namespace

QString TCheckPrevious::InstanceNameOf(const QString& programPath) {
    QString name = programPath;
    name.remove('/');
    if (name.size() > Longest_Plain_Name) {
        const QByteArray hash =
            QCryptographicHash::hash(programPath.toUtf8(), QCryptographicHash::Sha1).toHex();
        name = QStringLiteral("quarnel-") + QString::fromLatin1(hash);
    }
    return name;
}

TCheckPrevious::TCheckPrevious(const QString& programPath) : Name(InstanceNameOf(programPath)) {}

TCheckPrevious::~TCheckPrevious() {
    if (Server) {
        Server->close();
        Server.reset();
    }
    if (Lock) {
        Lock->unlock();
    }
    IsRegistered = false;
}

bool TCheckPrevious::RestoreIfRunning(int maxInstances) {
    if (maxInstances < 1) {
        maxInstances = 1;
    }
    // The lock decides who is first, also when two starts race. A lock left by a killed
    // instance names a process that no longer runs, and is taken over.
    Lock = std::make_unique<QLockFile>(QDir::temp().filePath(Name + QStringLiteral(".lock")));
    Lock->setStaleLockTime(0);
    if (Lock->tryLock(0)) {
        IsRegistered = Listen();
        if (!IsRegistered) {
            DebugLine("Single instance: cannot listen on " + Name + ": " +
                      (Server ? Server->errorString() : QString()));
        }
        return false;
    }
    Lock.reset();
    AskRunningInstance();
    return true;
}

bool TCheckPrevious::Listen() {
    Server = std::make_unique<QLocalServer>();
    Server->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock, any socket of this name is a leftover of a killed instance.
    QLocalServer::removeServer(Name);
    if (!Server->listen(Name)) {
        return false;
    }
    QObject::connect(Server.get(), &QLocalServer::newConnection, Server.get(), [this] {
        while (QLocalSocket* peer = Server->nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
                if (!peer->canReadLine()) {
                    return;
                }
                const QByteArray request = peer->readLine();
                if (request == Restore_Request && OnRestore) {
                    OnRestore();
                }
                peer->write(Restore_Answer);
                peer->flush();
                peer->disconnectFromServer();
            });
        }
    });
    return true;
}

bool TCheckPrevious::AskRunningInstance() {
    // The running instance may have taken the lock a moment ago and not be listening yet.
    const QDeadlineTimer deadline(Listen_Wait);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(Name);
        if (socket.waitForConnected(200)) {
            break;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
    socket.write(Restore_Request);
    socket.flush();
    const bool answered = socket.waitForReadyRead(Answer_Wait) && socket.canReadLine();
    socket.disconnectFromServer();
    return answered;
}

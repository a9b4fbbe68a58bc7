#include "BoxLock.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "dmUser.h"

TBoxLocks::TBoxLocks(TUserData& userData) : UserData(userData) {}

TBoxLocks::~TBoxLocks() {
    ReleaseAll();
}

bool TBoxLocks::Shared() const {
    return UserData.Store.IsPostgreSQL();
}

TLockResult TBoxLocks::TryLock(int32_t kestId, QString* error) const {
    QSqlQuery query(QSqlDatabase::database(UserData.ConnectionName(), false));
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(?, ?)"));
    query.addBindValue(Box_Lock_Space);
    query.addBindValue(kestId);
    if (!query.exec() || !query.next()) {
        if (error != nullptr) {
            *error = query.lastError().text();
        }
        return TLockResult::Failed;
    }
    return query.value(0).toBool() ? TLockResult::Taken : TLockResult::Held;
}

TLockResult TBoxLocks::Take(int32_t kestId, QString* error) {
    if (!Shared() || Holds(kestId)) {
        HeldBoxes.insert(kestId);
        return TLockResult::Taken;
    }
    const TLockResult result = TryLock(kestId, error);
    if (result == TLockResult::Taken) {
        HeldBoxes.insert(kestId);
    }
    return result;
}

void TBoxLocks::Release(int32_t kestId) {
    if (HeldBoxes.erase(kestId) == 0 || !Shared()) {
        return;
    }
    // A connection that is gone has freed the lock already; nothing to report then.
    QSqlQuery query(QSqlDatabase::database(UserData.ConnectionName(), false));
    query.prepare(QStringLiteral("SELECT pg_advisory_unlock(?, ?)"));
    query.addBindValue(Box_Lock_Space);
    query.addBindValue(kestId);
    query.exec();
}

void TBoxLocks::ReleaseAll() {
    while (!HeldBoxes.empty()) {
        Release(*HeldBoxes.begin());
    }
}

QString TBoxLocks::Holder(int32_t kestId) const {
    if (!Shared()) {
        return QString();
    }
    // A two-key advisory lock shows its keys as classid and objid, with objsubid 2.
    QSqlQuery query(QSqlDatabase::database(UserData.ConnectionName(), false));
    query.prepare(QStringLiteral(
        "SELECT a.application_name, host(a.client_addr) FROM pg_locks l "
        "JOIN pg_stat_activity a ON a.pid = l.pid WHERE l.locktype = 'advisory' AND l.granted "
        "AND l.objsubid = 2 AND l.classid = ?::oid AND l.objid = ?::oid LIMIT 1"));
    query.addBindValue(qint64(uint32_t(Box_Lock_Space)));
    query.addBindValue(qint64(uint32_t(kestId)));
    if (!query.exec() || !query.next()) {
        return QString();
    }
    QString program = query.value(0).toString();
    if (program.isEmpty()) {
        program = QStringLiteral("another program");
    }
    const QString host = query.value(1).toString();
    return host.isEmpty() ? program : program + " on " + host;
}

std::vector<int32_t> TBoxLocks::TakeAgain() {
    std::vector<int32_t> lost;
    if (!Shared()) {
        return lost;
    }
    for (auto it = HeldBoxes.begin(); it != HeldBoxes.end();) {
        // When the session has survived after all it holds the lock still, and taking it again
        // would count it twice.
        QSqlQuery query(QSqlDatabase::database(UserData.ConnectionName(), false));
        query.prepare(QStringLiteral(
            "SELECT CASE WHEN EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND "
            "granted AND pid = pg_backend_pid() AND objsubid = 2 AND classid = ?::oid AND "
            "objid = ?::oid) THEN true ELSE pg_try_advisory_lock(?, ?) END"));
        query.addBindValue(qint64(uint32_t(Box_Lock_Space)));
        query.addBindValue(qint64(uint32_t(*it)));
        query.addBindValue(Box_Lock_Space);
        query.addBindValue(*it);
        if (query.exec() && query.next() && query.value(0).toBool()) {
            ++it;
            continue;
        }
        lost.push_back(*it);
        it = HeldBoxes.erase(it);
    }
    return lost;
}

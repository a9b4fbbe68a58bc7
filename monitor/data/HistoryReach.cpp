#include "HistoryReach.h"

#include <QSqlError>

#include "DebugLog.h"
#include "HistorySlots.h"

namespace {

QString OpenKey(int32_t moduleId, uint8_t resolution, const QString& timestamp) {
    return QStringLiteral("%1 %2 %3").arg(moduleId).arg(resolution).arg(timestamp);
}

}  // namespace

void THistoryReach::AddTable(const QSqlDatabase& db) {
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS history_reach ("
                                   "reach_module INTEGER REFERENCES modules (module_id) "
                                   "ON DELETE CASCADE, reach_resolution INTEGER, reach_first "
                                   "TEXT, reach_last TEXT, reach_open INTEGER)")) ||
        !query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS history_reach_by_module ON "
                                   "history_reach (reach_module, reach_resolution, reach_last)"))) {
        DebugLine("OpenDatabase: no history_reach table: " + query.lastError().text());
    }
}

void THistoryReach::Open(const QSqlDatabase& db) {
    Close();
    Db = db;
    if (!db.tables().contains(QStringLiteral("history_reach"))) {
        return;
    }
    struct {
        std::unique_ptr<QSqlQuery>& query;
        const char* sql;
    } statements[] = {
        {Inside,
         "SELECT 1 FROM history_reach WHERE reach_module = ? AND reach_resolution = ? AND "
         "reach_open = 0 AND reach_first <= ? AND reach_last >= ? LIMIT 1"},
        {ExtendDown,
         "UPDATE history_reach SET reach_first = ? WHERE reach_module = ? AND reach_resolution = ? "
         "AND reach_open = 0 AND reach_first = ?"},
        {ExtendUp,
         "UPDATE history_reach SET reach_last = ? WHERE reach_module = ? AND reach_resolution = ? "
         "AND reach_open = 0 AND reach_last = ?"},
        {AddNoValue,
         "INSERT INTO history_reach (reach_module, reach_resolution, reach_first, reach_last, "
         "reach_open) VALUES (?, ?, ?, ?, 0)"},
        {AddOpen,
         "INSERT INTO history_reach (reach_module, reach_resolution, reach_first, reach_last, "
         "reach_open) SELECT CAST(? AS INTEGER), CAST(? AS INTEGER), ?, ?, 1 WHERE NOT EXISTS "
         "(SELECT 1 FROM history_reach "
         "WHERE reach_module = ? AND reach_resolution = ? AND reach_open = 1 AND "
         "reach_first = ?)"},
        {RemoveOpen,
         "DELETE FROM history_reach WHERE reach_module = ? AND reach_resolution = ? AND "
         "reach_open = 1 AND reach_first = ?"},
    };
    for (auto& statement : statements) {
        statement.query = std::make_unique<QSqlQuery>(db);
        if (!statement.query->prepare(QString::fromLatin1(statement.sql))) {
            DebugLine("OpenDatabase: history_reach not kept: " +
                      statement.query->lastError().text());
            Close();
            return;
        }
    }
    Enabled = true;
    ReloadOpenSlots();
}

void THistoryReach::Close() {
    Enabled = false;
    for (auto* query : {&Inside, &ExtendDown, &ExtendUp, &AddNoValue, &AddOpen, &RemoveOpen}) {
        query->reset();
    }
    OpenSlots.clear();
    Db = QSqlDatabase();
}

void THistoryReach::ReloadOpenSlots() {
    if (!Enabled) {
        return;
    }
    OpenSlots.clear();
    QSqlQuery query(Db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT reach_module, reach_resolution, reach_first FROM "
                                   "history_reach WHERE reach_open = 1"))) {
        DebugLine("history_reach: open slots not read: " + query.lastError().text());
        return;
    }
    while (query.next()) {
        OpenSlots.insert(OpenKey(query.value(0).toInt(), uint8_t(query.value(1).toInt()),
                                 query.value(2).toString()));
    }
}

void THistoryReach::Note(int32_t moduleId, uint8_t resolution, const QDateTime& slot, bool hasValue,
                         bool open) {
    if (!Enabled || !slot.isValid()) {
        return;
    }
    if (!hasValue) {
        // The open slot may still get a value.
        if (!open) {
            NoteNoValue(moduleId, resolution, slot);
        }
        return;
    }
    const QString timestamp = SampleTimestamp(slot);
    const QString key = OpenKey(moduleId, resolution, timestamp);
    if (open && !OpenSlots.contains(key)) {
        for (int i = 0; i < 2; ++i) {
            AddOpen->addBindValue(moduleId);
            AddOpen->addBindValue(int(resolution));
            AddOpen->addBindValue(timestamp);
            if (i == 0) {
                AddOpen->addBindValue(timestamp);
            }
        }
        if (Run(*AddOpen, "an open slot not kept")) {
            OpenSlots.insert(key);
        }
    } else if (!open && OpenSlots.contains(key)) {
        RemoveOpen->addBindValue(moduleId);
        RemoveOpen->addBindValue(int(resolution));
        RemoveOpen->addBindValue(timestamp);
        if (Run(*RemoveOpen, "a closed slot still kept as open")) {
            OpenSlots.remove(key);
        }
    }
}

void THistoryReach::NoteNoValue(int32_t moduleId, uint8_t resolution, const QDateTime& slot) {
    const QString timestamp = SampleTimestamp(slot);
    Inside->addBindValue(moduleId);
    Inside->addBindValue(int(resolution));
    Inside->addBindValue(timestamp);
    Inside->addBindValue(timestamp);
    if (!Run(*Inside, "a slot without value not looked up")) {
        return;
    }
    const bool known = Inside->next();
    Inside->finish();
    if (known) {
        return;
    }
    // Downloads walk newest first: a slot without value mostly extends a range downwards.
    const QString next = SampleTimestamp(SlotStep(slot, resolution, 1));
    const QString previous = SampleTimestamp(SlotStep(slot, resolution, -1));
    for (const auto& [query, neighbour] :
         {std::pair{ExtendDown.get(), next}, std::pair{ExtendUp.get(), previous}}) {
        query->addBindValue(timestamp);
        query->addBindValue(moduleId);
        query->addBindValue(int(resolution));
        query->addBindValue(neighbour);
        if (!Run(*query, "a slot without value not kept")) {
            return;
        }
        if (query->numRowsAffected() > 0) {
            return;
        }
    }
    AddNoValue->addBindValue(moduleId);
    AddNoValue->addBindValue(int(resolution));
    AddNoValue->addBindValue(timestamp);
    AddNoValue->addBindValue(timestamp);
    Run(*AddNoValue, "a slot without value not kept");
}

bool THistoryReach::Run(QSqlQuery& query, const char* what) {
    if (query.exec()) {
        return true;
    }
    DebugLine(
        QStringLiteral("history_reach: %1: %2").arg(QLatin1String(what), query.lastError().text()));
    return false;
}

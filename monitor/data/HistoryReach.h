// The table history_reach of the user database: what downloads have learnt of a module's history
// beyond its samples. The closed slots a box answered "no value" for are kept as ranges, which no
// download asks for again; a slot stored while its period was still open is kept until a
// download has read it again after its period ended. Main thread only, on TUserData's
// connection.
#pragma once

#include <QDateTime>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <cstdint>
#include <memory>

class THistoryReach {
public:
    // Adds the table to a file an earlier install step made. The structure version stays: older
    // programs ignore the table. Without it (a read-only file) downloads only ask for more.
    static void AddTable(const QSqlDatabase& db);

    // Prepares the statements; without the table, Note does nothing.
    void Open(const QSqlDatabase& db);
    void Close();
    // What one downloaded sample tells: a closed slot without value joins the ranges without
    // value; a slot stored while open is kept, and one read closed is no longer.
    void Note(int32_t moduleId, uint8_t resolution, const QDateTime& slot, bool hasValue,
              bool open);
    // Reads the slots stored while open afresh: another program may have read them since.
    void ReloadOpenSlots();

private:
    bool Run(QSqlQuery& query, const char* what);
    void NoteNoValue(int32_t moduleId, uint8_t resolution, const QDateTime& slot);

    QSqlDatabase Db;
    bool Enabled = false;
    std::unique_ptr<QSqlQuery> Inside;
    std::unique_ptr<QSqlQuery> ExtendDown;
    std::unique_ptr<QSqlQuery> ExtendUp;
    std::unique_ptr<QSqlQuery> AddNoValue;
    std::unique_ptr<QSqlQuery> AddOpen;
    std::unique_ptr<QSqlQuery> RemoveOpen;
    QSet<QString> OpenSlots;  // "module resolution time stamp"
};

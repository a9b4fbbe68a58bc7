// A module row of the user database, and the query through which the box editing panel edits
// one module of the current box.
#pragma once

#include <QHash>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>

struct TModuleRow {
    int32_t Id = 0;
    int32_t Kest = 0;
    int32_t Type = 0;
    int32_t Color = 0;
    int32_t Pattern = 0;
    int32_t LineType = 0;
    bool IsPresent = false;
    bool IsCheckedKWh = false;
    bool IsCheckedW = false;
};

// The row the query stands on, read by column name.
TModuleRow ReadModule(const QSqlQuery& query);

// One of the four per-module queries of the box editing panel: the current box's module of one
// type, editable field by field and posted as one update.
class TModuleQuery {
public:
    TModuleQuery(const QString& connection, int32_t moduleType);

    int32_t ModuleType() const { return Type; }
    // The query's text; :module_kest is its one parameter.
    QString Text() const;
    bool Open(QString* error);
    void Close();
    bool IsOpen() const { return Active; }
    // Follows the box: runs the query again with module_kest = kestId. Edits not posted are lost.
    // False, with the database's words in error, when the query could not run; the query then
    // has no row.
    bool SetKest(int32_t kestId, QString* error = nullptr);
    bool Found() const { return HasRow; }
    const TModuleRow& Row() const { return Current; }
    // Edits one field of the row (module_color, module_pattern, module_linetype,
    // module_ispresent, module_ischecked_kwh, module_ischecked_w); false for another field or
    // when there is no row.
    bool SetValue(const QString& field, const QVariant& value);
    bool Editing() const { return Edited; }
    // Writes the edited fields; false, with the database's words in error, when they were not
    // stored. The edits are then still pending.
    bool Post(QString* error);
    // Drops the edits: the row is read again as stored.
    bool Cancel(QString* error = nullptr);

private:
    QString Connection;
    int32_t Type;
    bool Active = false;
    int32_t Kest = 0;
    bool HasRow = false;
    bool Edited = false;
    TModuleRow Current;
    QStringList EditedFields;
    QHash<QString, int> EditedValues;
};

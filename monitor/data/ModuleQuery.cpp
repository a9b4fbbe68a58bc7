#include "ModuleQuery.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlRecord>

namespace {

// The module query fields the editing panel may change, and how they are stored.
const QStringList Editable_Module_Fields = {"module_color",         "module_pattern",
                                            "module_linetype",      "module_ispresent",
                                            "module_ischecked_kwh", "module_ischecked_w"};

}  // namespace

TModuleRow ReadModule(const QSqlQuery& query) {
    const QSqlRecord r = query.record();
    TModuleRow row;
    row.Id = query.value(r.indexOf("module_id")).toInt();
    row.Kest = query.value(r.indexOf("module_kest")).toInt();
    row.Type = query.value(r.indexOf("module_type")).toInt();
    row.Color = query.value(r.indexOf("module_color")).toInt();
    row.Pattern = query.value(r.indexOf("module_pattern")).toInt();
    row.LineType = query.value(r.indexOf("module_linetype")).toInt();
    row.IsPresent = query.value(r.indexOf("module_ispresent")).toInt() != 0;
    row.IsCheckedKWh = query.value(r.indexOf("module_ischecked_kwh")).toInt() != 0;
    row.IsCheckedW = query.value(r.indexOf("module_ischecked_w")).toInt() != 0;
    return row;
}

TModuleQuery::TModuleQuery(const QString& connection, int32_t moduleType)
    : Connection(connection), Type(moduleType) {}

QString TModuleQuery::Text() const {
    return QStringLiteral(
               "SELECT * FROM modules M\n"
               "WHERE ( M.module_kest = :module_kest)\n"
               "  AND     ( ( M.module_type = %1) );")
        .arg(Type);
}

bool TModuleQuery::Open(QString* error) {
    QSqlQuery probe(QSqlDatabase::database(Connection, false));
    if (!probe.prepare(Text())) {
        *error = probe.lastError().text();
        return false;
    }
    Active = true;
    return SetKest(Kest, error);
}

void TModuleQuery::Close() {
    Active = false;
    HasRow = false;
    Edited = false;
    EditedFields.clear();
}

bool TModuleQuery::SetKest(int32_t kestId, QString* error) {
    Kest = kestId;
    HasRow = false;
    Edited = false;
    EditedFields.clear();
    Current = TModuleRow();
    if (!Active) {
        return true;
    }
    QSqlQuery query(QSqlDatabase::database(Connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(Text())) {
        if (error != nullptr) {
            *error = query.lastError().text();
        }
        return false;
    }
    query.bindValue(":module_kest", kestId);
    if (!query.exec()) {
        if (error != nullptr) {
            *error = query.lastError().text();
        }
        return false;
    }
    if (query.next()) {
        Current = ReadModule(query);
        HasRow = true;
    }
    return true;
}

bool TModuleQuery::SetValue(const QString& field, const QVariant& value) {
    if (!HasRow || !Editable_Module_Fields.contains(field)) {
        return false;
    }
    const int number = field.endsWith(QStringLiteral("_ispresent")) ||
                               field.startsWith(QStringLiteral("module_ischecked"))
                           ? (value.toBool() ? 1 : 0)
                           : value.toInt();
    if (field == "module_color") {
        Current.Color = number;
    } else if (field == "module_pattern") {
        Current.Pattern = number;
    } else if (field == "module_linetype") {
        Current.LineType = number;
    } else if (field == "module_ispresent") {
        Current.IsPresent = number != 0;
    } else if (field == "module_ischecked_kwh") {
        Current.IsCheckedKWh = number != 0;
    } else {
        Current.IsCheckedW = number != 0;
    }
    if (!EditedFields.contains(field)) {
        EditedFields << field;
    }
    EditedValues[field] = number;
    Edited = true;
    return true;
}

bool TModuleQuery::Post(QString* error) {
    if (!Edited) {
        return true;
    }
    // Only the fields edited here are written: the selection marks may have changed elsewhere.
    QStringList assignments;
    for (const QString& field : EditedFields) {
        assignments << field + QStringLiteral(" = ?");
    }
    QSqlQuery update(QSqlDatabase::database(Connection, false));
    if (!update.prepare("UPDATE modules SET " + assignments.join(", ") + " WHERE module_id = ?")) {
        *error = update.lastError().text();
        return false;
    }
    for (const QString& field : EditedFields) {
        update.addBindValue(EditedValues.value(field));
    }
    update.addBindValue(Current.Id);
    if (!update.exec()) {
        *error = update.lastError().text();
        return false;
    }
    Edited = false;
    EditedFields.clear();
    return true;
}

bool TModuleQuery::Cancel(QString* error) {
    return SetKest(Kest, error);
}

#include "Translation.h"

#include <QAtomicInteger>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include "MessageFrm.h"

TTranslationLookup LookupTranslation(const QSqlDatabase& db, const QString& key, int language) {
    if (language < Language_English || language > Language_French) {
        language = Language_English;
    }
    TTranslationLookup found;
    QSqlQuery lookup(db);
    lookup.prepare(QStringLiteral("SELECT * FROM Languages WHERE Key = ? LIMIT 1"));
    lookup.addBindValue(key);
    if (!lookup.exec()) {
        found.Result = TTranslationLookup::Failed;
        found.Error = lookup.lastError().text();
        return found;
    }
    if (lookup.next()) {
        // The language columns follow Key and Default in the order of the language numbers.
        found.Result = TTranslationLookup::Found;
        found.Text = lookup.value(language + 2).toString();
    }
    return found;
}

namespace {

QString Translated(const QSqlDatabase& db, const QString& key, const QString& english, int language,
                   QString* error) {
    const TTranslationLookup found = LookupTranslation(db, key, language);
    if (found.Result == TTranslationLookup::Failed && error != nullptr && error->isEmpty()) {
        *error = found.Error;
    }
    return found.Text.isEmpty() ? english : found.Text;
}

}  // namespace

bool TranslateMsgForm(TMsgForm& texts, const QString& path, int language, QString* error) {
    if (!QFileInfo(path).isFile()) {
        if (error != nullptr) {
            *error = path + QStringLiteral(" not found");
        }
        return false;
    }
    static QAtomicInteger<quint64> connections;
    const QString connection =
        QStringLiteral("msgform-translation-%1").arg(connections.fetchAndAddRelaxed(1));
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        // Read-only: the file is never created or changed here.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            failure = db.lastError().text();
        } else {
            texts.SetCaption(Translated(db, TMsgForm::Name() + QLatin1String(".Caption"),
                                        texts.Caption(), language, &failure));
            for (const TMessageLabel& entry : texts.Labels()) {
                texts.SetText(entry.Name, Translated(db, TMsgForm::TranslationKey(entry.Name),
                                                     entry.Caption, language, &failure));
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (error != nullptr) {
        *error = failure;
    }
    return failure.isEmpty();
}

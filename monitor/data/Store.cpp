#include "Store.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>
#include <QUrlQuery>

#include "dmUser.h"

namespace {

const QString Database_File = QStringLiteral("KestUser.sqlite");
const QString Store_File = QStringLiteral("database.conf");

bool IsPostgresUrl(const QString& url) {
    return url.startsWith(QLatin1String("postgresql://")) ||
           url.startsWith(QLatin1String("postgres://"));
}

// A value for a libpq connection string, quoted so that blanks and quotes stay in it.
QString Quoted(QString value) {
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

}  // namespace

TStore SqliteStore(const QString& path) {
    TStore store;
    store.Path = path;
    store.Shown = path;
    return store;
}

bool PostgresStore(const QString& url, TStore* store, QString* message) {
    const QUrl parsed(url, QUrl::StrictMode);
    if (!IsPostgresUrl(url) || !parsed.isValid()) {
        *message = "\"" + ShownUrl(url) +
                   "\" is no PostgreSQL connection URI (postgresql://user@host/database).";
        return false;
    }
    store->Engine = TEngine::PostgreSQL;
    store->Path.clear();
    store->Url = url;
    store->Shown = ShownUrl(url);
    return true;
}

bool ChooseStoreFrom(const QString& environment, const QString& dataFolder, TStore* store,
                     QString* message) {
    if (!environment.isEmpty()) {
        if (!PostgresStore(environment, store, message)) {
            *message = "QUARNEL_DATABASE: " + *message;
            return false;
        }
        return true;
    }
    const QString conf = dataFolder + Store_File;
    if (!QFileInfo::exists(conf)) {
        *store = SqliteStore(dataFolder + Database_File);
        return true;
    }
    QSettings settings(conf, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *message = conf + " cannot be read.";
        return false;
    }
    // A list is what QSettings makes of a value with commas (several hosts).
    const QVariant value = settings.value(QStringLiteral("database/url"));
    const QString url = value.typeId() == QMetaType::QStringList
                            ? value.toStringList().join(QLatin1Char(','))
                            : value.toString().trimmed();
    if (url.isEmpty()) {
        *message = conf + " has no url in its [database] section.";
        return false;
    }
    if (!PostgresStore(url, store, message)) {
        *message = conf + ": " + *message;
        return false;
    }
    return true;
}

bool ChooseStore(const QString& dataFolder, TStore* store, QString* message) {
    return ChooseStoreFrom(qEnvironmentVariable("QUARNEL_DATABASE"), dataFolder, store, message);
}

QString ShownUrl(const QString& url) {
    QUrl parsed(url);
    if (!parsed.isValid()) {
        // Not parsed: everything between "://" and the last "@" may hold a password.
        const int scheme = url.indexOf(QLatin1String("://"));
        const int at = url.lastIndexOf(QLatin1Char('@'));
        return scheme >= 0 && at > scheme ? url.left(scheme + 3) + "***" + url.mid(at) : url;
    }
    if (!parsed.password().isEmpty()) {
        parsed.setPassword(QStringLiteral("***"));
    }
    QUrlQuery query(parsed);
    if (query.hasQueryItem(QStringLiteral("password"))) {
        query.removeAllQueryItems(QStringLiteral("password"));
        query.addQueryItem(QStringLiteral("password"), QStringLiteral("***"));
        parsed.setQuery(query);
    }
    return parsed.toString();
}

QSqlDatabase AddStoreDatabase(const QString& connection, const TStore& store) {
    if (!store.IsPostgreSQL()) {
        return AddExistingDatabase(connection, store.Path);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
    const QUrl url(store.Url);
    db.setHostName(url.host(QUrl::FullyDecoded));
    if (url.port() > 0) {
        db.setPort(url.port());
    }
    db.setDatabaseName(url.path(QUrl::FullyDecoded).mid(1));
    db.setUserName(url.userName(QUrl::FullyDecoded));
    db.setPassword(url.password(QUrl::FullyDecoded));
    // The driver joins these to its connection string; libpq takes the last of a keyword.
    QStringList options;
    const QUrlQuery query(url);
    bool timeout = false;
    bool named = false;
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        options << key + QLatin1Char('=') + Quoted(value);
        timeout = timeout || key == QLatin1String("connect_timeout");
        named = named || key == QLatin1String("application_name");
    }
    if (!timeout) {
        options << QStringLiteral("connect_timeout=10");
    }
    if (!named && !QCoreApplication::applicationName().isEmpty()) {
        options << "application_name=" + Quoted(QCoreApplication::applicationName());
    }
    db.setConnectOptions(options.join(QLatin1Char(';')));
    return db;
}

TEngine EngineOf(const QSqlDatabase& db) {
    return db.driverName() == QLatin1String("QPSQL") ? TEngine::PostgreSQL : TEngine::SQLite;
}

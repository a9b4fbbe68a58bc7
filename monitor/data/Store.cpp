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

// Where a URI's authority (user, password and servers) begins and ends.
std::pair<qsizetype, qsizetype> AuthorityOf(const QString& url) {
    const qsizetype scheme = url.indexOf(QLatin1String("://"));
    if (scheme < 0) {
        return {-1, -1};
    }
    const qsizetype begin = scheme + 3;
    qsizetype end = begin;
    while (end < url.size() && url[end] != QLatin1Char('/') && url[end] != QLatin1Char('?')) {
        ++end;
    }
    return {begin, end};
}

// libpq takes several servers in a URI, host:port pairs joined by commas, which QUrl takes for
// no host at all. The URI is read with its first server only, and the lists go to libpq.
struct TServers {
    QString Single;  // the URI with its first server only
    QString Hosts;   // every host, joined by commas, when there are several
    QString Ports;   // their ports, joined by commas, when any has one
};

bool SplitServers(const QString& url, TServers* servers) {
    servers->Single = url;
    const auto [begin, end] = AuthorityOf(url);
    if (begin < 0) {
        return true;
    }
    const QString authority = url.mid(begin, end - begin);
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    const QStringList entries = authority.mid(at + 1).split(QLatin1Char(','));
    if (entries.size() < 2) {
        return true;
    }
    QStringList hosts;
    QStringList ports;
    bool anyPort = false;
    for (const QString& entry : entries) {
        const QUrl server(QLatin1String("postgresql://") + entry, QUrl::StrictMode);
        if (!server.isValid() || server.host().isEmpty() || !server.path().isEmpty()) {
            return false;
        }
        hosts << server.host(QUrl::FullyDecoded);
        ports << (server.port() > 0 ? QString::number(server.port()) : QString());
        anyPort = anyPort || server.port() > 0;
    }
    servers->Single = url.left(begin) + authority.left(at + 1) + entries.first() + url.mid(end);
    servers->Hosts = hosts.join(QLatin1Char(','));
    servers->Ports = anyPort ? ports.join(QLatin1Char(',')) : QString();
    return true;
}

}  // namespace

TStore SqliteStore(const QString& path) {
    TStore store;
    store.Path = path;
    store.Shown = path;
    return store;
}

bool PostgresStore(const QString& url, TStore* store, QString* message) {
    TServers servers;
    if (!IsPostgresUrl(url) || !SplitServers(url, &servers) ||
        !QUrl(servers.Single, QUrl::StrictMode).isValid()) {
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
    // Read as text, not parsed: a URI that names no database may still hold a password.
    QString shown = url;
    const qsizetype question = shown.indexOf(QLatin1Char('?'));
    if (question >= 0) {
        QStringList items = shown.mid(question + 1).split(QLatin1Char('&'));
        for (QString& item : items) {
            const QString key = item.left(item.indexOf(QLatin1Char('=')));
            if (QUrl::fromPercentEncoding(key.toUtf8()).trimmed() == QLatin1String("password")) {
                item = key + QLatin1String("=***");
            }
        }
        shown = shown.left(question + 1) + items.join(QLatin1Char('&'));
    }
    // The user's part ends at the last "@" before the query: a password may hold "/" or "@".
    const qsizetype scheme = shown.indexOf(QLatin1String("://"));
    const qsizetype at = shown.lastIndexOf(QLatin1Char('@'), question >= 0 ? question : -1);
    if (scheme >= 0 && at > scheme) {
        const qsizetype colon = shown.indexOf(QLatin1Char(':'), scheme + 3);
        if (colon >= 0 && colon < at) {
            shown = shown.left(colon + 1) + QLatin1String("***") + shown.mid(at);
        }
    }
    return shown;
}

QSqlDatabase AddStoreDatabase(const QString& connection, const TStore& store) {
    if (!store.IsPostgreSQL()) {
        return AddExistingDatabase(connection, store.Path);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
    TServers servers;
    SplitServers(store.Url, &servers);
    const QUrl url(servers.Single);
    db.setHostName(url.host(QUrl::FullyDecoded));
    if (url.port() > 0) {
        db.setPort(url.port());
    }
    db.setDatabaseName(url.path(QUrl::FullyDecoded).mid(1));
    db.setUserName(url.userName(QUrl::FullyDecoded));
    db.setPassword(url.password(QUrl::FullyDecoded));
    // The driver joins these to its connection string; libpq takes the last of a keyword.
    QStringList options;
    if (!servers.Hosts.isEmpty()) {
        options << "host=" + Quoted(servers.Hosts);
    }
    if (!servers.Ports.isEmpty()) {
        options << "port=" + Quoted(servers.Ports);
    }
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

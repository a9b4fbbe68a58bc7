// Where the user database lives: the SQLite file in the data folder, as for one household, or a
// PostgreSQL database that several services and desktops of an installer share. The language
// database is always the SQLite file of the data folder.
#pragma once

#include <QSqlDatabase>
#include <QString>

enum class TEngine { SQLite, PostgreSQL };

struct TStore {
    TEngine Engine = TEngine::SQLite;
    QString Path;   // the SQLite file
    QString Url;    // the PostgreSQL connection URI as given, password and all: never shown
    QString Shown;  // what messages name: the file, or the URI without its password

    bool IsPostgreSQL() const { return Engine == TEngine::PostgreSQL; }
};

// The SQLite file at path.
TStore SqliteStore(const QString& path);
// The PostgreSQL database a connection URI names ("postgresql://" or "postgres://"); false
// with the reason when it names none.
bool PostgresStore(const QString& url, TStore* store, QString* message);
// QUARNEL_DATABASE when set, else the url of a database.conf in the folder, else the folder's
// KestUser.sqlite. False with the reason when the one chosen names no PostgreSQL database, or
// database.conf cannot be read.
bool ChooseStore(const QString& dataFolder, TStore* store, QString* message);
// The same rule for a given value of the variable (empty: not set).
bool ChooseStoreFrom(const QString& environment, const QString& dataFolder, TStore* store,
                     QString* message);
// A URI with its password, if it has one, replaced by "***".
QString ShownUrl(const QString& url);

// A connection by that name to the store, not yet opened. A missing SQLite file fails to open
// instead of becoming an empty database; a PostgreSQL server that does not answer fails after
// connect_timeout (10 s unless the URI says otherwise).
QSqlDatabase AddStoreDatabase(const QString& connection, const TStore& store);
// The engine behind an open or added connection.
TEngine EngineOf(const QSqlDatabase& db);

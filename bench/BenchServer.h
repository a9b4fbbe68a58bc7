// The PostgreSQL server of the benchmarks: the one libpq's variables name (PGHOST, PGPORT,
// PGUSER; the password stays in PGPASSWORD), as scripts/with-postgresql.sh sets them.
#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <cstdio>

namespace bench {

// Whether libpq's variables name a server.
inline bool HasServer() {
    return qEnvironmentVariableIsSet("PGPORT") || qEnvironmentVariableIsSet("PGHOST");
}

// The connection URI of a database on that server.
inline QString ServerUrl(const QString& database) {
    const QString user = qEnvironmentVariable("PGUSER", qEnvironmentVariable("USER"));
    const QString host = qEnvironmentVariable("PGHOST", QStringLiteral("localhost"));
    const QString port = qEnvironmentVariable("PGPORT", QStringLiteral("5432"));
    // A socket folder cannot be the URI's host; libpq takes the host option instead.
    const bool socket = host.startsWith(QLatin1Char('/'));
    return "postgresql://" + QUrl::toPercentEncoding(user) + "@" +
           (socket ? QStringLiteral("localhost") : host) + ":" + port + "/" + database +
           (socket ? "?host=" + QUrl::toPercentEncoding(host) : QString());
}

// Runs one statement on a connection of the benchmark; a failure is printed with the program's
// name, the database's words and the start of the statement.
inline bool RunStatement(const char* program, const QString& connection, const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (!query.exec(sql)) {
        std::fprintf(stderr, "%s: %s\n  %s\n", program, qPrintable(query.lastError().text()),
                     qPrintable(sql.left(300)));
        return false;
    }
    return true;
}

}  // namespace bench

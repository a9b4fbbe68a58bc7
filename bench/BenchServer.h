// The PostgreSQL server of the benchmarks: the one libpq's variables name (PGHOST, PGPORT,
// PGUSER; the password stays in PGPASSWORD), as scripts/with-postgresql.sh sets them.
#pragma once

#include <QString>
#include <QUrl>
#include <QtGlobal>

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

}  // namespace bench

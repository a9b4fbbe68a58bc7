// An installer's shared PostgreSQL store for a fleet: 100 boxes with their four modules, two
// years of ten-minute samples and every day, month and year (about 42 million rows), filled by
// the server itself from generate_series, one statement per box as a download of it would leave
// the rows.
//
// Figures:
//  a. The fill time, and what VACUUM ANALYZE then takes.
//  b. The size on disk: the samples table, each of its indexes, and the whole database.
//  c. The history redraw of one box's last twelve months at density 0 in the main window on
//     that store, against the bare query (one prepared SELECT per module). Target: within 2x,
//     and under 1 s.
//  d. Two layouts that might do better: samples partitioned by year (range partitions on the
//     time stamp, which the unique index must then hold), filled from the table, and a BRIN
//     index in place of the unique btree for the read. Their sizes and the bare read on them.
//
// It needs a server: libpq's variables (PGHOST, PGPORT, PGUSER, PGPASSWORD) name it, as
// scripts/with-postgresql.sh sets them. The database bench_pgfleet is made there and dropped
// at the end.
//
// usage: bench_pgfleet [BOXES]   (default: QUARNEL_FLEET_BOXES, else 100;
//                                QUARNEL_FLEET_LAYOUTS=0 leaves out d)
#include <QApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <string>

#include "CanObjects.h"
#include "NaiveTime.h"
#include "Quarnel.h"
#include "bench/BenchChart.h"
#include "bench/BenchServer.h"
#include "bench/BenchSupport.h"
#include "dmUser.h"
#include "frmMain.h"

#ifndef QUARNEL_INSTALL_SCRIPT
#error QUARNEL_INSTALL_SCRIPT must name data/install.sh
#endif

namespace {

constexpr int kDefaultBoxes = 100;
constexpr int kYears = 2;
constexpr int kRuns = 5;
constexpr double kYearTargetMs = 1000.0;
constexpr double kTargetRatio = 2.0;
const char* const kDatabase = "bench_pgfleet";
const char* const kAdmin = "bench_pgfleet_admin";
const char* const kWork = "bench_pgfleet_work";
const char* const kBare = "bench_pgfleet_bare";

bool Exec(const char* connection, const QString& sql) {
    return bench::RunStatement("bench_pgfleet", QString::fromLatin1(connection), sql);
}

int64_t Scalar(const char* connection, const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (!query.exec(sql) || !query.next()) {
        std::fprintf(stderr, "bench_pgfleet: %s\n  %s\n", qPrintable(query.lastError().text()),
                     qPrintable(sql.left(300)));
        return -1;
    }
    return query.value(0).toLongLong();
}

QString Text(const char* connection, const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(connection, false));
    return query.exec(sql) && query.next() ? query.value(0).toString() : QStringLiteral("?");
}

// Seconds a statement takes, or -1 when it fails.
double TimedExec(const char* connection, const QString& sql) {
    QElapsedTimer timer;
    timer.start();
    return Exec(connection, sql) ? double(timer.nsecsElapsed()) / 1e9 : -1;
}

double Mb(int64_t bytes) {
    return double(bytes) / (1024.0 * 1024.0);
}

QString Literal(const QString& text) {
    return "'" + QString(text).replace("'", "''") + "'";
}

// The boxes, each with its four modules present and on line.
bool AddBoxes(int boxes) {
    return Exec(kWork, QStringLiteral("INSERT INTO kests (kest_name, kest_ip, kest_port, "
                                      "kest_username, kest_password, kest_online) SELECT 'Box ' "
                                      "|| g, '127.0.0.1', 7777, 'Administrator', 'admin1234', 1 "
                                      "FROM generate_series(1, %1) AS g")
                           .arg(boxes)) &&
           Exec(kWork,
                "INSERT INTO modules (module_kest, module_type, module_color, module_pattern, "
                "module_linetype, module_ispresent, module_ischecked_kwh, module_ischecked_w) "
                "SELECT kest_id, t, t % 22, 0, 0, 1, 0, 0 FROM kests CROSS JOIN (VALUES (128), "
                "(4), (8), (12)) AS m (t) ORDER BY kest_id, t");
}

// One box's history from first to last (ten-minute slots), as the server makes it: the
// inverters a sine between 07:00 and 19:00 that swells in summer, the total three times one.
QString BoxFill(int32_t kest, const QDateTime& first, const QDateTime& last) {
    const QString from = Literal(bench::Stamp(first)) + "::timestamp";
    const QString to = Literal(bench::Stamp(last)) + "::timestamp";
    const QString peak = QStringLiteral("CASE m.module_type WHEN 128 THEN 3 ELSE 1 END");
    const QString season =
        QStringLiteral("(0.6 + 0.4 * cos(2 * pi() * (extract(doy FROM t) - 172) / 365.25))");
    auto part = [&](int resolution, const QString& series, const QString& value) {
        return QStringLiteral(
                   "SELECT m.module_id, to_char(t, 'YYYY-MM-DD HH24:MI:SS'), %1, (%2)::bigint "
                   "FROM modules AS m CROSS JOIN LATERAL %3 AS t WHERE m.module_kest = %4")
            .arg(resolution)
            .arg(value, series)
            .arg(kest);
    };
    return "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
           "sample_yield) " +
           part(36, "generate_series(" + from + ", " + to + ", interval '10 minutes')",
                "greatest(0, sin(pi() * (extract(epoch FROM t::time) / 60 - 420) / 720)) * "
                "50000 * " +
                    peak + " * " + season) +
           " UNION ALL " +
           part(71, "generate_series(" + from + ", " + to + ", interval '1 day')",
                "20000 * " + peak + " * " + season) +
           " UNION ALL " +
           part(
               106,
               "generate_series(date_trunc('month', " + from + "), " + to + ", interval '1 month')",
               "30000 * " + peak + " * " + season) +
           " UNION ALL " +
           part(125,
                "generate_series(date_trunc('year', " + from + "), " + to + ", interval '1 year')",
                "7000 * " + peak);
}

// The sizes of a table (for a partitioned one: of its partitions) and its indexes, in bytes.
struct Sizes {
    int64_t Heap = 0;
    int64_t Indexes = 0;
    int64_t Total = 0;
};

Sizes SizesOf(const QString& table) {
    // A table that is not partitioned has no partition tree.
    const QString tree = "FROM (SELECT relid FROM pg_partition_tree(" + Literal(table) +
                         ") UNION SELECT " + Literal(table) + "::regclass) AS t";
    return {Scalar(kWork, "SELECT sum(pg_relation_size(relid)) " + tree),
            Scalar(kWork, "SELECT sum(pg_indexes_size(relid)) " + tree),
            Scalar(kWork, "SELECT sum(pg_total_relation_size(relid)) " + tree)};
}

void PrintSizes(const char* what, const Sizes& s) {
    std::printf("  %-44s table %8.0f MB, indexes %8.0f MB, total %8.0f MB\n", what, Mb(s.Heap),
                Mb(s.Indexes), Mb(s.Total));
}

void PrintIndexes(const QString& table) {
    QSqlQuery query(QSqlDatabase::database(kWork, false));
    if (!query.exec("SELECT indexrelid::regclass::text, pg_relation_size(indexrelid) FROM "
                    "pg_index WHERE indrelid = " +
                    Literal(table) + "::regclass ORDER BY 1")) {
        return;
    }
    while (query.next()) {
        std::printf("    index %-40s %8.0f MB\n", qPrintable(query.value(0).toString()),
                    Mb(query.value(1).toLongLong()));
    }
}

void PrintPlan(const bench::Modules& modules, const TSlotRange& range, const QString& table) {
    QSqlQuery plan(QSqlDatabase::database(kBare, false));
    const QString sql =
        QStringLiteral(
            "EXPLAIN (ANALYZE, BUFFERS, TIMING OFF) SELECT sample_timestamp, sample_yield FROM "
            "%1 WHERE sample_module = %2 AND sample_resolution = 36 AND sample_timestamp >= %3 "
            "AND sample_timestamp < %4 ORDER BY sample_timestamp")
            .arg(table)
            .arg(modules.Ids[1])
            .arg(Literal(bench::Stamp(range.Start)), Literal(bench::Stamp(range.End)));
    std::printf("  query plan on %s:\n", qPrintable(table));
    if (!plan.exec(sql)) {
        std::printf("    (no plan: %s)\n", qPrintable(plan.lastError().text()));
        return;
    }
    while (plan.next()) {
        std::printf("    %s\n", qPrintable(plan.value(0).toString()));
    }
}

// The history query on another table, read bare.
QString ShapeOn(const QString& table) {
    return QString::fromLatin1(bench::History_Shape)
        .replace(QLatin1String("FROM samples "), "FROM " + table + " ");
}

// Samples partitioned by year: the same rows, copied from the table. The unique index must
// hold the partition key, which the time stamp is; the identity key cannot stay unique on its
// own, so the copy has none. Checks that the upsert's conflict still finds a stored row.
bool TryPartitions(const bench::Modules& modules, const TSlotRange& range, const QDate& first,
                   const QDate& last, double tableBareMs) {
    std::printf("  samples partitioned by year (range on sample_timestamp):\n");
    QString sql = QStringLiteral(
        "CREATE TABLE samples_by_year (sample_id bigint NOT NULL, sample_module integer, "
        "sample_timestamp text COLLATE \"C\", sample_resolution integer, sample_yield bigint, "
        "CONSTRAINT samples_by_year_key UNIQUE (sample_module, sample_resolution, "
        "sample_timestamp)) PARTITION BY RANGE (sample_timestamp)");
    if (!Exec(kWork, sql)) {
        return false;
    }
    for (int year = first.year(); year <= last.year(); ++year) {
        if (!Exec(kWork, QStringLiteral("CREATE TABLE samples_y%1 PARTITION OF samples_by_year "
                                        "FOR VALUES FROM ('%1') TO ('%2')")
                             .arg(year)
                             .arg(year + 1))) {
            return false;
        }
    }
    if (!Exec(kWork, "CREATE TABLE samples_y_other PARTITION OF samples_by_year DEFAULT")) {
        return false;
    }
    const double copy = TimedExec(kWork, "INSERT INTO samples_by_year SELECT * FROM samples");
    const double vacuum = TimedExec(kWork, "VACUUM (ANALYZE) samples_by_year");
    if (copy < 0 || vacuum < 0) {
        return false;
    }
    std::printf("  %-44s %9.1f s (VACUUM ANALYZE %.1f s)\n", "copy of every row", copy, vacuum);
    PrintSizes("partitions", SizesOf("samples_by_year"));
    QSqlQuery upsert(QSqlDatabase::database(kWork, false));
    const bool upserted =
        upsert.exec(QStringLiteral("INSERT INTO samples_by_year (sample_id, sample_module, "
                                   "sample_timestamp, sample_resolution, sample_yield) VALUES "
                                   "(0, %1, %2, 36, 1) ON CONFLICT (sample_module, "
                                   "sample_timestamp, sample_resolution) DO UPDATE SET "
                                   "sample_yield = excluded.sample_yield")
                        .arg(modules.Ids[1])
                        .arg(Literal(bench::Stamp(range.Start)))) &&
        upsert.numRowsAffected() == 1;
    std::printf("  %-44s %s\n", "upsert onto a stored row",
                upserted ? "updates it" : qPrintable("FAILS: " + upsert.lastError().text()));
    PrintPlan(modules, range, QStringLiteral("samples_by_year"));
    const QString shape = ShapeOn(QStringLiteral("samples_by_year"));
    const double bare =
        bench::TimeMs(1, kRuns, [&] { bench::BareRead(kBare, shape, modules, range); });
    std::printf("  %-44s median %9.1f ms   (%.2fx of the plain table's)\n",
                "bare SELECT on the partitions", bare, bare / tableBareMs);
    return Exec(kWork, "DROP TABLE samples_by_year");
}

// A BRIN index on the module, resolution and time stamp: its size, and the bare read when it
// is the only index that can serve it (the unique btree dropped in a transaction rolled back).
bool TryBrin(const bench::Modules& modules, const TSlotRange& range, double tableBareMs) {
    std::printf("  a BRIN index on (sample_module, sample_resolution, sample_timestamp):\n");
    const double build = TimedExec(kWork,
                                   "CREATE INDEX samples_brin ON samples USING brin "
                                   "(sample_module, sample_resolution, sample_timestamp)");
    if (build < 0) {
        return false;
    }
    std::printf("  %-44s %9.1f s, %.2f MB\n", "built in", build,
                Mb(Scalar(kWork, "SELECT pg_relation_size('samples_brin')")));
    if (!Exec(kBare, "BEGIN") ||
        !Exec(kBare, "ALTER TABLE samples DROP CONSTRAINT samples_by_module_resolution_time")) {
        return false;
    }
    PrintPlan(modules, range, QStringLiteral("samples"));
    const double bare = bench::TimeMs(
        1, kRuns, [&] { bench::BareRead(kBare, bench::History_Shape, modules, range); });
    std::printf("  %-44s median %9.1f ms   (%.2fx of the btree's)\n", "bare SELECT through BRIN",
                bare, bare / tableBareMs);
    return Exec(kBare, "ROLLBACK") && Exec(kWork, "DROP INDEX samples_brin");
}

// The box's module ids in export column order.
bool BoxModules(int32_t kest, bench::Modules* modules) {
    return bench::ReadBoxModules(QSqlDatabase::database(kWork, false), kest,
                                 QStringLiteral("Box %1").arg(kest), modules);
}

// The wait window asks for the front at every redraw, which the offscreen platform answers with
// a warning each time; the figures stay readable without them.
QtMessageHandler PreviousHandler = nullptr;
void QuietRaise(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!text.contains(QLatin1String("does not support raise()"))) {
        PreviousHandler(type, context, text);
    }
}

bool Measure(int boxes, const QString& folder) {
    const QString store = bench::ServerUrl(kDatabase);
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(QUARNEL_INSTALL_SCRIPT), {"--postgresql", store, folder});
    if (!install.waitForFinished(60000) || install.exitCode() != 0) {
        std::fprintf(stderr, "bench_pgfleet: install step failed: %s\n",
                     install.readAll().constData());
        return false;
    }
    TStore target;
    QString message;
    if (!PostgresStore(store, &target, &message)) {
        return false;
    }
    for (const char* name : {kWork, kBare}) {
        QSqlDatabase db = AddStoreDatabase(name, target);
        if (!db.open()) {
            std::fprintf(stderr, "bench_pgfleet: %s\n", qPrintable(db.lastError().text()));
            return false;
        }
    }
    QStringList settings;
    for (const char* name : {"server_version", "fsync", "synchronous_commit", "shared_buffers",
                             "max_wal_size", "work_mem"}) {
        settings << QString::fromLatin1(name) + " " + Text(kWork, QStringLiteral("SHOW ") + name);
    }
    std::printf("bench_pgfleet: %d boxes of 4 modules, %d years of history; server: %s\n", boxes,
                kYears, qPrintable(settings.join(", ")));
    if (!AddBoxes(boxes)) {
        return false;
    }

    // The history ends at the last ten-minute slot begun; it starts kYears before at midnight.
    const QDateTime now = NaiveNow();
    const QDateTime last(now.date(), QTime(now.time().hour(), now.time().minute() / 10 * 10),
                         Qt::UTC);
    const QDateTime first(now.date().addYears(-kYears), QTime(0, 0), Qt::UTC);
    QElapsedTimer timer;
    timer.start();
    for (int32_t kest = 1; kest <= boxes; ++kest) {
        if (!Exec(kWork, BoxFill(kest, first, last))) {
            return false;
        }
        if (kest % 10 == 0) {
            std::fprintf(stderr, "bench_pgfleet: %d of %d boxes filled, %.0f s\n", kest, boxes,
                         double(timer.nsecsElapsed()) / 1e9);
        }
    }
    const double fill = double(timer.nsecsElapsed()) / 1e9;
    const double vacuum = TimedExec(kWork, "VACUUM (ANALYZE) samples");
    const int64_t rows = Scalar(kWork, "SELECT count(*) FROM samples");
    if (vacuum < 0 || rows <= 0) {
        return false;
    }
    std::printf("  %-44s %9.1f s, %lld rows (%.0f rows/s); VACUUM ANALYZE %.1f s\n",
                "fill, one INSERT ... SELECT per box", fill, static_cast<long long>(rows),
                double(rows) / fill, vacuum);
    const Sizes table = SizesOf(QStringLiteral("samples"));
    PrintSizes("samples", table);
    PrintIndexes(QStringLiteral("samples"));
    std::printf("  %-44s %8.0f MB\n", "database (pg_database_size)",
                Mb(Scalar(kWork, "SELECT pg_database_size(current_database())")));

    // A box in the middle of the fleet: its rows lie between other boxes' in the table.
    const int32_t kest = (boxes + 1) / 2;
    bench::Modules modules;
    if (!BoxModules(kest, &modules)) {
        return false;
    }
    qputenv("QUARNEL_DATA_DIR", (folder + "/").toLocal8Bit());
    TQuarnelWindows windows;
    TMainForm& main = *windows.MainForm;
    if (main.QuitRequested() || main.UserData() == nullptr || !main.UserData()->IsOpen() ||
        !main.UserData()->Store.IsPostgreSQL()) {
        std::fprintf(stderr, "bench_pgfleet: the main window did not open the store\n");
        return false;
    }
    main.show();
    main.ClickMenuNode(Node_Per10Minutes);
    main.ClearCheckList(TModuleList::KWh);
    for (size_t i = 0; i < 4; ++i) {
        main.AddCheckListItem(TModuleList::KWh, {modules.Texts[i], modules.Ids[i], true});
    }
    main.SetHistoryResolution(1);
    main.XAxisDensity[1] = 0;
    QApplication::processEvents();

    const QDate today = now.date();
    const QDate monthEnd = QDate(today.year(), today.month(), 1).addDays(-1);
    const QDate yearStart = QDate(today.year(), today.month(), 1).addMonths(-12);
    const TSlotRange range{QDateTime(yearStart, QTime(0, 0), Qt::UTC),
                           QDateTime(monthEnd.addDays(1), QTime(0, 0), Qt::UTC)};
    std::printf("  box %d, twelve months %s .. %s at density 0, ten-minute samples of 4 modules:\n",
                kest, qPrintable(yearStart.toString(Qt::ISODate)),
                qPrintable(monthEnd.toString(Qt::ISODate)));
    PrintPlan(modules, range, QStringLiteral("samples"));
    const bench::ChartFigure year = bench::MeasureChart(main, kBare, bench::History_Shape, modules,
                                                        yearStart, monthEnd, 1, kRuns);
    bench::PrintChartFigure(year, kYearTargetMs, kTargetRatio);

    if (qEnvironmentVariable("QUARNEL_FLEET_LAYOUTS") == QLatin1String("0")) {
        return true;
    }
    return TryPartitions(modules, range, first.date(), last.date(), year.BareMs) &&
           TryBrin(modules, range, year.BareMs);
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int boxes = kDefaultBoxes;
    if (qEnvironmentVariableIsSet("QUARNEL_FLEET_BOXES") &&
        !bench::parse_count(qgetenv("QUARNEL_FLEET_BOXES").constData(), &boxes)) {
        std::fprintf(stderr, "bench_pgfleet: QUARNEL_FLEET_BOXES is no count of boxes\n");
        return 2;
    }
    if (argc > 2 || (argc == 2 && !bench::parse_count(argv[1], &boxes))) {
        std::fprintf(stderr, "usage: bench_pgfleet [BOXES]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    PreviousHandler = qInstallMessageHandler(QuietRaise);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setQuitOnLastWindowClosed(false);

    QTemporaryDir folder;
    if (!folder.isValid()) {
        return 1;
    }
    bool ok = false;
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), kAdmin);
        admin.setDatabaseName(QStringLiteral("postgres"));
        if (!admin.open()) {
            std::fprintf(stderr, "bench_pgfleet: no PostgreSQL server: %s\n",
                         qPrintable(admin.lastError().text()));
            return 1;
        }
        const QString drop =
            QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(kDatabase);
        if (Exec(kAdmin, drop) &&
            Exec(kAdmin, QStringLiteral("CREATE DATABASE %1").arg(kDatabase))) {
            ok = Measure(boxes, folder.path());
        }
        for (const char* name : {kWork, kBare}) {
            if (QSqlDatabase::contains(name)) {
                QSqlDatabase::database(name, false).close();
            }
        }
        // Several gigabytes: the database goes at once, also after a failure.
        ok = Exec(kAdmin, drop) && ok;
        admin.close();
    }
    for (const char* name : {kWork, kBare, kAdmin}) {
        QSqlDatabase::removeDatabase(name);
    }
    return ok ? 0 : 1;
}

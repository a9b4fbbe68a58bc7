// What the coverage report of quarnel-fetch costs on a well-filled database: one box whose four
// modules hold ten years of ten-minute, day, month and year samples (about 2.1 million rows),
// with a few holes at every resolution.
//
// Figures (medians after a warm-up):
//  a. ReadCoverage and CoverageLines over the four modules at all four resolutions. Target 1 s.
//  b. The bare walk: one SELECT COUNT(*) per module and resolution over the same index ranges,
//     and the ratio a / bare.
//  c. The plain alternative: one LAG window over every ten-minute row of each module, which is
//     what the report would cost without its count of short days first.
//
// usage: bench_coverage [RUNS]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "CanObjects.h"
#include "CoverageReport.h"
#include "FetchOptions.h"
#include "bench/BenchInstall.h"
#include "bench/BenchSupport.h"

namespace {

constexpr int kDefaultRuns = 7;
constexpr int kWindowRuns = 3;
constexpr double kTargetMs = 1000.0;
const char* const kConnection = "bench_coverage";
const char* const kStart = "2017-01-01";  // ten years up to the end of 2026

// One fill: count slots from kStart, one every step units, less the holes the condition picks.
struct FillStep {
    uint8_t Resolution;
    int Count;
    int Step;
    const char* Unit;
    const char* Holes;
};

// Holes: in the ten-minute data a stretch of an hour every 20011 slots (about every 139 days)
// and one whole week; one day, one month and one year missing at the coarser resolutions.
const std::array<FillStep, 4> kFills = {{
    {Res_Ten_Minutes, 3652 * 144, 10, "minutes",
     "i % 20011 < 6 OR ts BETWEEN '2021-07-05' AND '2021-07-11 23:59:59'"},
    {Res_Day, 3652, 1, "days", "ts = '2020-02-29 00:00:00'"},
    {Res_Month, 120, 1, "months", "ts = '2023-04-01 00:00:00'"},
    {Res_Year, 10, 1, "years", "ts = '2019-01-01 00:00:00'"},
}};

bool Exec(QSqlQuery& query, const char* what) {
    if (!query.exec()) {
        std::fprintf(stderr, "bench_coverage: %s failed: %s\n", what,
                     qPrintable(query.lastError().text()));
        return false;
    }
    return true;
}

// One box "Roof" with its four modules present, each filled at every resolution.
bool Fill(QSqlDatabase db, std::vector<int32_t>* modules, int64_t* rows) {
    if (!db.transaction()) {
        return false;
    }
    QSqlQuery kest(db);
    kest.prepare("INSERT INTO kests (kest_name, kest_online) VALUES (?, 1)");
    kest.addBindValue(QStringLiteral("Roof"));
    if (!Exec(kest, "adding the box")) {
        return false;
    }
    const int kestId = kest.lastInsertId().toInt();
    for (int type : {128, 4, 8, 12}) {
        QSqlQuery module(db);
        module.prepare(
            "INSERT INTO modules (module_kest, module_type, module_ispresent) VALUES (?, ?, 1)");
        module.addBindValue(kestId);
        module.addBindValue(type);
        if (!Exec(module, "adding a module")) {
            return false;
        }
        modules->push_back(module.lastInsertId().toInt());
    }
    for (int32_t module : *modules) {
        for (const FillStep& fill : kFills) {
            QSqlQuery insert(db);
            insert.prepare(
                QStringLiteral(
                    "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < ?),"
                    " t(i, ts) AS (SELECT i, datetime(?, '+' || (i * ?) || ?) FROM n)"
                    "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution,"
                    " sample_yield) SELECT ?, ts, ?, i % 997 FROM t WHERE NOT (%1)")
                    .arg(QLatin1String(fill.Holes)));
            insert.addBindValue(fill.Count - 1);
            insert.addBindValue(QLatin1String(kStart));
            insert.addBindValue(fill.Step);
            insert.addBindValue(QStringLiteral(" ") + QLatin1String(fill.Unit));
            insert.addBindValue(module);
            insert.addBindValue(int(fill.Resolution));
            if (!Exec(insert, "filling")) {
                return false;
            }
            *rows += insert.numRowsAffected();
        }
    }
    return db.commit();
}

double MedianMs(int runs, const std::function<bool()>& step) {
    std::vector<double> times;
    step();  // warm-up: the pages in the cache, as after the first report
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        if (!step()) {
            return -1;
        }
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return bench::median(times);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = kDefaultRuns;
    if (argc > 1 && !bench::parse_count(argv[1], &runs)) {
        std::fprintf(stderr, "usage: bench_coverage [RUNS]\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;
    if (!folder.isValid() || !bench::install_data_folder("bench_coverage", folder.path())) {
        return 1;
    }
    const QString database = folder.path() + "/KestUser.sqlite";
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kConnection);
    db.setDatabaseName(database);
    std::vector<int32_t> modules;
    int64_t rows = 0;
    QElapsedTimer fillTimer;
    fillTimer.start();
    if (!db.open() || !Fill(db, &modules, &rows)) {
        std::fprintf(stderr, "bench_coverage: filling failed: %s\n",
                     qPrintable(db.lastError().text()));
        return 1;
    }
    std::printf("bench_coverage: %lld samples of ten years filled in %.1f s, database %.0f MB\n",
                static_cast<long long>(rows), double(fillTimer.nsecsElapsed()) / 1e9,
                double(QFileInfo(database).size()) / 1e6);

    QStringList lines;
    const double report = MedianMs(runs, [&] {
        std::vector<TCoverage> coverage;
        QString error;
        if (!ReadCoverage(kConnection, {}, {}, &coverage, &error)) {
            std::fprintf(stderr, "bench_coverage: %s\n", qPrintable(error));
            return false;
        }
        lines = CoverageLines(coverage, TMsgForm());
        return true;
    });
    if (report < 0) {
        return 1;
    }
    int64_t counted = 0;
    const double bare = MedianMs(runs, [&] {
        counted = 0;
        QSqlQuery count(db);
        count.prepare(
            "SELECT COUNT(*) FROM samples WHERE sample_module = ? AND sample_resolution = ?");
        for (int32_t module : modules) {
            for (uint8_t resolution : AllResolutions()) {
                count.addBindValue(module);
                count.addBindValue(int(resolution));
                if (!Exec(count, "counting") || !count.next()) {
                    return false;
                }
                counted += count.value(0).toLongLong();
            }
        }
        return true;
    });
    const double window = MedianMs(kWindowRuns, [&] {
        QSqlQuery gaps(db);
        gaps.setForwardOnly(true);
        gaps.prepare(
            "SELECT prev, ts FROM (SELECT sample_timestamp AS ts, LAG(sample_timestamp) OVER "
            "(ORDER BY sample_timestamp) AS prev FROM samples WHERE sample_module = ? AND "
            "sample_resolution = ?) WHERE unixepoch(ts) - unixepoch(prev) > 600");
        for (int32_t module : modules) {
            gaps.addBindValue(module);
            gaps.addBindValue(int(Res_Ten_Minutes));
            if (!Exec(gaps, "the window pass")) {
                return false;
            }
            while (gaps.next()) {
            }
        }
        return true;
    });

    std::printf("  the report: %lld lines, %lld rows behind them; its first lines:\n",
                static_cast<long long>(lines.size()), static_cast<long long>(counted));
    for (qsizetype i = 0; i < lines.size() && i < 4; ++i) {
        std::printf("    %s\n", qPrintable(lines[i]));
    }
    std::printf("  a. report, 4 modules x 4 resolutions:   %8.1f ms  (target %.0f ms: %s)\n",
                report, kTargetMs, report <= kTargetMs ? "met" : "MISSED");
    std::printf("  b. bare COUNT(*) walk of the same rows: %8.1f ms  (report / bare %.2f)\n", bare,
                bare > 0 ? report / bare : 0.0);
    std::printf("  c. one LAG window over all 10-min rows: %8.1f ms  (%s)\n", window,
                window < 0 ? "failed" : "the plain alternative, for comparison");
    return 0;
}

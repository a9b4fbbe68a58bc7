// What the history view and the export cost on a well-filled database: one box whose four
// modules hold ten years of ten-minute, day, month and year samples (about 2.1 million rows),
// the main window on that data folder, and the four modules ticked in the history list.
//
// Figures (medians after a warm-up):
//  a. DrawkWhChart, ten-minute resolution, the four modules over last month. Target 100 ms.
//  b. The same over the last twelve months, every point on one page. Target 1 s.
//  c. The bare reading of the same rows (one prepared SELECT per module into vectors of keys and
//     values), and the ratios a / bare and b / bare. Target: at most 2x.
//  d. The export of the last twelve months of ten-minute samples, four columns, against the
//     sqlite3 command-line tool writing the same rows as CSV. Target: at most 2x.
// And the query plan of the history query, which should search the samples by module,
// resolution and time through the index samples_by_module_resolution_time.
//
// usage: bench_history [RUNS]   (RUNS: rounds of the one-month figures; the others take fewer)
#include <QApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QVector>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <numbers>
#include <vector>

#include "CanObjects.h"
#include "ExportData.h"
#include "KWhChart.h"
#include "NaiveTime.h"
#include "Quarnel.h"
#include "bench/BenchChart.h"
#include "bench/BenchInstall.h"
#include "bench/BenchSupport.h"
#include "dmUser.h"
#include "frmMain.h"
#include "qcustomplot.h"

namespace {

constexpr int kDefaultRuns = 15;
constexpr int kYearRuns = 5;
constexpr int kExportRuns = 3;
constexpr int kYears = 10;
constexpr int kSlotsPerDay = 144;
constexpr uint8_t kTenMinutes = 36, kDay = 71, kMonth = 106, kYear = 125;
constexpr double kMonthTargetMs = 100.0;
constexpr double kYearTargetMs = 1000.0;
constexpr double kTargetRatio = 2.0;
const char* const kFillConnection = "bench_history_fill";
const char* const kBareConnection = "bench_history_bare";

using bench::ChartFigure;
using bench::Modules;
using bench::Stamp;
using bench::TimeMs;

ChartFigure MeasureChart(TMainForm& main, const Modules& modules, QDate start, QDate end,
                         int warmUp, int runs) {
    return bench::MeasureChart(main, kBareConnection, bench::History_Shape, modules, start, end,
                               warmUp, runs);
}

void PrintChartFigure(const ChartFigure& figure, double targetMs) {
    bench::PrintChartFigure(figure, targetMs, kTargetRatio);
}

// One on-line box "Roof" with its four modules present.
bool AddBox(TUserData& data, Modules* modules) {
    const int32_t id = data.KestsTableAfterInsert();
    const QSqlDatabase db = QSqlDatabase::database(data.ConnectionName());
    QSqlQuery kest(db);
    kest.prepare(
        "UPDATE kests SET kest_name = 'Roof', kest_ip = '127.0.0.1', kest_port = 9, "
        "kest_online = 1 WHERE kest_id = ?");
    kest.addBindValue(id);
    QSqlQuery present(db);
    present.prepare("UPDATE modules SET module_ispresent = 1 WHERE module_kest = ?");
    present.addBindValue(id);
    if (id <= 0 || !kest.exec() || !present.exec() || present.numRowsAffected() != 4) {
        return false;
    }
    return bench::ReadBoxModules(db, id, QStringLiteral("Roof"), modules);
}

// A cheap, repeatable weather: the share of clear sky on a day, 0.15 .. 1.
double Sky(int64_t day) {
    uint64_t x = uint64_t(day) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return 0.15 + 0.85 * double(x % 1000) / 999.0;
}

// Power of an inverter of that peak at minute m of a day: zero at night, a sine between sunrise
// and sunset, the days long in summer and short in winter.
double Power(double peak, int dayOfYear, double sky, int minute) {
    const double season = std::cos(2 * std::numbers::pi * (dayOfYear - 172) / 365.25);
    const double dayLength = (12.0 + 4.0 * season) * 60.0;
    const double rise = 13 * 60 - dayLength / 2;  // solar noon near 13:00 on the box's clock
    const double t = (minute - rise) / dayLength;
    if (t <= 0 || t >= 1) {
        return 0;
    }
    return peak * (0.6 + 0.4 * season) * sky * std::sin(std::numbers::pi * t);
}

class Filler {
public:
    explicit Filler(QSqlDatabase db) : Insert(db) {
        Insert.prepare(
            "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
            "sample_yield) VALUES (?, ?, ?, ?)");
    }
    bool Add(int32_t module, const QString& timestamp, uint8_t resolution, int64_t yield) {
        Insert.bindValue(0, module);
        Insert.bindValue(1, timestamp);
        Insert.bindValue(2, resolution);
        Insert.bindValue(3, qint64(yield));
        if (!Insert.exec()) {
            std::fprintf(stderr, "bench_history: insert failed: %s\n",
                         qPrintable(Insert.lastError().text()));
            return false;
        }
        ++Rows;
        return true;
    }
    int64_t Rows = 0;

private:
    QSqlQuery Insert;
};

// Ten years of samples ending now, day after day as downloads would store them. Stored yields
// are Wh x 100 per ten minutes, Wh x 2 per day, kWh x 100 per month and kWh x 2 per year; the
// total module holds the sum of the three inverters.
bool Fill(QSqlDatabase db, const Modules& modules, const QDateTime& now, int64_t* rows) {
    constexpr std::array<double, 3> kPeaks = {3000, 2500, 2000};  // W of inverters A, B, C
    std::array<QString, kSlotsPerDay> times;
    for (int s = 0; s < kSlotsPerDay; ++s) {
        times[size_t(s)] = QStringLiteral(" %1:%2:00")
                               .arg(s / 6, 2, 10, QLatin1Char('0'))
                               .arg(s % 6 * 10, 2, 10, QLatin1Char('0'));
    }
    const QDate today = now.date();
    const QDate first = today.addYears(-kYears);
    const int lastSlotToday = (now.time().hour() * 60 + now.time().minute()) / 10;

    if (!db.transaction()) {
        return false;
    }
    Filler filler(db);
    std::array<double, 4> monthKWh{}, yearKWh{};
    for (QDate day = first; day <= today; day = day.addDays(1)) {
        const QString date = day.toString(QStringLiteral("yyyy-MM-dd"));
        const double sky = Sky(day.toJulianDay());
        const int taken = day == today ? lastSlotToday + 1 : kSlotsPerDay;
        std::array<double, 4> dayWh{};
        std::array<std::array<int64_t, kSlotsPerDay>, 4> stored{};
        for (int s = 0; s < taken; ++s) {
            int64_t total = 0;
            for (size_t i = 0; i < 3; ++i) {
                const double wh = Power(kPeaks[i], day.dayOfYear(), sky, s * 10 + 5) / 6.0;
                stored[i + 1][size_t(s)] = std::llround(wh * 100);
                total += stored[i + 1][size_t(s)];
                dayWh[i + 1] += wh;
                dayWh[0] += wh;
            }
            stored[0][size_t(s)] = total;
        }
        for (size_t m = 0; m < 4; ++m) {
            for (int s = 0; s < taken; ++s) {
                if (!filler.Add(modules.Ids[m], date + times[size_t(s)], kTenMinutes,
                                stored[m][size_t(s)])) {
                    return false;
                }
            }
            if (!filler.Add(modules.Ids[m], date + times[0], kDay, std::llround(dayWh[m] * 2))) {
                return false;
            }
            monthKWh[m] += dayWh[m] / 1000;
            yearKWh[m] += dayWh[m] / 1000;
        }
        const QDate next = day.addDays(1);
        const bool monthEnds = next.month() != day.month() || day == today;
        const bool yearEnds = next.year() != day.year() || day == today;
        for (size_t m = 0; m < 4; ++m) {
            if (monthEnds) {
                const QString month = QDate(day.year(), day.month(), 1).toString("yyyy-MM-dd");
                if (!filler.Add(modules.Ids[m], month + times[0], kMonth,
                                std::llround(monthKWh[m] * 100))) {
                    return false;
                }
                monthKWh[m] = 0;
            }
            if (yearEnds) {
                const QString year = QDate(day.year(), 1, 1).toString("yyyy-MM-dd");
                if (!filler.Add(modules.Ids[m], year + times[0], kYear,
                                std::llround(yearKWh[m] * 2))) {
                    return false;
                }
                yearKWh[m] = 0;
            }
        }
    }
    *rows = filler.Rows;
    if (!db.commit()) {
        return false;
    }
    // Readers should find the rows in the database file, not in a long write-ahead log.
    QSqlQuery checkpoint(db);
    return checkpoint.exec("PRAGMA wal_checkpoint(TRUNCATE)") && checkpoint.exec("ANALYZE");
}

void PrintPlan(const char* what, const QString& sql, const QVariantList& values) {
    QSqlQuery plan(QSqlDatabase::database(kBareConnection));
    plan.prepare("EXPLAIN QUERY PLAN " + sql);
    for (int i = 0; i < values.size(); ++i) {
        plan.bindValue(i, values[i]);
    }
    std::printf("  query plan of %s:\n", what);
    if (!plan.exec()) {
        std::printf("    (no plan: %s)\n", qPrintable(plan.lastError().text()));
        return;
    }
    while (plan.next()) {
        std::printf("    %s\n", qPrintable(plan.value(3).toString()));
    }
}

// The wait window asks for the front at every redraw, which the offscreen platform answers with
// a warning each time; the figures stay readable without them.
QtMessageHandler PreviousHandler = nullptr;
void QuietRaise(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!text.contains(QLatin1String("does not support raise()"))) {
        PreviousHandler(type, context, text);
    }
}

// Lines of a text file, or -1.
int64_t LineCount(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    int64_t lines = 0;
    while (!file.atEnd()) {
        file.readLine();
        ++lines;
    }
    return lines;
}

// The sqlite3 tool writing the export's rows to a file, timed around the whole process.
double ToolExportMs(const QString& database, const Modules& modules, const TSlotRange& range,
                    const QString& target) {
    const QString sql =
        QStringLiteral(
            "SELECT sample_timestamp, sample_module, sample_yield * 0.01 FROM samples "
            "WHERE sample_module IN (%1, %2, %3, %4) AND sample_resolution = 36 AND "
            "sample_timestamp >= '%5' AND sample_timestamp < '%6' ORDER BY sample_timestamp")
            .arg(modules.Ids[0])
            .arg(modules.Ids[1])
            .arg(modules.Ids[2])
            .arg(modules.Ids[3])
            .arg(Stamp(range.Start), Stamp(range.End));
    QElapsedTimer timer;
    timer.start();
    QProcess tool;
    tool.setStandardOutputFile(target);
    tool.start(QStringLiteral("sqlite3"), {QStringLiteral("-csv"), QStringLiteral("-separator"),
                                           QStringLiteral(";"), database, sql});
    if (!tool.waitForFinished(120000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        std::fprintf(stderr, "bench_history: sqlite3 failed: %s\n",
                     tool.readAllStandardError().constData());
        return -1;
    }
    return double(timer.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int runs = kDefaultRuns;
    if (argc > 1 && !bench::parse_count(argv[1], &runs)) {
        std::fprintf(stderr, "usage: bench_history [RUNS]\n");
        return 2;
    }
    QApplication app(argc, argv);
    PreviousHandler = qInstallMessageHandler(QuietRaise);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setQuitOnLastWindowClosed(false);

    QTemporaryDir folder;
    if (!folder.isValid() || !bench::install_data_folder("bench_history", folder.path())) {
        return 1;
    }
    const QString database = folder.path() + "/KestUser.sqlite";
    qputenv("QUARNEL_DATA_DIR", (folder.path() + "/").toLocal8Bit());

    TQuarnelWindows windows;
    TMainForm& main = *windows.MainForm;
    Modules modules;
    if (main.QuitRequested() || main.UserData() == nullptr || !AddBox(*main.UserData(), &modules)) {
        std::fprintf(stderr, "bench_history: the main window or its box could not be set up\n");
        return 1;
    }

    const QDateTime now = NaiveNow();
    {
        QSqlDatabase fill = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kFillConnection);
        fill.setDatabaseName(database);
        int64_t rows = 0;
        QElapsedTimer timer;
        timer.start();
        const bool filled = fill.open() && Fill(fill, modules, now, &rows);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        if (!filled) {
            std::fprintf(stderr, "bench_history: filling failed: %s\n",
                         qPrintable(fill.lastError().text()));
            return 1;
        }
        std::printf(
            "bench_history: %lld samples of ten years filled in %.1f s (%.0f rows/s), "
            "database %.0f MB\n",
            static_cast<long long>(rows), seconds, double(rows) / seconds,
            double(QFileInfo(database).size()) / 1e6);
    }
    QSqlDatabase::removeDatabase(kFillConnection);
    {
        QSqlDatabase bare = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kBareConnection);
        bare.setDatabaseName(database);
        if (!bare.open()) {
            std::fprintf(stderr, "bench_history: cannot open the database\n");
            return 1;
        }
    }

    main.show();
    main.ClickMenuNode(Node_Per10Minutes);
    main.ClearCheckList(TModuleList::KWh);
    for (size_t i = 0; i < 4; ++i) {
        main.AddCheckListItem(TModuleList::KWh, {modules.Texts[i], modules.Ids[i], true});
    }
    main.SetHistoryResolution(1);
    QApplication::processEvents();

    const QDate today = now.date();
    const QDate monthStart = QDate(today.year(), today.month(), 1).addMonths(-1);
    const QDate monthEnd = QDate(today.year(), today.month(), 1).addDays(-1);
    const QDate yearStart = monthStart.addMonths(-11);

    QSqlQuery index(QSqlDatabase::database(kBareConnection));
    const bool indexed = index.exec(
                             "SELECT 1 FROM sqlite_master WHERE type = 'index' AND "
                             "name = 'samples_by_module_resolution_time'") &&
                         index.next();
    std::printf("  index samples_by_module_resolution_time: %s\n",
                indexed ? "present" : "not present");
    const TSlotRange monthRange{QDateTime(monthStart, QTime(0, 0), Qt::UTC),
                                QDateTime(monthEnd.addDays(1), QTime(0, 0), Qt::UTC)};
    PrintPlan("the history query", bench::History_Shape,
              {modules.Ids[1], kTenMinutes, Stamp(monthRange.Start), Stamp(monthRange.End)});
    PrintPlan("the export query",
              "SELECT * FROM samples WHERE (sample_module = -1 OR sample_module = ? OR "
              "sample_module = ? OR sample_module = ? OR sample_module = ?) AND "
              "sample_resolution = ? AND sample_timestamp >= ? AND sample_timestamp < ? "
              "ORDER BY sample_timestamp",
              {modules.Ids[0], modules.Ids[1], modules.Ids[2], modules.Ids[3], kTenMinutes,
               Stamp(monthRange.Start), Stamp(monthRange.End)});

    // a, c: one month.
    std::printf("  one month, %s .. %s, ten-minute samples of 4 modules:\n",
                qPrintable(monthStart.toString(Qt::ISODate)),
                qPrintable(monthEnd.toString(Qt::ISODate)));
    const ChartFigure month = MeasureChart(main, modules, monthStart, monthEnd, 2, runs);
    PrintChartFigure(month, kMonthTargetMs);

    // b, c: twelve months on one page.
    main.XAxisDensity[1] = 0;
    std::printf("  twelve months, %s .. %s, all points on one page:\n",
                qPrintable(yearStart.toString(Qt::ISODate)),
                qPrintable(monthEnd.toString(Qt::ISODate)));
    const ChartFigure year = MeasureChart(main, modules, yearStart, monthEnd, 1, kYearRuns);
    PrintChartFigure(year, kYearTargetMs);

    // d: the export of the same twelve months against the sqlite3 tool.
    TExportRequest request;
    request.KestName = QStringLiteral("Roof");
    request.ModuleIds = modules.Ids;
    request.Columns = {true, true, true, true};
    request.Resolution = 0;
    request.Range = {QDateTime(yearStart, QTime(0, 0), Qt::UTC),
                     QDateTime(monthEnd.addDays(1), QTime(0, 0), Qt::UTC)};
    const QString exportFile = folder.path() + "/export.csv";
    const QString toolFile = folder.path() + "/tool.csv";
    const QString connection = main.UserData()->ConnectionName();
    QString error;
    const bool exported = WriteExportFile(exportFile, connection, request, windows.MsgForm,
                                          QLocale::system(), &error);
    const double toolMs =
        TimeMs(1, kExportRuns, [&] { ToolExportMs(database, modules, request.Range, toolFile); });
    std::printf("  export of twelve months, ten-minute samples, 4 columns:\n");
    std::printf("  %-44s median %9.1f ms   (%.1f MB)\n", "sqlite3 -csv into a file", toolMs,
                double(QFileInfo(toolFile).size()) / 1e6);
    if (!exported) {
        std::printf("  %-44s not available yet (%s)\n", "WriteExportFile", qPrintable(error));
    } else {
        const double exportMs = TimeMs(0, kExportRuns, [&] {
            WriteExportFile(exportFile, connection, request, windows.MsgForm, QLocale::system(),
                            &error);
        });
        std::printf("  %-44s median %9.1f ms   (%.1f MB)\n", "WriteExportFile", exportMs,
                    double(QFileInfo(exportFile).size()) / 1e6);
        bench::PrintRatio("WriteExportFile / sqlite3", exportMs, toolMs, kTargetRatio);
        // One header line and one line per ten-minute slot, whose four rows share it.
        const int64_t lines = LineCount(exportFile);
        const int64_t stamps = LineCount(toolFile) / 4;
        if (lines != stamps + 1) {
            std::printf("  the export has %lld lines, expected %lld\n",
                        static_cast<long long>(lines), static_cast<long long>(stamps + 1));
        }
    }
    return 0;
}

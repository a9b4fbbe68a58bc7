// What the history benchmarks share: the main window's kWh chart redrawn over a day range
// against the bare reading of the same rows, on whichever store the window's data folder names.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVector>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "CanObjects.h"
#include "KWhChart.h"
#include "bench/BenchSupport.h"
#include "frmMain.h"
#include "qcustomplot.h"

namespace bench {

constexpr uint8_t Ten_Minutes = 36;

// A box's modules in export column order: total, A, B, C.
struct Modules {
    std::array<int32_t, 4> Ids{};
    std::array<QString, 4> Texts;
};

// The box's module ids in export column order, and the labels the chart gives them; true when
// the box has all four.
inline bool ReadBoxModules(const QSqlDatabase& db, int32_t kestId, const QString& boxName,
                           Modules* modules) {
    QSqlQuery list(db);
    list.prepare("SELECT module_id, module_type FROM modules WHERE module_kest = ?");
    list.addBindValue(kestId);
    if (!list.exec()) {
        return false;
    }
    int found = 0;
    while (list.next()) {
        const int type = list.value(1).toInt();
        const int column = type == Module_Total ? 0 : type == 4 ? 1 : type == 8 ? 2 : 3;
        modules->Ids[size_t(column)] = list.value(0).toInt();
        ++found;
    }
    modules->Texts = {boxName + " (Total)", boxName + " (A)", boxName + " (B)", boxName + " (C)"};
    return found == 4;
}

inline QString Stamp(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// Seconds since 1970 of a stored "YYYY-MM-DD HH:MM:SS", by the civil-date formula.
inline qint64 Seconds(QStringView text) {
    auto num = [&](int at, int len) {
        int v = 0;
        for (int i = at; i < at + len; ++i) {
            v = v * 10 + (text[i].unicode() - '0');
        }
        return v;
    };
    int y = num(0, 4);
    const int m = num(5, 2), d = num(8, 2);
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const qint64 days = qint64(era) * 146097 + doe - 719468;
    return days * 86400 + num(11, 2) * 3600 + num(14, 2) * 60 + num(17, 2);
}

// The history chart's query of one module's samples of one resolution over a time range.
constexpr const char* History_Shape =
    "SELECT sample_timestamp, sample_yield FROM samples WHERE sample_module = ? AND "
    "sample_resolution = ? AND sample_timestamp >= ? AND sample_timestamp < ? "
    "ORDER BY sample_timestamp";

// The rows the chart needs, read with nothing else around them: one prepared SELECT of that
// shape per module, every row into a vector of keys and one of values. -1 on an error.
inline int64_t BareRead(const QString& connection, const QString& sql, const Modules& modules,
                        const TSlotRange& range) {
    QSqlQuery query(QSqlDatabase::database(connection));
    query.setForwardOnly(true);
    query.prepare(sql);
    int64_t points = 0;
    for (int32_t id : modules.Ids) {
        QVector<double> keys, values;
        query.bindValue(0, id);
        query.bindValue(1, Ten_Minutes);
        query.bindValue(2, Stamp(range.Start));
        query.bindValue(3, Stamp(range.End));
        if (!query.exec()) {
            std::fprintf(stderr, "bare read: %s\n", qPrintable(query.lastError().text()));
            return -1;
        }
        while (query.next()) {
            keys.push_back(double(Seconds(query.value(0).toString())));
            values.push_back(query.value(1).toInt() * double(0.01f));
        }
        points += keys.size();
    }
    return points;
}

// Median ms of runs calls after warmUp unmeasured ones.
inline double TimeMs(int warmUp, int runs, const std::function<void()>& work) {
    std::vector<double> ms;
    for (int r = 0; r < warmUp + runs; ++r) {
        QElapsedTimer timer;
        timer.start();
        work();
        if (r >= warmUp) {
            ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
    }
    return median(ms);
}

inline void PrintFigure(const char* what, double ms, double targetMs) {
    std::printf("  %-44s median %9.1f ms   (target %.0f ms, %.2fx of it)\n", what, ms, targetMs,
                ms / targetMs);
}

inline void PrintRatio(const char* what, double ms, double baseMs, double targetRatio) {
    std::printf("  %-44s %9.2fx   (target at most %.0fx)\n", what, ms / baseMs, targetRatio);
}

// The chart over a day range: the date fields set, then one redraw. False when the redraw gave
// no series, as before the history view draws anything.
inline bool Draw(TMainForm& main, QDate start, QDate end) {
    main.EsStartDateEdit->setDate(start);
    main.EsEndDateEdit->setDate(end);
    main.DrawkWhChart(0);
    return main.ChartkWh->plottableCount() > 0;
}

struct ChartFigure {
    double ChartMs = -1;  // negative: not available
    double BareMs = 0;
    int64_t Rows = 0;
};

// The bare query, then the chart against its target and against the bare query.
inline void PrintChartFigure(const ChartFigure& figure, double targetMs, double targetRatio) {
    std::printf("  %-44s median %9.1f ms   (%lld rows)\n", "bare SELECT into vectors",
                figure.BareMs, static_cast<long long>(figure.Rows));
    if (figure.ChartMs < 0) {
        std::printf("  %-44s not available yet (the redraw gives no series)\n", "DrawkWhChart");
    } else {
        PrintFigure("DrawkWhChart", figure.ChartMs, targetMs);
        PrintRatio("DrawkWhChart / bare", figure.ChartMs, figure.BareMs, targetRatio);
    }
}

// The bare query on its own connection, then the window's redraw, over the same days.
inline ChartFigure MeasureChart(TMainForm& main, const QString& bareConnection, const QString& sql,
                                const Modules& modules, QDate start, QDate end, int warmUp,
                                int runs) {
    ChartFigure figure;
    const TSlotRange range{QDateTime(start, QTime(0, 0), Qt::UTC),
                           QDateTime(end.addDays(1), QTime(0, 0), Qt::UTC)};
    figure.Rows = BareRead(bareConnection, sql, modules, range);
    figure.BareMs = TimeMs(warmUp, runs, [&] { BareRead(bareConnection, sql, modules, range); });
    if (Draw(main, start, end)) {
        figure.ChartMs = TimeMs(warmUp, runs, [&] { Draw(main, start, end); });
    }
    return figure;
}

}  // namespace bench

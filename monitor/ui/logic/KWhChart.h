// The history chart's arithmetic, worked out without a widget: the four resolutions, the date
// range a chart or an export covers, one point per slot from the stored samples, the six graph
// types and the paging. The export uses the same resolutions and ranges.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringView>
#include <QVector>
#include <cstdint>
#include <vector>

// One of the four resolutions of the history view (HistoryResolution 1..4).
struct THistoryResolution {
    uint8_t Code;             // sample_resolution of its samples
    float Factor;             // stored sample_yield times this is the plotted value
    const char* Unit;         // the chart's title and the export's unit: "Wh" or "kWh"
    int Decimals;             // value format: at most this many decimals
    const char* LabelFormat;  // the bottom labels, as a Qt date format
    double LabelAngle;        // degrees, counter-clockwise
    int DefaultDensity;       // points per chart page at start
};

// 1 ten minutes, 2 day, 3 month, 4 year; null for any other number.
const THistoryResolution* HistoryResolutionInfo(int historyResolution);

// A naive date-time as the chart's key: seconds since 1970-01-01 00:00.
inline double ChartKey(const QDateTime& time) {
    return double(time.toSecsSinceEpoch());
}
QDateTime KeyDateTime(double key);

// Reads a stored time stamp "YYYY-MM-DD HH:MM:SS" as seconds since 1970; false when it is not one.
bool ParseSampleTimestamp(QStringView text, qint64* seconds);
// The stored form of a naive date-time.
QString SampleTimestampText(const QDateTime& time);

// The range corrections: a start before 1 January 2004 becomes that day, a start after today
// becomes today, an end before the start becomes the start, an end after today becomes today.
struct TDayRange {
    QDate Start;
    QDate End;
};
TDayRange CorrectRange(QDate start, QDate end, QDate today);

// The slots a day range covers at a resolution: from Start (included) to End (excluded).
struct TSlotRange {
    QDateTime Start;
    QDateTime End;
};
TSlotRange WidenRange(int historyResolution, QDate start, QDate end);
// The slot after this one: ten minutes, a day, a calendar month or a calendar year later.
QDateTime NextSlot(int historyResolution, const QDateTime& slot);

// One stored sample of a module, as the chart reads it.
struct TSampleRow {
    qint64 Time = 0;  // seconds since 1970, naive
    int32_t Yield = 0;
};

// One series' points: one per slot from the range's start, keys as ChartKey.
struct TKWhPoints {
    QVector<double> Keys;
    QVector<double> Values;
    bool HasData = false;  // some slot has a positive yield
};
// Rows in time order. A slot takes the earliest row inside it, or 0 without one; the points end
// with the last row's slot, and when there is a positive yield, zeros follow up to the range end.
TKWhPoints SlotPoints(int historyResolution, const TSlotRange& range,
                      const std::vector<TSampleRow>& rows);

// The samples of one module at one resolution within a slot range, in time order; false with a
// message when the database cannot be read.
bool ReadSamples(const QString& connection, int32_t moduleId, uint8_t resolutionCode,
                 const TSlotRange& range, std::vector<TSampleRow>* rows, QString* error);

// The six graph types, by their position in the graph type list.
enum class TSeriesKind { Bars, Lines, Areas };
enum class TModuleFilter { All, TotalsOnly, InvertersOnly };
struct TGraphType {
    const char* Text;
    TSeriesKind Kind;
    TModuleFilter Modules;
    bool Stacked;
};
constexpr int Graph_Type_Count = 6;
// Any position outside the list counts as the first, "Histogram".
const TGraphType& GraphTypeInfo(int position);
bool GraphTypeTakes(int position, bool isTotal);

// A plotted value in the resolution's value format, with the locale's decimal separator and no
// digit grouping: "######0.#" or "######0".
QString KWhValueText(double value, int decimals, const QLocale& locale);

// Pages of a chart of that many points; 0 points per page puts every point on one page.
int PageCount(int points, int pointsPerPage);
// The page that keeps the first point of the old page in view after the density changes;
// 0 when the new density puts everything on one page.
int PageAfterDensityChange(int page, int oldPointsPerPage, int newPointsPerPage);
// Index range [first, last] of the points on a page (page 0: all of them).
struct TPageSpan {
    int First = 0;
    int Last = -1;
};
TPageSpan PageSpan(int points, int pointsPerPage, int page);

// The series of one chart, added in drawing order. A stacked graph type draws each series on the
// sums of the ones before it; Tops holds each slot's highest point of any series, which sets the
// left axis of a page.
struct TSeriesStack {
    QVector<double> Sums;  // after StackSeries: where the series just added is drawn
    QVector<double> Tops;
};
void StackSeries(TSeriesStack* stack, const QVector<double>& values, bool stacked);
// The highest point on the page span; 0 for an empty span.
double PeakValue(const QVector<double>& tops, TPageSpan span);

// Every how many slots a bottom label stands, so that at most maxLabels fit on a page of
// visibleSlots: a multiple that reads well at the resolution (hours, weeks, quarters, ...).
int LabelStride(int historyResolution, int visibleSlots, int maxLabels);

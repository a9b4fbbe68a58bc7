#include "KWhChart.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

namespace {

// The samples the box keeps: nothing older is ever charted or exported.
const QDate First_Day(2004, 1, 1);

constexpr qint64 Ten_Minutes = 600;
constexpr qint64 One_Day = 86400;

const THistoryResolution Resolutions[4] = {
    {36, 0.01f, "Wh", 1, "dd-MM-yy\nhh:mm", 90, 12},
    {71, 0.5f, "Wh", 1, "dd-MM-yy", 0, 7},
    {106, 0.01f, "kWh", 0, "MM-yyyy", 0, 6},
    {125, 0.5f, "kWh", 0, "yyyy", 0, 10},
};

const TGraphType Graph_Types[Graph_Type_Count] = {
    {"Histogram", TSeriesKind::Bars, TModuleFilter::All, false},
    {"Stacked totals", TSeriesKind::Bars, TModuleFilter::TotalsOnly, true},
    {"Stacked inverters", TSeriesKind::Bars, TModuleFilter::InvertersOnly, true},
    {"Lines", TSeriesKind::Lines, TModuleFilter::All, false},
    {"Area totals", TSeriesKind::Areas, TModuleFilter::TotalsOnly, true},
    {"Area inverters", TSeriesKind::Areas, TModuleFilter::InvertersOnly, true},
};

int Digits(QStringView text, int from, int count, bool* ok) {
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') {
            *ok = false;
            return 0;
        }
        value = value * 10 + (c - u'0');
    }
    return value;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
qint64 DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const qint64 era = (year >= 0 ? year : year - 399) / 400;
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

const THistoryResolution* HistoryResolutionInfo(int historyResolution) {
    if (historyResolution < 1 || historyResolution > 4) {
        return nullptr;
    }
    return &Resolutions[historyResolution - 1];
}

QDateTime KeyDateTime(double key) {
    return QDateTime::fromSecsSinceEpoch(qint64(key), Qt::UTC);
}

bool ParseSampleTimestamp(QStringView text, qint64* seconds) {
    if (text.size() != 19 || text[4] != u'-' || text[7] != u'-' || text[10] != u' ' ||
        text[13] != u':' || text[16] != u':') {
        return false;
    }
    bool ok = true;
    const int year = Digits(text, 0, 4, &ok);
    const int month = Digits(text, 5, 2, &ok);
    const int day = Digits(text, 8, 2, &ok);
    const int hour = Digits(text, 11, 2, &ok);
    const int minute = Digits(text, 14, 2, &ok);
    const int second = Digits(text, 17, 2, &ok);
    if (!ok || month < 1 || month > 12 || day < 1 || day > QDate(year, month, 1).daysInMonth() ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    *seconds = DaysFromCivil(year, month, day) * One_Day + hour * 3600 + minute * 60 + second;
    return true;
}

QString SampleTimestampText(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

TDayRange CorrectRange(QDate start, QDate end, QDate today) {
    if (!start.isValid() || start < First_Day) {
        start = First_Day;
    }
    if (start > today) {
        start = today;
    }
    if (!end.isValid() || end < start) {
        end = start;
    }
    if (end > today) {
        end = today;
    }
    return {start, end};
}

TSlotRange WidenRange(int historyResolution, QDate start, QDate end) {
    switch (historyResolution) {
        case 3:
            start = QDate(start.year(), start.month(), 1);
            end = QDate(end.year(), end.month(), 1).addMonths(1);
            break;
        case 4:
            start = QDate(start.year(), 1, 1);
            end = QDate(end.year() + 1, 1, 1);
            break;
        default:
            end = end.addDays(1);
            break;
    }
    return {QDateTime(start, QTime(0, 0), Qt::UTC), QDateTime(end, QTime(0, 0), Qt::UTC)};
}

QDateTime NextSlot(int historyResolution, const QDateTime& slot) {
    switch (historyResolution) {
        case 1:
            return slot.addSecs(Ten_Minutes);
        case 3:
            return slot.addMonths(1);
        case 4:
            return slot.addYears(1);
        default:
            return slot.addDays(1);
    }
}

TKWhPoints SlotPoints(int historyResolution, const TSlotRange& range,
                      const std::vector<TSampleRow>& rows) {
    TKWhPoints points;
    const THistoryResolution* info = HistoryResolutionInfo(historyResolution);
    if (info == nullptr || !range.Start.isValid()) {
        return points;
    }
    // Ten-minute and day slots have one length; months and years are stepped on the calendar.
    const qint64 fixedLength =
        historyResolution == 1 ? Ten_Minutes : (historyResolution == 2 ? One_Day : 0);
    const qint64 end = range.End.toSecsSinceEpoch();
    QDateTime slotTime = range.Start;
    qint64 slot = slotTime.toSecsSinceEpoch();
    auto advance = [&] {
        if (fixedLength > 0) {
            slot += fixedLength;
        } else {
            slotTime = NextSlot(historyResolution, slotTime);
            slot = slotTime.toSecsSinceEpoch();
        }
    };
    if (fixedLength > 0) {
        const qint64 expected = std::max<qint64>(0, (end - slot) / fixedLength);
        points.Keys.reserve(expected);
        points.Values.reserve(expected);
    }

    size_t i = 0;
    // Rows before the first slot cannot stand for any slot.
    while (i < rows.size() && rows[i].Time < slot) {
        ++i;
    }
    while (i < rows.size()) {
        const qint64 slotStart = slot;
        advance();
        const TSampleRow& row = rows[i];
        points.Keys.append(double(slotStart));
        if (row.Time < slot) {
            points.Values.append(double(float(row.Yield) * info->Factor));
            if (row.Yield > 0) {
                points.HasData = true;
            }
        } else {
            points.Values.append(0);
        }
        while (i < rows.size() && rows[i].Time < slot) {
            ++i;
        }
    }
    if (points.HasData) {
        while (slot < end) {
            points.Keys.append(double(slot));
            points.Values.append(0);
            advance();
        }
    }
    return points;
}

bool ReadSamples(const QString& connection, int32_t moduleId, uint8_t resolutionCode,
                 const TSlotRange& range, std::vector<TSampleRow>* rows, QString* error) {
    rows->clear();
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral(
            "SELECT sample_timestamp, sample_yield FROM samples WHERE sample_module = ? AND "
            "sample_resolution = ? AND sample_timestamp >= ? AND sample_timestamp < ? "
            "ORDER BY sample_timestamp"))) {
        *error = query.lastError().text();
        return false;
    }
    query.addBindValue(moduleId);
    query.addBindValue(int(resolutionCode));
    query.addBindValue(SampleTimestampText(range.Start));
    query.addBindValue(SampleTimestampText(range.End));
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    while (query.next()) {
        TSampleRow row;
        // A time stamp the program did not write is passed over rather than plotted anywhere.
        if (ParseSampleTimestamp(query.value(0).toString(), &row.Time)) {
            row.Yield = query.value(1).toInt();
            rows->push_back(row);
        }
    }
    return true;
}

const TGraphType& GraphTypeInfo(int position) {
    if (position < 0 || position >= Graph_Type_Count) {
        position = 0;
    }
    return Graph_Types[position];
}

bool GraphTypeTakes(int position, bool isTotal) {
    switch (GraphTypeInfo(position).Modules) {
        case TModuleFilter::TotalsOnly:
            return isTotal;
        case TModuleFilter::InvertersOnly:
            return !isTotal;
        default:
            return true;
    }
}

QString KWhValueText(double value, int decimals, const QLocale& locale) {
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    QString text = plain.toString(value, 'f', decimals);
    if (decimals > 0) {
        const QString zero = plain.zeroDigit();
        while (text.endsWith(zero)) {
            text.chop(zero.size());
        }
        const QString separator = plain.decimalPoint();
        if (text.endsWith(separator)) {
            text.chop(separator.size());
        }
    }
    if (text == plain.negativeSign() + plain.zeroDigit()) {
        text = plain.zeroDigit();
    }
    return text;
}

int PageCount(int points, int pointsPerPage) {
    if (pointsPerPage <= 0 || points <= 0) {
        return 1;
    }
    return (points + pointsPerPage - 1) / pointsPerPage;
}

int PageAfterDensityChange(int page, int oldPointsPerPage, int newPointsPerPage) {
    if (newPointsPerPage <= 0) {
        return 0;
    }
    const int first = std::max(0, page - 1) * std::max(0, oldPointsPerPage);
    return first / newPointsPerPage + 1;
}

TPageSpan PageSpan(int points, int pointsPerPage, int page) {
    if (points <= 0) {
        return {};
    }
    if (pointsPerPage <= 0 || page <= 0) {
        return {0, points - 1};
    }
    const int first = std::min((page - 1) * pointsPerPage, points - 1);
    return {first, std::min(first + pointsPerPage, points) - 1};
}

void StackSeries(TSeriesStack* stack, const QVector<double>& values, bool stacked) {
    if (stack->Sums.size() < values.size()) {
        stack->Sums.resize(values.size());
        stack->Tops.resize(values.size());
    }
    for (qsizetype k = 0; k < values.size(); ++k) {
        stack->Sums[k] = stacked ? stack->Sums[k] + values[k] : values[k];
        stack->Tops[k] = std::max(stack->Tops[k], stack->Sums[k]);
    }
}

double PeakValue(const QVector<double>& tops, TPageSpan span) {
    double peak = 0;
    for (int i = std::max(0, span.First); i <= span.Last && i < tops.size(); ++i) {
        peak = std::max(peak, tops[i]);
    }
    return peak;
}

int LabelStride(int historyResolution, int visibleSlots, int maxLabels) {
    static const std::vector<int> Strides[4] = {
        {1, 2, 3, 6, 12, 18, 36, 72, 144, 288, 432, 1008, 2016, 4320, 8640, 13104, 26208, 52560},
        {1, 2, 7, 14, 28, 56, 91, 182, 364, 728, 1820},
        {1, 2, 3, 6, 12, 24, 36, 60, 120},
        {1, 2, 5, 10, 20, 50},
    };
    if (historyResolution < 1 || historyResolution > 4) {
        return 1;
    }
    const std::vector<int>& strides = Strides[historyResolution - 1];
    maxLabels = std::max(1, maxLabels);
    for (int stride : strides) {
        if ((visibleSlots + stride - 1) / stride <= maxLabels) {
            return stride;
        }
    }
    // Past the longest stride the last one is multiplied until the labels fit.
    const int last = strides.back();
    const int count = (visibleSlots + last - 1) / last;
    return last * ((count + maxLabels - 1) / maxLabels);
}

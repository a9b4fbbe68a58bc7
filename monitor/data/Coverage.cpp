#include "Coverage.h"

#include <QDate>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTime>
#include <algorithm>
#include <optional>

#include "CanObjects.h"
#include "HistorySlots.h"
#include "NaiveTime.h"
#include "Store.h"
#include "dmUser.h"

namespace {

constexpr int kSlotsPerDay = 144;

// Each resolution's slot as a whole number, consecutive slots differing by one. The seconds
// offset moves year 1 to zero, so that the integer division floors for dates before 1970 too.
// Month and year numbers come straight from the text: calendar months have no fixed length.
const char* SlotNumberSql(uint8_t resolution) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return "(unixepoch(sample_timestamp) + 62135596800) / 600";
        case Res_Day:
            return "(unixepoch(sample_timestamp) + 62135596800) / 86400";
        case Res_Month:
            return "CAST(substr(sample_timestamp, 1, 4) AS INTEGER) * 12 + "
                   "CAST(substr(sample_timestamp, 6, 2) AS INTEGER)";
        case Res_Year:
            return "CAST(substr(sample_timestamp, 1, 4) AS INTEGER)";
        default:
            return nullptr;
    }
}

// The gaps between consecutive stored slots whose time stamps lie between the last one before
// FROM and the first one from TO on; '' and '~' sort below and above every time stamp, so a
// missing neighbour leaves that side open. Rows whose time stamp names no moment are skipped.
QString GapSql(uint8_t resolution) {
    return QStringLiteral(
               "SELECT prev, ts, k - pk - 1 FROM ("
               " SELECT ts, k, LAG(ts) OVER w AS prev, LAG(k) OVER w AS pk FROM ("
               "  SELECT sample_timestamp AS ts, %1 AS k FROM samples"
               "  WHERE sample_module = ? AND sample_resolution = ?"
               "   AND sample_timestamp >= COALESCE((SELECT MAX(sample_timestamp) FROM samples"
               "    WHERE sample_module = ? AND sample_resolution = ? AND sample_timestamp < ?), "
               "'')"
               "   AND sample_timestamp <= COALESCE((SELECT MIN(sample_timestamp) FROM samples"
               "    WHERE sample_module = ? AND sample_resolution = ? AND sample_timestamp >= ?), "
               "'~')"
               " ) AS stored WHERE k IS NOT NULL"
               " WINDOW w AS (ORDER BY ts)"
               ") AS neighbours WHERE k - pk > 1")
        .arg(QLatin1String(SlotNumberSql(resolution)));
}

// The number of ten-minute slots stored (row 0, total), and the days that hold fewer than 144
// of them (rows 1, day), between the months of the first and the last stored slot. Counting is
// an index range walk that parses no time stamp: first per month, then per day only inside the
// months that fall short, since a seek per day of ten years would cost as much as the walk. Every
// missing slot lies in a short day, so the gap search afterwards only visits those days.
const char* const kShortDaysSql =
    "WITH RECURSIVE"
    " months(m, next) AS ("
    "  SELECT date(?, 'start of month'), date(?, 'start of month', '+1 month')"
    "  UNION ALL SELECT next, date(next, '+1 month') FROM months WHERE next <= date(?)),"
    " counted(m, next, n) AS MATERIALIZED ("
    "  SELECT m, next, (SELECT COUNT(*) FROM samples WHERE sample_module = ? AND"
    "   sample_resolution = ? AND sample_timestamp >= m AND sample_timestamp < next)"
    "  FROM months),"
    " days(day, next, until) AS ("
    "  SELECT m, date(m, '+1 day'), next FROM counted"
    "   WHERE n < (julianday(next) - julianday(m)) * ?"
    "  UNION ALL SELECT next, date(next, '+1 day'), until FROM days WHERE next < until)"
    "SELECT 0, (SELECT SUM(n) FROM counted) "
    "UNION ALL "
    "SELECT 1, day FROM days WHERE (SELECT COUNT(*) FROM samples WHERE sample_module = ? AND"
    " sample_resolution = ? AND sample_timestamp >= day AND sample_timestamp < next) < ?";

// The same on PostgreSQL, which has neither SQLite's date functions nor its loose types; the
// parameters are the same.
const char* const kShortDaysPostgresSql =
    "WITH RECURSIVE"
    " months(m, next) AS ("
    "  SELECT CAST(date_trunc('month', CAST(? AS timestamp)) AS date),"
    "   CAST(date_trunc('month', CAST(? AS timestamp)) + interval '1 month' AS date)"
    "  UNION ALL SELECT next, CAST(next + interval '1 month' AS date) FROM months"
    "   WHERE next <= CAST(? AS date)),"
    " counted(m, next, n) AS MATERIALIZED ("
    "  SELECT m, next, (SELECT COUNT(*) FROM samples WHERE sample_module = ? AND"
    "   sample_resolution = ? AND sample_timestamp >= to_char(m, 'YYYY-MM-DD') AND"
    "   sample_timestamp < to_char(next, 'YYYY-MM-DD'))"
    "  FROM months),"
    " days(day, next, until) AS ("
    "  SELECT m, m + 1, next FROM counted WHERE n < (next - m) * ?"
    "  UNION ALL SELECT next, next + 1, until FROM days WHERE next < until)"
    "SELECT 0, CAST((SELECT SUM(n) FROM counted) AS text) "
    "UNION ALL "
    "SELECT 1, to_char(day, 'YYYY-MM-DD') FROM days WHERE (SELECT COUNT(*) FROM samples WHERE"
    " sample_module = ? AND sample_resolution = ? AND"
    " sample_timestamp >= to_char(day, 'YYYY-MM-DD') AND"
    " sample_timestamp < to_char(next, 'YYYY-MM-DD')) < ?";

// Each of the two is one step down the index.
const char* const kBoundsSql =
    "SELECT (SELECT MIN(sample_timestamp) FROM samples WHERE sample_module = ? AND "
    "sample_resolution = ? AND sample_timestamp >= ?), (SELECT MAX(sample_timestamp) FROM "
    "samples WHERE sample_module = ? AND sample_resolution = ? AND sample_timestamp >= ?)";

const char* const kCountSql =
    "SELECT COUNT(*) FROM samples WHERE sample_module = ? AND sample_resolution = ? AND "
    "sample_timestamp >= ?";

// What downloads have learnt beyond the samples, from the slot given on.
const char* const kReachSql =
    "SELECT reach_first, reach_last, reach_open FROM history_reach WHERE reach_module = ? AND "
    "reach_resolution = ? AND reach_last >= ? ORDER BY reach_first";

// Every module of every box that is present or holds samples, the total before the inverters.
const char* const kModulesSql =
    "SELECT k.kest_id, k.kest_name, m.module_id, m.module_type FROM modules m "
    "JOIN kests k ON k.kest_id = m.module_kest "
    "WHERE m.module_ispresent = 1 "
    " OR EXISTS (SELECT 1 FROM samples s WHERE s.sample_module = m.module_id) "
    "ORDER BY k.kest_id, m.module_type <> ?, m.module_type, m.module_id";

// A stored time stamp "yyyy-MM-dd HH:mm:ss" as a naive date and time; null when it names no
// moment. Parsed field by field: a local-time parse would reject the hour a clock change skips.
QDateTime ParseTimestamp(const QString& text) {
    if (text.size() != 19) {
        return {};
    }
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid() || text.at(10) != QLatin1Char(' ')) {
        return {};
    }
    return QDateTime(date, time, Qt::UTC);
}

bool Failed(const QSqlQuery& query, const QString& what, QString* error) {
    if (error != nullptr) {
        *error = QStringLiteral("Coverage: %1 failed: %2").arg(what, query.lastError().text());
    }
    return false;
}

bool BadTimestamp(int32_t moduleId, const QString& text, QString* error) {
    if (error != nullptr) {
        *error = QStringLiteral(
                     "Coverage: module %1 holds a time stamp that is no date and "
                     "time: \"%2\"")
                     .arg(moduleId)
                     .arg(text);
    }
    return false;
}

// Fills in one module's coverage at one resolution; the caller has set which module and
// resolution.
class CoverageReader {
public:
    // Only the slots from since on count; "" takes every one.
    CoverageReader(const QSqlDatabase& db, const QString& since)
        : Db(db), Since(since), HasReach(db.tables().contains(QStringLiteral("history_reach"))) {}

    bool Read(TCoverage* coverage, QString* error) {
        if (!ReadReach(coverage, error)) {
            return false;
        }
        QSqlQuery bounds(Db);
        bounds.setForwardOnly(true);
        if (!bounds.prepare(QString::fromLatin1(kBoundsSql))) {
            return Failed(bounds, QStringLiteral("reading the stored slots"), error);
        }
        for (int i = 0; i < 2; ++i) {
            bounds.addBindValue(coverage->ModuleId);
            bounds.addBindValue(int(coverage->Resolution));
            bounds.addBindValue(Since);
        }
        if (!bounds.exec() || !bounds.next()) {
            return Failed(bounds, QStringLiteral("reading the stored slots"), error);
        }
        if (bounds.value(0).isNull()) {
            return true;  // nothing stored
        }
        const QString firstText = bounds.value(0).toString();
        const QString lastText = bounds.value(1).toString();
        const QDateTime first = ParseTimestamp(firstText);
        const QDateTime last = ParseTimestamp(lastText);
        if (!first.isValid() || !last.isValid()) {
            return BadTimestamp(coverage->ModuleId, first.isValid() ? lastText : firstText, error);
        }
        coverage->First = SlotStart(first, coverage->Resolution);
        coverage->Last = SlotStart(last, coverage->Resolution);

        if (coverage->Resolution != Res_Ten_Minutes) {
            // A decade holds a few thousand of these at most: one pass over all of them.
            return ReadCount(coverage, error) &&
                   ReadGaps(coverage, Since, QStringLiteral("~"), error);
        }
        std::vector<QDate> shortDays;
        if (!ReadShortDays(coverage, firstText, lastText, &shortDays, error)) {
            return false;
        }
        // Consecutive short days form one stretch, searched at once: a gap may span days.
        for (size_t i = 0; i < shortDays.size();) {
            size_t end = i + 1;
            while (end < shortDays.size() && shortDays[end] == shortDays[end - 1].addDays(1)) {
                ++end;
            }
            const QString from = shortDays[i].toString(QStringLiteral("yyyy-MM-dd"));
            const QString to = shortDays[end - 1].addDays(1).toString(QStringLiteral("yyyy-MM-dd"));
            if (!ReadGaps(coverage, from, to, error)) {
                return false;
            }
            i = end;
        }
        return true;
    }

private:
    bool ReadCount(TCoverage* coverage, QString* error) {
        QSqlQuery query(Db);
        query.setForwardOnly(true);
        if (!query.prepare(QString::fromLatin1(kCountSql))) {
            return Failed(query, QStringLiteral("counting the slots"), error);
        }
        query.addBindValue(coverage->ModuleId);
        query.addBindValue(int(coverage->Resolution));
        query.addBindValue(Since);
        if (!query.exec() || !query.next()) {
            return Failed(query, QStringLiteral("counting the slots"), error);
        }
        coverage->Stored = query.value(0).toLongLong();
        return true;
    }

    // A file an older program made may lack the table, and one opened read-only keeps lacking
    // it: then nothing is known beyond the samples.
    bool ReadReach(TCoverage* coverage, QString* error) {
        if (!HasReach) {
            return true;
        }
        QSqlQuery query(Db);
        query.setForwardOnly(true);
        if (!query.prepare(QString::fromLatin1(kReachSql))) {
            return Failed(query, QStringLiteral("reading what the box has answered"), error);
        }
        query.addBindValue(coverage->ModuleId);
        query.addBindValue(int(coverage->Resolution));
        query.addBindValue(Since);
        if (!query.exec()) {
            return Failed(query, QStringLiteral("reading what the box has answered"), error);
        }
        while (query.next()) {
            const QDateTime first = ParseTimestamp(query.value(0).toString());
            const QDateTime last = ParseTimestamp(query.value(1).toString());
            if (!first.isValid() || !last.isValid() || last < first) {
                continue;  // a row no download wrote: it stands for nothing
            }
            TMissingRange range;
            range.First = SlotStart(first, coverage->Resolution);
            range.Last = SlotStart(last, coverage->Resolution);
            range.Slots = SlotNumber(range.Last, coverage->Resolution) -
                          SlotNumber(range.First, coverage->Resolution) + 1;
            if (query.value(2).toInt() != 0) {
                coverage->Open.push_back(range.First);
            } else {
                coverage->NoValue.push_back(range);
            }
        }
        return true;
    }

    // Also sets Stored: the days between the first and the last slot hold every slot.
    bool ReadShortDays(TCoverage* coverage, const QString& firstText, const QString& lastText,
                       std::vector<QDate>* days, QString* error) {
        QSqlQuery query(Db);
        query.setForwardOnly(true);
        if (!query.prepare(QString::fromLatin1(
                EngineOf(Db) == TEngine::PostgreSQL ? kShortDaysPostgresSql : kShortDaysSql))) {
            return Failed(query, QStringLiteral("counting the days"), error);
        }
        query.addBindValue(firstText);
        query.addBindValue(firstText);
        query.addBindValue(lastText);
        query.addBindValue(coverage->ModuleId);
        query.addBindValue(int(coverage->Resolution));
        query.addBindValue(kSlotsPerDay);
        query.addBindValue(coverage->ModuleId);
        query.addBindValue(int(coverage->Resolution));
        query.addBindValue(kSlotsPerDay);
        if (!query.exec()) {
            return Failed(query, QStringLiteral("counting the days"), error);
        }
        while (query.next()) {
            if (query.value(0).toInt() == 0) {
                coverage->Stored = query.value(1).toLongLong();
                continue;
            }
            const QDate day = QDate::fromString(query.value(1).toString(), Qt::ISODate);
            if (day.isValid()) {
                days->push_back(day);
            }
        }
        std::sort(days->begin(), days->end());
        return true;
    }

    bool ReadGaps(TCoverage* coverage, const QString& from, const QString& to, QString* error) {
        QSqlQuery query(Db);
        query.setForwardOnly(true);
        if (!query.prepare(GapSql(coverage->Resolution))) {
            return Failed(query, QStringLiteral("searching the gaps"), error);
        }
        query.addBindValue(coverage->ModuleId);
        query.addBindValue(int(coverage->Resolution));
        for (const QString& bound : {from, to}) {
            query.addBindValue(coverage->ModuleId);
            query.addBindValue(int(coverage->Resolution));
            query.addBindValue(bound);
        }
        if (!query.exec()) {
            return Failed(query, QStringLiteral("searching the gaps"), error);
        }
        while (query.next()) {
            const QDateTime before = ParseTimestamp(query.value(0).toString());
            const QDateTime after = ParseTimestamp(query.value(1).toString());
            if (!before.isValid() || !after.isValid()) {
                return BadTimestamp(coverage->ModuleId,
                                    query.value(before.isValid() ? 1 : 0).toString(), error);
            }
            TMissingRange range;
            range.First =
                SlotStep(SlotStart(before, coverage->Resolution), coverage->Resolution, 1);
            range.Last = SlotStep(SlotStart(after, coverage->Resolution), coverage->Resolution, -1);
            range.Slots = query.value(2).toLongLong();
            coverage->Missing.push_back(range);
        }
        return true;
    }

    QSqlDatabase Db;
    QString Since;
    bool HasReach = false;
};

}  // namespace

const std::vector<uint8_t>& AllResolutions() {
    static const std::vector<uint8_t> resolutions = {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year};
    return resolutions;
}

bool TCoverage::HasNoValue(const TMissingRange& range) const {
    return std::any_of(NoValue.begin(), NoValue.end(), [&range](const TMissingRange& known) {
        return known.First <= range.First && range.Last <= known.Last;
    });
}

int64_t TCoverage::MissingSlots() const {
    int64_t count = 0;
    for (const TMissingRange& range : Missing) {
        count += range.Slots;
    }
    return count;
}

bool ReadCoverage(const QString& connection, const std::vector<int32_t>& kests,
                  const std::vector<uint8_t>& resolutions, std::vector<TCoverage>* out,
                  QString* error) {
    out->clear();
    for (uint8_t resolution : resolutions) {
        if (SlotNumberSql(resolution) == nullptr) {
            if (error != nullptr) {
                *error = QStringLiteral("Coverage: unknown resolution %1").arg(resolution);
            }
            return false;
        }
    }
    const QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen()) {
        if (error != nullptr) {
            *error =
                QStringLiteral("Coverage: the database connection %1 is not open").arg(connection);
        }
        return false;
    }
    QSqlQuery modules(db);
    modules.setForwardOnly(true);
    if (!modules.prepare(QString::fromLatin1(kModulesSql))) {
        return Failed(modules, QStringLiteral("reading the modules"), error);
    }
    modules.addBindValue(Module_Type_Total);
    if (!modules.exec()) {
        return Failed(modules, QStringLiteral("reading the modules"), error);
    }
    std::vector<TCoverage> found;
    while (modules.next()) {
        TCoverage coverage;
        coverage.KestId = modules.value(0).toInt();
        if (!kests.empty() &&
            std::find(kests.begin(), kests.end(), coverage.KestId) == kests.end()) {
            continue;
        }
        coverage.KestName = modules.value(1).toString();
        coverage.ModuleId = modules.value(2).toInt();
        coverage.ModuleType = modules.value(3).toInt();
        found.push_back(coverage);
    }
    modules.finish();

    CoverageReader reader(db, QStringLiteral(""));
    for (const TCoverage& module : found) {
        for (uint8_t resolution : AllResolutions()) {
            if (!resolutions.empty() && std::find(resolutions.begin(), resolutions.end(),
                                                  resolution) == resolutions.end()) {
                continue;
            }
            TCoverage coverage = module;
            coverage.Resolution = resolution;
            if (!reader.Read(&coverage, error)) {
                out->clear();
                return false;
            }
            out->push_back(coverage);
        }
    }
    return true;
}

bool ReadModuleCoverage(const QSqlDatabase& db, const QDateTime& since, TCoverage* coverage,
                        QString* error) {
    if (SlotNumberSql(coverage->Resolution) == nullptr) {
        if (error != nullptr) {
            *error = QStringLiteral("Coverage: unknown resolution %1").arg(coverage->Resolution);
        }
        return false;
    }
    CoverageReader reader(db, since.isValid() ? SampleTimestamp(since) : QStringLiteral(""));
    return reader.Read(coverage, error);
}

namespace {

// Sets Last to the newest stored slot; one step down the index.
bool ReadNewest(const QSqlDatabase& db, TCoverage* coverage, QString* error) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT MAX(sample_timestamp) FROM samples WHERE "
                                      "sample_module = ? AND sample_resolution = ?"))) {
        return Failed(query, QStringLiteral("reading the stored slots"), error);
    }
    query.addBindValue(coverage->ModuleId);
    query.addBindValue(int(coverage->Resolution));
    if (!query.exec() || !query.next()) {
        return Failed(query, QStringLiteral("reading the stored slots"), error);
    }
    if (!query.value(0).isNull()) {
        const QDateTime last = ParseTimestamp(query.value(0).toString());
        if (!last.isValid()) {
            return BadTimestamp(coverage->ModuleId, query.value(0).toString(), error);
        }
        coverage->Last = SlotStart(last, coverage->Resolution);
    }
    return true;
}

// Closed intervals of slot numbers.
struct TSpan {
    int64_t Low;
    int64_t High;
};

// The spans less the parts that lie in any of the holes; both sorted and without overlaps.
std::vector<TSpan> Subtract(const std::vector<TSpan>& spans, const std::vector<TSpan>& holes) {
    std::vector<TSpan> out;
    for (TSpan span : spans) {
        for (const TSpan& hole : holes) {
            if (hole.High < span.Low || hole.Low > span.High) {
                continue;
            }
            if (hole.Low > span.Low) {
                out.push_back({span.Low, hole.Low - 1});
            }
            span.Low = hole.High + 1;
            if (span.Low > span.High) {
                break;
            }
        }
        if (span.Low <= span.High) {
            out.push_back(span);
        }
    }
    return out;
}

}  // namespace

std::vector<THistoryRange> DownloadRanges(const TCoverage& coverage, const QDateTime& since) {
    const uint8_t resolution = coverage.Resolution;
    auto number = [resolution](const QDateTime& slot) { return SlotNumber(slot, resolution); };
    auto slot = [resolution](int64_t n) { return SlotOfNumber(n, resolution); };

    // The open range reaches down to the newest slot anything is known of: a stored one is
    // asked again, one known to have no value is not.
    std::optional<int64_t> bottom;
    if (coverage.Last.isValid()) {
        bottom = number(coverage.Last);
    }
    std::vector<TSpan> noValue;
    for (const TMissingRange& range : coverage.NoValue) {
        noValue.push_back({number(range.First), number(range.Last)});
    }
    std::sort(noValue.begin(), noValue.end(),
              [](const TSpan& a, const TSpan& b) { return a.Low < b.Low; });
    if (!noValue.empty() && (!bottom || noValue.back().High + 1 > *bottom)) {
        bottom = noValue.back().High + 1;
    }
    std::vector<THistoryRange> ranges;
    ranges.push_back({QDateTime(), bottom ? slot(*bottom) : QDateTime()});
    if (!bottom) {
        return ranges;
    }

    // Below it: every slot not stored, less those the box has no value for, and the slots
    // stored while open. The channel cuts what lies before the box's history.
    const int64_t low = since.isValid()            ? number(SlotStart(since, resolution))
                        : coverage.First.isValid() ? number(coverage.First)
                                                   : noValue.front().Low;
    std::vector<TSpan> wanted;
    if (coverage.First.isValid()) {
        const int64_t first = number(coverage.First);
        if (low < first) {
            wanted.push_back({low, first - 1});
        }
        for (const TMissingRange& gap : coverage.Missing) {
            wanted.push_back({std::max(number(gap.First), low), number(gap.Last)});
        }
        wanted.push_back({number(coverage.Last) + 1, *bottom - 1});
    } else {
        wanted.push_back({low, *bottom - 1});
    }
    for (const QDateTime& open : coverage.Open) {
        wanted.push_back({number(open), number(open)});
    }
    wanted.erase(std::remove_if(wanted.begin(), wanted.end(),
                                [&](const TSpan& s) {
                                    return s.Low > s.High || s.High < low || s.Low >= *bottom;
                                }),
                 wanted.end());
    std::sort(wanted.begin(), wanted.end(),
              [](const TSpan& a, const TSpan& b) { return a.Low < b.Low; });
    std::vector<TSpan> merged;
    for (const TSpan& span : wanted) {
        if (!merged.empty() && span.Low <= merged.back().High + 1) {
            merged.back().High = std::max(merged.back().High, span.High);
        } else {
            merged.push_back(span);
        }
    }
    // An open slot is stored, and so never in a no-value range: subtracting keeps it.
    const std::vector<TSpan> asked = Subtract(merged, noValue);
    for (auto span = asked.rbegin(); span != asked.rend(); ++span) {
        ranges.push_back({slot(span->High), slot(std::max(span->Low, low))});
    }
    return ranges;
}

bool PlanDownload(const QSqlDatabase& db, int32_t kestId, const std::vector<int32_t>& moduleTypes,
                  uint8_t resolution, std::vector<TModuleRanges>* plan, QString* error) {
    plan->clear();
    QSqlQuery modules(db);
    modules.setForwardOnly(true);
    if (!modules.prepare(QStringLiteral(
            "SELECT module_id FROM modules WHERE module_kest = ? AND module_type = ? "
            "ORDER BY module_id LIMIT 1"))) {
        return Failed(modules, QStringLiteral("reading the modules"), error);
    }
    const QDateTime now = SlotStart(NaiveNow(), resolution);
    for (int32_t type : moduleTypes) {
        modules.addBindValue(kestId);
        modules.addBindValue(type);
        if (!modules.exec()) {
            return Failed(modules, QStringLiteral("reading the modules"), error);
        }
        if (!modules.next()) {
            continue;
        }
        TCoverage coverage;
        coverage.KestId = kestId;
        coverage.ModuleId = modules.value(0).toInt();
        coverage.ModuleType = type;
        coverage.Resolution = resolution;
        modules.finish();
        // The box's clock may differ from the PC's: its history ends at its own newest slot,
        // which is no older than the newest stored. Reading from a box's history back from the
        // older of the two reads all that the box can still hold.
        TCoverage newest = coverage;
        if (!ReadNewest(db, &newest, error)) {
            return false;
        }
        const QDateTime end = newest.Last.isValid() ? std::min(newest.Last, now) : now;
        const QDateTime since = SlotStep(OldestSlotOnBox(end, resolution), resolution, -1);
        if (!ReadModuleCoverage(db, since, &coverage, error)) {
            return false;
        }
        plan->push_back({uint8_t(type), DownloadRanges(coverage, since)});
    }
    return true;
}

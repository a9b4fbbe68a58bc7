#include "Coverage.h"

#include <QDate>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTime>
#include <algorithm>

#include "Acquisition.h"
#include "CanObjects.h"
#include "FetchOptions.h"
#include "dmUser.h"

namespace {

constexpr int kSlotsPerDay = 144;
constexpr size_t Max_Listed_Ranges = 20;  // per module and resolution

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
               " ) WHERE k IS NOT NULL"
               " WINDOW w AS (ORDER BY ts)"
               ") WHERE k - pk > 1")
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

// Each of the two is one step down the index.
const char* const kBoundsSql =
    "SELECT (SELECT MIN(sample_timestamp) FROM samples WHERE sample_module = ? AND "
    "sample_resolution = ?), (SELECT MAX(sample_timestamp) FROM samples WHERE sample_module = ? "
    "AND sample_resolution = ?)";

const char* const kCountSql =
    "SELECT COUNT(*) FROM samples WHERE sample_module = ? AND sample_resolution = ?";

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

// The start of the slot that holds the moment.
QDateTime SlotStart(const QDateTime& moment, uint8_t resolution) {
    const QDate date = moment.date();
    switch (resolution) {
        case Res_Ten_Minutes: {
            const QTime time = moment.time();
            return QDateTime(date, QTime(time.hour(), time.minute() / 10 * 10), Qt::UTC);
        }
        case Res_Day:
            return QDateTime(date, QTime(0, 0), Qt::UTC);
        case Res_Month:
            return QDateTime(QDate(date.year(), date.month(), 1), QTime(0, 0), Qt::UTC);
        default:
            return QDateTime(QDate(date.year(), 1, 1), QTime(0, 0), Qt::UTC);
    }
}

QDateTime NextSlot(const QDateTime& slot, uint8_t resolution, int steps) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return slot.addSecs(qint64(steps) * 600);
        case Res_Day:
            return slot.addDays(steps);
        case Res_Month:
            return slot.addMonths(steps);
        default:
            return slot.addYears(steps);
    }
}

QString Plural(int64_t count, const char* word) {
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(word)).arg(count == 1 ? "" : "s");
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
    explicit CoverageReader(const QSqlDatabase& db) : Db(db) {}

    bool Read(TCoverage* coverage, QString* error) {
        QSqlQuery bounds(Db);
        bounds.setForwardOnly(true);
        if (!bounds.prepare(QString::fromLatin1(kBoundsSql))) {
            return Failed(bounds, QStringLiteral("reading the stored slots"), error);
        }
        for (int i = 0; i < 2; ++i) {
            bounds.addBindValue(coverage->ModuleId);
            bounds.addBindValue(int(coverage->Resolution));
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
                   ReadGaps(coverage, QStringLiteral(""), QStringLiteral("~"), error);
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
        if (!query.exec() || !query.next()) {
            return Failed(query, QStringLiteral("counting the slots"), error);
        }
        coverage->Stored = query.value(0).toLongLong();
        return true;
    }

    // Also sets Stored: the days between the first and the last slot hold every slot.
    bool ReadShortDays(TCoverage* coverage, const QString& firstText, const QString& lastText,
                       std::vector<QDate>* days, QString* error) {
        QSqlQuery query(Db);
        query.setForwardOnly(true);
        if (!query.prepare(QString::fromLatin1(kShortDaysSql))) {
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
                NextSlot(SlotStart(before, coverage->Resolution), coverage->Resolution, 1);
            range.Last = NextSlot(SlotStart(after, coverage->Resolution), coverage->Resolution, -1);
            range.Slots = query.value(2).toLongLong();
            coverage->Missing.push_back(range);
        }
        return true;
    }

    QSqlDatabase Db;
};

}  // namespace

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

    CoverageReader reader(db);
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

QString SlotText(const QDateTime& slot, uint8_t resolution) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return slot.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        case Res_Day:
            return slot.toString(QStringLiteral("yyyy-MM-dd"));
        case Res_Month:
            return slot.toString(QStringLiteral("yyyy-MM"));
        default:
            return slot.toString(QStringLiteral("yyyy"));
    }
}

QStringList CoverageLines(const std::vector<TCoverage>& coverage, const TMsgForm& texts) {
    QStringList lines;
    for (const TCoverage& entry : coverage) {
        QString name = entry.KestName;
        if (const char* label = ModuleLabel(entry.ModuleType)) {
            name += ' ' + texts.Text(QString::fromLatin1(label));
        } else {
            name += QStringLiteral(" (module type %1)").arg(entry.ModuleType);
        }
        const QString head = QStringLiteral("%1, %2: ").arg(name, ResolutionText(entry.Resolution));
        if (entry.Stored == 0) {
            lines << head + QStringLiteral("nothing stored");
            continue;
        }
        lines << head + QStringLiteral("%1 .. %2, %3 stored, %4 missing")
                            .arg(SlotText(entry.First, entry.Resolution),
                                 SlotText(entry.Last, entry.Resolution),
                                 Plural(entry.Stored, "slot"))
                            .arg(entry.MissingSlots());
        // Scattered single holes would bury the report; the first ones show where they start.
        const size_t listed = std::min(entry.Missing.size(), Max_Listed_Ranges);
        for (size_t i = 0; i < listed; ++i) {
            const TMissingRange& range = entry.Missing[i];
            const QString first = SlotText(range.First, entry.Resolution);
            const QString span =
                range.Slots == 1 ? first : first + " .. " + SlotText(range.Last, entry.Resolution);
            lines << QStringLiteral("  %1 missing, %2").arg(span, Plural(range.Slots, "slot"));
        }
        if (listed < entry.Missing.size()) {
            int64_t rest = 0;
            for (size_t i = listed; i < entry.Missing.size(); ++i) {
                rest += entry.Missing[i].Slots;
            }
            lines << QStringLiteral("  and %1 more missing ranges, %2")
                         .arg(entry.Missing.size() - listed)
                         .arg(Plural(rest, "slot"));
        }
    }
    return lines;
}

#include "ExportData.h"

#include <QDate>
#include <QHash>
#include <QIODevice>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTime>

#include "MessageFrm.h"

namespace {

constexpr qint64 Seconds_Per_Day = 86400;
// Lines gather in memory and go out in pieces of about this size.
constexpr qsizetype Chunk_Size = 1 << 20;
// Distinct values remembered with their text; a ten-minute yield repeats a lot, a yearly one
// hardly, so the memory is bounded rather than sized.
constexpr qsizetype Value_Cache_Limit = 65536;

const char* const Column_Labels[Export_Column_Count] = {"TotalForKEST", "InverterALabel",
                                                        "InverterBLabel", "InverterCLabel"};

// One column's running state while the rows of one time stamp are gathered.
struct TColumnState {
    bool Exported = false;
    int32_t ModuleId = 0;
    int32_t Yield = 0;  // 0 while no row of the column has this time stamp
};

class TLineWriter {
public:
    TLineWriter(QIODevice* out, const QLocale& locale, float factor)
        : Out(out), Locale(locale), Factor(factor), TimeFormat(NaiveLongTimeFormat(locale)) {
        Locale.setNumberOptions(Locale.numberOptions() | QLocale::OmitGroupSeparator);
        Buffer.reserve(Chunk_Size + 4096);
    }

    void Append(const QByteArray& bytes) { Buffer.append(bytes); }
    void EndLine() { Buffer.append("\r\n", 2); }

    // The time stamp's text for a stored "YYYY-MM-DD HH:MM:SS". Dates and times of day repeat
    // from line to line, so each is formatted once.
    const QByteArray& StampText(const QString& stored) {
        qint64 seconds = 0;
        if (!ParseSampleTimestamp(stored, &seconds)) {
            // A row the program did not write: its stamp goes out as stored rather than lost.
            Stamp = stored.toUtf8();
            return Stamp;
        }
        const qint64 day = seconds >= 0 ? seconds / Seconds_Per_Day
                                        : (seconds - Seconds_Per_Day + 1) / Seconds_Per_Day;
        const int secondOfDay = int(seconds - day * Seconds_Per_Day);
        if (day != CachedDay || !HaveDay) {
            const QDate date = QDate(1970, 1, 1).addDays(day);
            DayText = Locale.toString(date, QLocale::ShortFormat).toUtf8();
            CachedDay = day;
            HaveDay = true;
        }
        Stamp = DayText;
        if (secondOfDay != 0) {
            auto cached = TimeTexts.constFind(secondOfDay);
            if (cached == TimeTexts.constEnd()) {
                const QTime time = QTime::fromMSecsSinceStartOfDay(secondOfDay * 1000);
                cached =
                    TimeTexts.insert(secondOfDay, ' ' + Locale.toString(time, TimeFormat).toUtf8());
            }
            Stamp.append(*cached);
        }
        return Stamp;
    }

    // The value of a stored yield, rounded to single precision on the way as the box's figures
    // always were.
    const QByteArray& ValueText(int32_t yield) {
        auto cached = ValueTexts.constFind(yield);
        if (cached != ValueTexts.constEnd()) {
            return *cached;
        }
        if (ValueTexts.size() >= Value_Cache_Limit) {
            ValueTexts.clear();
        }
        const float value = float(yield) * Factor;
        return *ValueTexts.insert(yield, Locale.toString(double(value), 'g', 15).toUtf8());
    }

    // Writes what has gathered once it is large, or everything with force.
    bool Flush(bool force, QString* error) {
        if (Buffer.isEmpty() || (!force && Buffer.size() < Chunk_Size)) {
            return true;
        }
        if (Out->write(Buffer) != Buffer.size()) {
            *error = Out->errorString();
            if (error->isEmpty()) {
                *error = QStringLiteral("The data could not be written.");
            }
            return false;
        }
        Buffer.clear();
        return true;
    }

private:
    QIODevice* Out;
    QLocale Locale;
    float Factor;
    QString TimeFormat;
    QByteArray Buffer;
    QByteArray Stamp;
    QByteArray DayText;
    qint64 CachedDay = 0;
    bool HaveDay = false;
    QHash<int, QByteArray> TimeTexts;
    QHash<int32_t, QByteArray> ValueTexts;
};

}  // namespace

QString NaiveLongTimeFormat(const QLocale& locale) {
    // Qt 6.4 gives "HH:mm:ss t" for C, en_GB, de_DE, nl_NL and fr_FR and "h:mm:ss AP t" for
    // en_US: the long format ends in the time zone. Stored times are the box's wall clock and
    // belong to no zone, so the zone and the blank before it are left out.
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString kept;
    kept.reserve(format.size());
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted && c == u't') {
            while (i + 1 < format.size() && format[i + 1] == u't') {
                ++i;
            }
            while (!kept.isEmpty() && kept.back().isSpace()) {
                kept.chop(1);
            }
            continue;
        }
        kept.append(c);
    }
    return kept.trimmed();
}

QByteArray ExportHeader(const TExportRequest& request, const TMsgForm& messages) {
    const THistoryResolution* info = HistoryResolutionInfo(request.Resolution + 1);
    const QString unit = info != nullptr ? QString::fromLatin1(info->Unit) : QString();
    // The box name is the user's own text: a separator or a line break in it would shift every
    // column after it in a spreadsheet.
    QString name = request.KestName;
    name.replace(u';', u',').replace(u'\r', u' ').replace(u'\n', u' ');
    QString header;
    for (int column = 0; column < Export_Column_Count; ++column) {
        if (request.Columns[column]) {
            header += name + messages.Text(QString::fromLatin1(Column_Labels[column])) +
                      QStringLiteral("; ") + unit + QStringLiteral("; ");
        }
    }
    return header.toUtf8();
}

bool WriteExport(QIODevice* out, const QString& connection, const TExportRequest& request,
                 const TMsgForm& messages, const QLocale& locale, QString* error) {
    const THistoryResolution* info = HistoryResolutionInfo(request.Resolution + 1);
    if (info == nullptr) {
        *error = QStringLiteral("Unknown resolution %1.").arg(request.Resolution);
        return false;
    }
    if (out == nullptr || !out->isWritable()) {
        *error = QStringLiteral("The export file is not open for writing.");
        return false;
    }
    QSqlDatabase database = QSqlDatabase::database(connection, false);
    if (!database.isOpen()) {
        *error = QStringLiteral("The user database is not open.");
        return false;
    }

    std::array<TColumnState, Export_Column_Count> columns;
    for (int i = 0; i < Export_Column_Count; ++i) {
        columns[i].Exported = request.Columns[i];
        columns[i].ModuleId = request.ModuleIds[i];
    }

    QString sql = QStringLiteral(
        "SELECT sample_module, sample_timestamp, sample_yield FROM samples "
        "WHERE sample_module IN (?, ?, ?, ?) AND sample_resolution = ?");
    if (!request.AllAvailable) {
        sql += QStringLiteral(" AND sample_timestamp >= ? AND sample_timestamp < ?");
    }
    sql += QStringLiteral(" ORDER BY sample_timestamp");
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        *error = query.lastError().text();
        return false;
    }
    // A column left out matches no module: ids start at 1.
    for (const TColumnState& column : columns) {
        query.addBindValue(column.Exported ? column.ModuleId : -1);
    }
    query.addBindValue(int(info->Code));
    if (!request.AllAvailable) {
        query.addBindValue(SampleTimestampText(request.Range.Start));
        query.addBindValue(SampleTimestampText(request.Range.End));
    }
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }

    TLineWriter writer(out, locale, info->Factor);
    writer.Append(ExportHeader(request, messages));
    writer.EndLine();

    static const QByteArray separator = QByteArrayLiteral("; ");
    bool more = query.next();
    while (more) {
        const QString stamp = query.value(1).toString();
        for (TColumnState& column : columns) {
            column.Yield = 0;
        }
        do {
            const int32_t module = query.value(0).toInt();
            for (TColumnState& column : columns) {
                if (column.Exported && column.ModuleId == module) {
                    column.Yield = query.value(2).toInt();
                }
            }
            more = query.next();
        } while (more && query.value(1).toString() == stamp);

        const QByteArray& stampText = writer.StampText(stamp);
        for (const TColumnState& column : columns) {
            if (!column.Exported) {
                continue;
            }
            writer.Append(stampText);
            writer.Append(separator);
            writer.Append(writer.ValueText(column.Yield));
            writer.Append(separator);
        }
        writer.EndLine();
        if (!writer.Flush(false, error)) {
            return false;
        }
    }
    if (query.lastError().isValid()) {
        *error = query.lastError().text();
        return false;
    }
    return writer.Flush(true, error);
}

bool WriteExportFile(const QString& path, const QString& connection, const TExportRequest& request,
                     const TMsgForm& messages, const QLocale& locale, QString* error) {
    // Written beside the target and renamed over it only when complete: a failed export never
    // leaves half a file where a good one stood.
    QSaveFile file(path);
    QString reason;
    bool written = false;
    if (!file.open(QIODevice::WriteOnly)) {
        reason = file.errorString();
    } else if (!WriteExport(&file, connection, request, messages, locale, &reason)) {
        file.cancelWriting();
    } else if (!file.commit()) {
        reason = file.errorString();
    } else {
        written = true;
    }
    if (!written) {
        *error = messages.Text(QStringLiteral("ExportNotWritten")) + '\n' + path + '\n' + reason;
    }
    return written;
}

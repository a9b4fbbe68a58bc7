#include "CoverageReport.h"

#include <algorithm>

#include "Acquisition.h"
#include "CanObjects.h"
#include "FetchOptions.h"

namespace {

constexpr size_t Max_Listed_Ranges = 20;  // per module and resolution

QString Plural(int64_t count, const char* word) {
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(word)).arg(count == 1 ? "" : "s");
}

QString Span(const TMissingRange& range, uint8_t resolution) {
    const QString first = SlotText(range.First, resolution);
    return range.Slots == 1 ? first : first + " .. " + SlotText(range.Last, resolution);
}

// The ranges without value that lie outside the stored ones: before the first stored slot,
// after the last, or every one when nothing is stored.
void NoValueLines(const TCoverage& entry, QStringList* lines) {
    size_t listed = 0;
    for (const TMissingRange& range : entry.NoValue) {
        const bool outside =
            !entry.First.isValid() || range.Last < entry.First || range.First > entry.Last;
        if (outside && listed++ < Max_Listed_Ranges) {
            *lines << QStringLiteral("  %1 no value on the box, %2")
                          .arg(Span(range, entry.Resolution), Plural(range.Slots, "slot"));
        }
    }
}

}  // namespace

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
            NoValueLines(entry, &lines);
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
            lines << QStringLiteral("  %1 missing, %2%3")
                         .arg(Span(range, entry.Resolution), Plural(range.Slots, "slot"),
                              entry.HasNoValue(range) ? QStringLiteral(", no value on the box")
                                                      : QString());
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
        NoValueLines(entry, &lines);
    }
    return lines;
}

#include "HistorySlots.h"

#include <algorithm>

#include "CanObjects.h"

namespace {

constexpr int First_History_Year = 2004;
constexpr int64_t Ten_Minute_Slots_On_Box = 7 * 144;
constexpr int64_t Days_On_Box = 366;
constexpr int Years_On_Box = 25;

const QDate Epoch(1970, 1, 1);

}  // namespace

QDateTime SlotStart(const QDateTime& moment, uint8_t resolution) {
    if (!moment.isValid()) {
        return {};
    }
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
        case Res_Year:
            return QDateTime(QDate(date.year(), 1, 1), QTime(0, 0), Qt::UTC);
        default:
            return {};
    }
}

QDateTime SlotStep(const QDateTime& slot, uint8_t resolution, int64_t steps) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return slot.addSecs(steps * 600);
        case Res_Day:
            return slot.addDays(steps);
        case Res_Month:
            return slot.addMonths(int(std::clamp<int64_t>(steps, -1'000'000, 1'000'000)));
        case Res_Year:
            return slot.addYears(int(std::clamp<int64_t>(steps, -100'000, 100'000)));
        default:
            return {};
    }
}

int64_t SlotNumber(const QDateTime& slot, uint8_t resolution) {
    const QDate date = slot.date();
    switch (resolution) {
        case Res_Ten_Minutes:
            return Epoch.daysTo(date) * 144 + slot.time().hour() * 6 + slot.time().minute() / 10;
        case Res_Day:
            return Epoch.daysTo(date);
        case Res_Month:
            return int64_t(date.year()) * 12 + date.month() - 1;
        default:
            return date.year();
    }
}

QDateTime SlotOfNumber(int64_t number, uint8_t resolution) {
    auto floorDiv = [](int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); };
    switch (resolution) {
        case Res_Ten_Minutes: {
            const int64_t day = floorDiv(number, 144);
            const int64_t slot = number - day * 144;
            const QDate date = Epoch.addDays(day);
            return date.isValid()
                       ? QDateTime(date, QTime(int(slot / 6), int(slot % 6) * 10), Qt::UTC)
                       : QDateTime();
        }
        case Res_Day: {
            const QDate date = Epoch.addDays(number);
            return date.isValid() ? QDateTime(date, QTime(0, 0), Qt::UTC) : QDateTime();
        }
        case Res_Month: {
            const int64_t year = floorDiv(number, 12);
            const QDate date(int(std::clamp<int64_t>(year, -100'000, 100'000)),
                             int(number - year * 12) + 1, 1);
            return date.isValid() ? QDateTime(date, QTime(0, 0), Qt::UTC) : QDateTime();
        }
        case Res_Year: {
            const QDate date(int(std::clamp<int64_t>(number, -100'000, 100'000)), 1, 1);
            return date.isValid() ? QDateTime(date, QTime(0, 0), Qt::UTC) : QDateTime();
        }
        default:
            return {};
    }
}

QDateTime OldestSlotOnBox(const QDateTime& newest, uint8_t resolution) {
    const QDateTime first(QDate(First_History_Year, 1, 1), QTime(0, 0), Qt::UTC);
    switch (resolution) {
        case Res_Ten_Minutes:
            return SlotStep(newest, resolution, 1 - Ten_Minute_Slots_On_Box);
        case Res_Day:
            return SlotStep(newest, resolution, 1 - Days_On_Box);
        case Res_Month:
            return first;
        case Res_Year:
            return std::max(first, SlotStep(newest, resolution, 1 - Years_On_Box));
        default:
            return {};
    }
}

QString SampleTimestamp(const QDateTime& slot) {
    return slot.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

int SlotsPerRequest(uint8_t resolution) {
    return resolution == Res_Ten_Minutes ? 10 : 1;
}

#include "NaiveTime.h"

#include <atomic>
#include <limits>

namespace {

constexpr qint64 WallClock = std::numeric_limits<qint64>::min();
// Milliseconds of the fixed naive time since 1970-01-01 00:00, or WallClock.
std::atomic<qint64> FixedNow{WallClock};

}  // namespace

QDateTime NaiveNow() {
    const qint64 fixed = FixedNow.load(std::memory_order_relaxed);
    if (fixed != WallClock) {
        return QDateTime::fromMSecsSinceEpoch(fixed, Qt::UTC);
    }
    const QDateTime local = QDateTime::currentDateTime();
    return QDateTime(local.date(), local.time(), Qt::UTC);
}

void SetNaiveNowForTesting(const QDateTime& time) {
    FixedNow.store(time.isValid() ? time.toMSecsSinceEpoch() : WallClock,
                   std::memory_order_relaxed);
}

QDateTime NaiveDateTime(int year, int month, int day, int hour, int minute) {
    const QDate date(year, month, day);
    const QTime time(hour, minute);
    if (!date.isValid() || !time.isValid()) {
        return {};
    }
    return QDateTime(date, time, Qt::UTC);
}

QDateTime RoundToTenMinutes(const QDateTime& time) {
    const int minuteOfDay = time.time().hour() * 60 + time.time().minute();
    const int slot = minuteOfDay / 10;
    const int rest = minuteOfDay % 10;
    const bool up = rest > 5 || (rest == 5 && time.time().second() > 0) ||
                    (rest == 5 && time.time().second() == 0 && slot % 2 == 1);
    const QDateTime start(time.date(), QTime(0, 0), Qt::UTC);
    return start.addSecs(qint64(slot + (up ? 1 : 0)) * 600);
}

// Naive civil calendar arithmetic for the box clock and the yield periods: no time zones, no
// daylight saving, proleptic Gregorian calendar.
#pragma once

#include <cstdint>

#include "YieldModel.h"

namespace kestemu::calendar {

// The box's dates: its replies carry the low 8 bits of the year counted from 1792, requests the
// year counted from 2000.
constexpr int kReplyYearBase = 1792;
constexpr int kRequestYearBase = 2000;

// Days since 1970-01-01 of a date (month 1..12, day 1..31).
inline int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

inline void civil_from_days(int64_t z, int* year, int* month, int* day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    *month = m;
    *day = d;
}

inline bool leap_year(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

inline int days_in_month(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12) {
        return 0;
    }
    return m == 2 && leap_year(y) ? 29 : kDays[m - 1];
}

inline bool valid(const CivilTime& t) {
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= days_in_month(t.year, t.month) &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
           t.second <= 59;
}

inline int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

inline int64_t to_seconds(const CivilTime& t) {
    return to_minutes(t) * 60 + t.second;
}

inline CivilTime from_seconds(int64_t s) {
    CivilTime t = from_minutes(floor_div(s, 60));
    t.second = static_cast<int>(s - floor_div(s, 60) * 60);
    return t;
}

// The first of the month that lies delta months from year/month.
inline CivilTime month_start(int year, int month, int delta) {
    const int64_t index = static_cast<int64_t>(year) * 12 + (month - 1) + delta;
    CivilTime t;
    t.year = static_cast<int>(floor_div(index, 12));
    t.month = static_cast<int>(index - floor_div(index, 12) * 12) + 1;
    return t;
}

}  // namespace kestemu::calendar

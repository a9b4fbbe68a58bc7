#include "History.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kestctl {
namespace {

constexpr uint8_t kMonitorAddress = 0;
constexpr uint8_t kObjectHistory = 0x41;
constexpr uint8_t kActionHistoryRead = 7;
constexpr uint8_t kActionConfirm = 1;
constexpr uint8_t kAuthLevel = 2;
constexpr uint8_t kRequestLength = 9;
constexpr int kMaxPerRequest = 10;
constexpr uint8_t kTimesFourBit = 0x80;
// The reply carries the low 8 bits of the year counted from 1792; the request counts from 2000.
constexpr int kReplyYearBase = 1792;
constexpr int kRequestYearBase = 2000;

bool is_leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t days, CalendarTime* t) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    t->day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t->month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t->year = static_cast<int>(yoe + era * 400 + (t->month <= 2 ? 1 : 0));
}

const char* unit_of(uint8_t resolution) {
    return resolution == kTenMinutes || resolution == kDay ? "Wh" : "kWh";
}

// Ten-minute and month values count hundredths of their unit, day and year values halves.
bool counts_hundredths(uint8_t resolution) {
    return resolution == kTenMinutes || resolution == kMonth;
}

}  // namespace

bool is_valid(const CalendarTime& t) {
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= days_in_month(t.year, t.month) &&
           t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60;
}

int iso_weekday(const CalendarTime& t) {
    const int64_t days = days_from_civil(t.year, t.month, t.day);
    // 1970-01-01 was a Thursday.
    return static_cast<int>(((days % 7) + 7 + 3) % 7) + 1;
}

CalendarTime step_back(const CalendarTime& t, uint8_t resolution, int steps) {
    CalendarTime out = t;
    switch (resolution) {
        case kTenMinutes: {
            const int64_t minutes = days_from_civil(t.year, t.month, t.day) * 1440 + t.hour * 60 +
                                    t.minute - int64_t{10} * steps;
            const int64_t days = minutes >= 0 ? minutes / 1440 : (minutes - 1439) / 1440;
            const int64_t rest = minutes - days * 1440;
            civil_from_days(days, &out);
            out.hour = static_cast<int>(rest / 60);
            out.minute = static_cast<int>(rest % 60);
            break;
        }
        case kDay:
            civil_from_days(days_from_civil(t.year, t.month, t.day) - steps, &out);
            break;
        case kMonth: {
            const int months = t.year * 12 + (t.month - 1) - steps;
            out.year = months >= 0 ? months / 12 : (months - 11) / 12;
            out.month = months - out.year * 12 + 1;
            out.day = std::min(t.day, days_in_month(out.year, out.month));
            break;
        }
        case kYear:
            out.year = t.year - steps;
            out.day = std::min(t.day, days_in_month(out.year, out.month));
            break;
        default:
            break;
    }
    return out;
}

bool parse_resolution(std::string_view text, uint8_t* resolution) {
    static constexpr std::pair<std::string_view, uint8_t> kNames[] = {
        {"10min", kTenMinutes}, {"day", kDay}, {"month", kMonth}, {"year", kYear}};
    for (const auto& [name, code] : kNames) {
        if (text == name) {
            *resolution = code;
            return true;
        }
    }
    return false;
}

bool parse_module(std::string_view text, uint8_t* module) {
    static constexpr std::pair<std::string_view, uint8_t> kNames[] = {
        {"total", kModuleTotal}, {"A", 4}, {"B", 8}, {"C", 12}};
    for (const auto& [name, code] : kNames) {
        if (text == name) {
            *module = code;
            return true;
        }
    }
    return false;
}

std::string format_time(const CalendarTime& t, uint8_t resolution) {
    char text[32];
    switch (resolution) {
        case kTenMinutes:
            std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day,
                          t.hour, t.minute);
            break;
        case kDay:
            std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
            break;
        case kMonth:
            std::snprintf(text, sizeof text, "%04d-%02d", t.year, t.month);
            break;
        default:
            std::snprintf(text, sizeof text, "%04d", t.year);
            break;
    }
    return text;
}

std::string format_value(const Sample& sample, uint8_t resolution) {
    if (sample.raw == kNoValue) {
        return "-";
    }
    const uint32_t value = uint32_t{sample.raw} * (sample.times_four ? 4 : 1);
    char text[32];
    if (counts_hundredths(resolution)) {
        std::snprintf(text, sizeof text, "%u.%02u %s", value / 100, value % 100,
                      unit_of(resolution));
    } else {
        std::snprintf(text, sizeof text, "%u.%u %s", value / 2, value % 2 ? 5u : 0u,
                      unit_of(resolution));
    }
    return text;
}

HistoryWalk::HistoryWalk(uint8_t module, uint8_t resolution, int count)
    : module_(module), resolution_(resolution), count_(count) {}

bool HistoryWalk::next_request(CanMessage* request, std::string* error) const {
    std::memset(request, 0, sizeof *request);
    request->Header[0] = kMonitorAddress;
    request->Header[1] = kObjectHistory;
    request->Header[2] = kActionHistoryRead;
    request->Header[3] = kAuthLevel;
    request->Length = kRequestLength;
    request->Data[0] = module_;
    request->Data[1] = resolution_;
    if (!started_) {
        // Time zero asks for the current period.
        request->Data[8] = 1;
        return true;
    }
    if (next_.year < kRequestYearBase || next_.year > kRequestYearBase + 255) {
        *error = "cannot ask the box for periods before " + std::to_string(kRequestYearBase);
        return false;
    }
    int wanted = std::min(kMaxPerRequest, count_ - taken_);
    if (resolution_ == kTenMinutes) {
        // One request never reaches back past midnight.
        wanted = std::min(wanted, next_.hour * 6 + next_.minute / 10 + 1);
    }
    request->Data[2] = static_cast<uint8_t>(next_.year - kRequestYearBase);
    request->Data[3] = static_cast<uint8_t>(next_.month);
    request->Data[4] = static_cast<uint8_t>(next_.day);
    request->Data[5] = static_cast<uint8_t>(iso_weekday(next_));
    request->Data[6] = static_cast<uint8_t>(next_.hour);
    request->Data[7] = static_cast<uint8_t>(next_.minute);
    request->Data[8] = static_cast<uint8_t>(wanted);
    return true;
}

bool HistoryWalk::take_reply(const CanMessage& reply, std::vector<Sample>* samples,
                             std::string* error) {
    const int action = reply.Header[2];
    if (action != kActionConfirm) {
        *error = "the monitor refused the history request (action " + std::to_string(action) + ")";
        return false;
    }
    if (reply.Header[1] != kObjectHistory) {
        *error = "the monitor answered object " + std::to_string(reply.Header[1]) +
                 " instead of the yield history";
        return false;
    }
    const int length = std::min<int>(reply.Length, sizeof reply.Data);
    const int count = length > 8 ? (length - 8) / 2 : 0;
    if (count == 0) {
        *error = "the monitor sent no samples (reply length " + std::to_string(reply.Length) + ")";
        return false;
    }
    const uint8_t* data = reply.Data;
    if (data[0] != module_ || (data[1] & ~kTimesFourBit) != resolution_) {
        *error = "the monitor answered module " + std::to_string(data[0]) + " resolution " +
                 std::to_string(data[1] & ~kTimesFourBit) + " instead of module " +
                 std::to_string(module_) + " resolution " + std::to_string(resolution_);
        return false;
    }
    CalendarTime base{data[2] + kReplyYearBase, data[3], data[4], data[6], data[7]};
    if (!is_valid(base)) {
        char text[64];
        std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d", base.year, base.month, base.day,
                      base.hour, base.minute);
        *error = std::string("the monitor sent an impossible date (") + text + ")";
        return false;
    }
    switch (resolution_) {
        case kMonth:
            base.day = 1;
            [[fallthrough]];
        case kDay:
            base.hour = 0;
            base.minute = 0;
            break;
        case kYear:
            base = CalendarTime{base.year, 1, 1, 0, 0};
            break;
        default:
            break;
    }
    const bool times_four = (data[1] & kTimesFourBit) != 0;
    for (int i = 0; i < count && taken_ < count_; ++i, ++taken_) {
        Sample sample;
        sample.time = step_back(base, resolution_, i);
        sample.raw = static_cast<uint16_t>(data[8 + 2 * i] | (data[9 + 2 * i] << 8));
        sample.times_four = times_four;
        samples->push_back(sample);
    }
    next_ = step_back(base, resolution_, count);
    next_.minute -= next_.minute % 10;
    started_ = true;
    return true;
}

}  // namespace kestctl

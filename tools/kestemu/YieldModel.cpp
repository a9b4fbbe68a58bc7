#include "YieldModel.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <mutex>
#include <numbers>
#include <unordered_map>

#include "Calendar.h"

namespace kestemu {

int64_t to_minutes(const CivilTime& t) {
    return calendar::days_from_civil(t.year, t.month, t.day) * 1440 + t.hour * 60 + t.minute;
}

CivilTime from_minutes(int64_t minutes) {
    const int64_t day = calendar::floor_div(minutes, 1440);
    const int64_t rest = minutes - day * 1440;
    CivilTime t;
    calendar::civil_from_days(day, &t.year, &t.month, &t.day);
    t.hour = static_cast<int>(rest / 60);
    t.minute = static_cast<int>(rest % 60);
    return t;
}

int iso_weekday(const CivilTime& t) {
    const int64_t day = calendar::days_from_civil(t.year, t.month, t.day);
    // 1970-01-01 was a Thursday.
    const int64_t from_monday = day + 3 - calendar::floor_div(day + 3, 7) * 7;
    return static_cast<int>(from_monday) + 1;
}

namespace {

bool read_number(const std::string& text, size_t pos, size_t digits, int* out) {
    if (pos + digits > text.size()) {
        return false;
    }
    int value = 0;
    for (size_t i = pos; i < pos + digits; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    *out = value;
    return true;
}

}  // namespace

bool parse_civil(const std::string& text, CivilTime* out) {
    CivilTime t;
    if (text.size() != 10 && text.size() != 16) {
        return false;
    }
    if (!read_number(text, 0, 4, &t.year) || text[4] != '-' || !read_number(text, 5, 2, &t.month) ||
        text[7] != '-' || !read_number(text, 8, 2, &t.day)) {
        return false;
    }
    if (text.size() == 16 && (text[10] != ' ' || !read_number(text, 11, 2, &t.hour) ||
                              text[13] != ':' || !read_number(text, 14, 2, &t.minute))) {
        return false;
    }
    if (!calendar::valid(t)) {
        return false;
    }
    if (out != nullptr) {
        *out = t;
    }
    return true;
}

namespace {

constexpr double kPeakWatts[3] = {4600.0, 3800.0, 2500.0};
constexpr int kSecondsPerDay = 86400;
constexpr int kSecondsPerSlot = 600;

enum Purpose : uint64_t { kWeather = 1, kSlotNoise = 2, kPowerNoise = 3 };

uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double unit_hash(uint32_t seed, uint64_t purpose, int64_t a, int64_t b, int64_t c) {
    uint64_t h = mix(seed);
    h = mix(h ^ purpose);
    h = mix(h ^ static_cast<uint64_t>(a));
    h = mix(h ^ static_cast<uint64_t>(b));
    h = mix(h ^ static_cast<uint64_t>(c));
    return static_cast<double>(h >> 11) * 0x1.0p-53;
}

// The sun of one day for one inverter: the power follows peak * sin^2 between sunrise and
// sunset. Days are short and weak in December, long and strong in June.
struct DayShape {
    double rise_h;
    double length_h;
    double peak_w;
};

DayShape day_shape(uint32_t seed, int inverter, int64_t day) {
    int year = 0;
    int month = 0;
    int dom = 0;
    calendar::civil_from_days(day, &year, &month, &dom);
    const double day_of_year = static_cast<double>(day - calendar::days_from_civil(year, 1, 1) + 1);
    const double summer = std::cos(2.0 * std::numbers::pi * (day_of_year - 172.0) / 365.25);
    const double length = 12.25 + 4.25 * summer;  // 8 h in December, 16.5 h in June
    const double noon = 13.0 + 0.5 * summer;
    const double strength = 0.55 + 0.225 * (summer + 1.0);
    // One sky over the whole site; each inverter's panels differ only a little.
    const double sky = 0.25 + 0.75 * std::sqrt(unit_hash(seed, kWeather, day, 0, 0));
    const double weather = sky * (0.9 + 0.1 * unit_hash(seed, kWeather, day, inverter + 1, 0));
    return {noon - length / 2.0, length, kPeakWatts[inverter] * strength * weather};
}

// Energy in Wh between two hours of the day: the integral of peak * sin^2(pi x) over the
// daylight fraction x.
double shape_wh(const DayShape& s, double from_h, double to_h) {
    auto integral = [&](double hour) {
        const double x = std::clamp((hour - s.rise_h) / s.length_h, 0.0, 1.0);
        return x / 2.0 - std::sin(2.0 * std::numbers::pi * x) / (4.0 * std::numbers::pi);
    };
    return s.peak_w * s.length_h * (integral(to_h) - integral(from_h));
}

double slot_noise(uint32_t seed, int64_t day, int slot, int inverter) {
    const double clouds = 0.85 + 0.25 * unit_hash(seed, kSlotNoise, day, slot, 0);
    return clouds + 0.05 * unit_hash(seed, kSlotNoise, day, slot, inverter + 1);
}

int inverter_of(uint8_t address) {
    switch (address) {
        case 4:
            return 0;
        case 8:
            return 1;
        case 12:
            return 2;
        default:
            return -1;
    }
}

}  // namespace

struct YieldModel::DayCache {
    std::mutex mutex;
    std::unordered_map<int64_t, double> wh;  // key: day * 4 + inverter
};

YieldModel::YieldModel(uint32_t seed, std::string inverters, CivilTime installed)
    : seed_(seed),
      inverters_(std::move(inverters)),
      installed_(installed),
      cache_(std::make_shared<DayCache>()) {}

bool YieldModel::fitted(uint8_t address) const {
    const int inverter = inverter_of(address);
    return inverter >= 0 && inverters_.find(static_cast<char>('A' + inverter)) != std::string::npos;
}

double YieldModel::part_of_day_wh(int inverter, int64_t day, int from_second, int to_second) const {
    const DayShape shape = day_shape(seed_, inverter, day);
    double total = 0.0;
    for (int slot = from_second / kSecondsPerSlot; slot * kSecondsPerSlot < to_second; ++slot) {
        const int a = std::max(from_second, slot * kSecondsPerSlot);
        const int b = std::min(to_second, (slot + 1) * kSecondsPerSlot);
        if (b <= a) {
            continue;
        }
        const double wh = shape_wh(shape, a / 3600.0, b / 3600.0);
        if (wh > 0.0) {
            total += wh * slot_noise(seed_, day, slot, inverter);
        }
    }
    return total;
}

double YieldModel::day_wh(int inverter, int64_t day) const {
    const int64_t key = day * 4 + inverter;
    {
        std::lock_guard lock(cache_->mutex);
        auto it = cache_->wh.find(key);
        if (it != cache_->wh.end()) {
            return it->second;
        }
    }
    const double wh = part_of_day_wh(inverter, day, 0, kSecondsPerDay);
    std::lock_guard lock(cache_->mutex);
    if (cache_->wh.size() > 1000000) {
        cache_->wh.clear();
    }
    cache_->wh.emplace(key, wh);
    return wh;
}

double YieldModel::energy_wh(int inverter, int64_t from_second, int64_t to_second) const {
    double total = 0.0;
    if (to_second <= from_second) {
        return total;
    }
    const int64_t first_day = calendar::floor_div(from_second, kSecondsPerDay);
    const int64_t last_day = calendar::floor_div(to_second - 1, kSecondsPerDay);
    for (int64_t day = first_day; day <= last_day; ++day) {
        const int64_t base = day * kSecondsPerDay;
        const int a = static_cast<int>(std::max(from_second, base) - base);
        const int b = static_cast<int>(std::min(to_second, base + kSecondsPerDay) - base);
        total += (a == 0 && b == kSecondsPerDay) ? day_wh(inverter, day)
                                                 : part_of_day_wh(inverter, day, a, b);
    }
    return total;
}

std::optional<uint32_t> YieldModel::yield(uint8_t module, uint8_t resolution,
                                          const CivilTime& period, const CivilTime& now,
                                          const Outage& outage) const {
    int inverters[3];
    int count = 0;
    if (module == 128) {
        for (uint8_t address : {4, 8, 12}) {
            if (fitted(address)) {
                inverters[count++] = inverter_of(address);
            }
        }
    } else if (fitted(module)) {
        inverters[count++] = inverter_of(module);
    } else {
        return std::nullopt;
    }
    if (!calendar::valid(period)) {
        return std::nullopt;
    }

    int64_t start = 0;  // minutes
    int64_t end = 0;
    double units_per_wh = 0.0;
    const int64_t midnight =
        calendar::days_from_civil(period.year, period.month, period.day) * 1440;
    switch (resolution) {
        case 36:
            start = calendar::floor_div(to_minutes(period), 10) * 10;
            end = start + 10;
            units_per_wh = 100.0;  // 0.01 Wh
            break;
        case 71:
            start = midnight;
            end = start + 1440;
            units_per_wh = 2.0;  // 0.5 Wh
            break;
        case 106:
            start = to_minutes(calendar::month_start(period.year, period.month, 0));
            end = to_minutes(calendar::month_start(period.year, period.month, 1));
            units_per_wh = 0.1;  // 0.01 kWh
            break;
        case 125:
            start = to_minutes(calendar::month_start(period.year, 1, 0));
            end = to_minutes(calendar::month_start(period.year + 1, 1, 0));
            units_per_wh = 0.002;  // 0.5 kWh
            break;
        default:
            return std::nullopt;
    }
    const int64_t now_second = calendar::to_seconds(now);
    if (start < to_minutes(installed_) || start * 60 > now_second) {
        return std::nullopt;
    }
    const int64_t to_second = std::min(end * 60, now_second);
    const int stopped = inverter_of(outage.address);
    double wh = 0.0;
    for (int i = 0; i < count; ++i) {
        const int64_t until = inverters[i] == stopped
                                  ? std::min(to_second, calendar::to_seconds(outage.from))
                                  : to_second;
        wh += energy_wh(inverters[i], start * 60, until);
    }
    const double units = std::round(wh * units_per_wh);
    if (units >= static_cast<double>(std::numeric_limits<uint32_t>::max())) {
        return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(std::max(units, 0.0));
}

uint16_t YieldModel::power(uint8_t address, const CivilTime& now, const Outage& outage) const {
    if (!fitted(address) || (address == outage.address &&
                             calendar::to_seconds(now) >= calendar::to_seconds(outage.from))) {
        return 0;
    }
    const int inverter = inverter_of(address);
    const int64_t minute = to_minutes(now);
    const int64_t day = calendar::floor_div(minute, 1440);
    const double hour = static_cast<double>(minute - day * 1440) / 60.0;
    const DayShape shape = day_shape(seed_, inverter, day);
    const double x = (hour - shape.rise_h) / shape.length_h;
    if (x <= 0.0 || x >= 1.0) {
        return 0;
    }
    const double s = std::sin(std::numbers::pi * x);
    const double noise = 0.93 + 0.14 * unit_hash(seed_, kPowerNoise, minute, inverter, 0);
    const double tenths = std::round(shape.peak_w * s * s * noise * 10.0);
    return static_cast<uint16_t>(std::clamp(tenths, 0.0, 65535.0));
}

}  // namespace kestemu

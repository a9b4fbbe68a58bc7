// CAN forwarding (0x10) to the simulated modules: the monitor at address 0 with its clock and
// the yield history, and inverters A, B, C at 4, 8, 12 with their live power.
#include <algorithm>
#include <cstring>
#include <optional>

#include "Box.h"
#include "Calendar.h"
#include "Connection.h"

namespace kestemu {

namespace {

constexpr uint8_t kConfirm = 1;
constexpr uint8_t kUnknown = 2;
constexpr uint8_t kErrorResponse = 3;
constexpr int kMaxSamples = 12;

bool known_module(uint8_t module) {
    return module == 128 || module == 4 || module == 8 || module == 12;
}

bool known_resolution(uint8_t resolution) {
    return resolution == 36 || resolution == 71 || resolution == 106 || resolution == 125;
}

// Start of the period of the given resolution that contains t.
CivilTime period_start(uint8_t resolution, const CivilTime& t) {
    switch (resolution) {
        case 36:
            return from_minutes(calendar::floor_div(to_minutes(t), 10) * 10);
        case 71:
            return CivilTime{t.year, t.month, t.day, 0, 0, 0};
        case 106:
            return calendar::month_start(t.year, t.month, 0);
        default:
            return calendar::month_start(t.year, 1, 0);
    }
}

CivilTime periods_before(uint8_t resolution, const CivilTime& start, int count) {
    switch (resolution) {
        case 36:
            return from_minutes(to_minutes(start) - 10 * count);
        case 71:
            return from_minutes(to_minutes(start) - 1440 * count);
        case 106:
            return calendar::month_start(start.year, start.month, -count);
        default:
            return calendar::month_start(start.year - count, 1, 0);
    }
}

}  // namespace

void Box::can_request(const uint8_t* p, int n, Connection& c, const Faults& faults, Reply& r) {
    constexpr uint8_t command = 0x10;
    if (n < 5 || p[4] > n - 5) {
        r.refuse(command, code::kPayloadTooShort);
        return;
    }
    const uint8_t address = p[0];
    const uint8_t object = p[1];
    const uint8_t* data = p + 5;
    const int length = p[4];
    record_can(0, p, length, data);

    uint8_t* out = r.payload();
    int reply_length = -1;  // the module did not answer
    out[2] = kConfirm;
    const Outage outage = this->outage(faults);
    if (address == 0) {
        reply_length = monitor_module(p, out, outage);
    } else if (model_.fitted(address) && address != inverter_address(faults.silent_inverter)) {
        const bool lost =
            faults.can_timeout_probability > 0.0 &&
            static_cast<double>(c.rng()) / 4294967296.0 < faults.can_timeout_probability;
        if (lost) {
            reply_length = -1;
        } else if (object == 0x31) {
            const uint16_t power = model_.power(address, now(), outage);
            out[5] = 0;
            out[6] = 0;
            put16(out + 7, power);
            reply_length = 4;
        } else {
            out[2] = kUnknown;
            reply_length = 0;
        }
    }
    if (reply_length < 0) {
        r.refuse(command, code::kNoSuchEntry);
        return;
    }
    out[0] = address;
    out[1] = object;
    out[3] = std::min<uint8_t>(p[3], 3);
    out[4] = static_cast<uint8_t>(reply_length);
    r.done(command, reply_length + 5);
    record_can(1, out, reply_length, out + 5);
}

// The monitor module: writes action and data into the reply payload, returns the data length.
int Box::monitor_module(const uint8_t* request, uint8_t* reply, const Outage& outage) {
    const uint8_t object = request[1];
    const uint8_t action = request[2];
    uint8_t* data = reply + 5;
    if (object == 0x20) {
        const CivilTime t = now();
        data[0] = 0;  // panel configuration, unused
        data[1] = 0;
        data[2] = static_cast<uint8_t>(t.year - calendar::kReplyYearBase);
        data[3] = static_cast<uint8_t>(t.month);
        data[4] = static_cast<uint8_t>(t.day);
        data[5] = static_cast<uint8_t>(iso_weekday(t));
        data[6] = static_cast<uint8_t>(t.hour);
        data[7] = static_cast<uint8_t>(t.minute);
        data[8] = static_cast<uint8_t>(t.second);
        return 9;
    }
    if (object == 0x41 && action == 7) {
        const int length = history(request + 5, request[4], data, outage);
        if (length > 0) {
            return length;
        }
        if (length < 0) {
            reply[2] = kErrorResponse;
            return 0;
        }
    }
    reply[2] = kUnknown;
    return 0;
}

// One yield history block: up to 12 samples, newest first. Returns the data length, 0 when the
// request names no module or resolution the monitor knows, -1 when its date is impossible.
int Box::history(const uint8_t* q, int length, uint8_t* out, const Outage& outage) const {
    if (length < 9 || !known_module(q[0]) || !known_resolution(q[1])) {
        return 0;
    }
    const uint8_t module = q[0];
    const uint8_t resolution = q[1];
    const CivilTime now_time = now();
    CivilTime asked = now_time;
    if (std::any_of(q + 2, q + 8, [](uint8_t b) { return b != 0; })) {
        asked = CivilTime{calendar::kRequestYearBase + q[2], q[3], q[4], q[6], q[7], 0};
        if (!calendar::valid(asked)) {
            return -1;
        }
    }
    const CivilTime newest = period_start(resolution, asked);
    const int count = std::clamp<int>(q[8], 1, kMaxSamples);
    std::optional<uint32_t> values[kMaxSamples];
    bool fours = false;
    for (int i = 0; i < count; ++i) {
        values[i] = model_.yield(module, resolution, periods_before(resolution, newest, i),
                                 now_time, outage);
        fours = fours || (values[i] && *values[i] > 65534);
    }
    out[0] = module;
    out[1] = static_cast<uint8_t>(resolution | (fours ? 0x80 : 0));
    out[2] = static_cast<uint8_t>(newest.year - calendar::kReplyYearBase);
    out[3] = static_cast<uint8_t>(newest.month);
    out[4] = static_cast<uint8_t>(newest.day);
    out[5] = static_cast<uint8_t>(iso_weekday(newest));
    out[6] = static_cast<uint8_t>(newest.hour);
    out[7] = static_cast<uint8_t>(newest.minute);
    for (int i = 0; i < count; ++i) {
        uint32_t word = 65535;
        if (values[i]) {
            word = fours ? std::min<uint32_t>((*values[i] + 2) / 4, 65534)
                         : std::min<uint32_t>(*values[i], 65534);
        }
        put16(out + 8 + 2 * i, word);
    }
    return 8 + 2 * count;
}

void Box::record_can(uint8_t direction, const uint8_t* header, int length, const uint8_t* data) {
    std::array<uint8_t, 16> record{};
    put32(record.data(), box_ms());
    record[4] = direction;
    std::memcpy(record.data() + 5, header, 4);
    record[9] = static_cast<uint8_t>(length);
    std::memcpy(record.data() + 10, data, std::min(length, 6));
    std::lock_guard lock(mutex_);
    if (monitor_state_[0] == 0) {
        return;
    }
    if (monitor_.size() >= kMonitorCapacity) {
        monitor_.pop_front();
    }
    monitor_.push_back(record);
}

}  // namespace kestemu

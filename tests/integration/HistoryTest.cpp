// Yield history requests to the monitor module: every resolution for every module, from the
// current period and from a chosen time, compared sample by sample with the box's own model.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Harness.h"

namespace integ {
namespace {

using kestemu::CivilTime;

constexpr uint8_t kObjectHistory = 0x41;
constexpr uint8_t kActionHistory = 7;
constexpr uint8_t kTenMinutes = 36;
constexpr uint8_t kDay = 71;
constexpr uint8_t kMonth = 106;
constexpr uint8_t kYear = 125;
constexpr uint8_t kTimesFour = 0x80;
constexpr uint16_t kNoValue = 65535;

// The start of the period that contains t.
CivilTime period_start(uint8_t resolution, CivilTime t) {
    t.second = 0;
    switch (resolution) {
        case kTenMinutes:
            t.minute -= t.minute % 10;
            break;
        case kYear:
            t.month = 1;
            [[fallthrough]];
        case kMonth:
            t.day = 1;
            [[fallthrough]];
        default:
            t.hour = 0;
            t.minute = 0;
    }
    return t;
}

// The start of the period `back` periods before the one starting at base.
CivilTime period_back(uint8_t resolution, const CivilTime& base, int back) {
    switch (resolution) {
        case kTenMinutes:
            return kestemu::from_minutes(kestemu::to_minutes(base) - 10 * back);
        case kDay:
            return kestemu::from_minutes(kestemu::to_minutes(base) - 1440 * back);
        case kMonth: {
            const int index = base.year * 12 + (base.month - 1) - back;
            return CivilTime{index / 12, index % 12 + 1, 1, 0, 0, 0};
        }
        default:
            return CivilTime{base.year - back, 1, 1, 0, 0, 0};
    }
}

CanMessage history_request(uint8_t module, uint8_t resolution, const CivilTime* time,
                           uint8_t count) {
    std::vector<uint8_t> data(9, 0);
    data[0] = module;
    data[1] = resolution;
    if (time) {
        data[2] = static_cast<uint8_t>(time->year - 2000);
        data[3] = static_cast<uint8_t>(time->month);
        data[4] = static_cast<uint8_t>(time->day);
        data[5] = static_cast<uint8_t>(kestemu::iso_weekday(*time));
        data[6] = static_cast<uint8_t>(time->hour);
        data[7] = static_cast<uint8_t>(time->minute);
    }
    data[8] = count;
    return can_message(0, kObjectHistory, kActionHistory, 2, data);
}

std::string resolution_name(uint8_t r) {
    switch (r) {
        case kTenMinutes:
            return "TenMinutes";
        case kDay:
            return "Day";
        case kMonth:
            return "Month";
        default:
            return "Year";
    }
}

std::string module_name(uint8_t m) {
    switch (m) {
        case 128:
            return "Total";
        case 4:
            return "A";
        case 8:
            return "B";
        default:
            return "C";
    }
}

struct Decoded {
    uint8_t module = 0;
    uint8_t resolution = 0;
    CivilTime newest;
    uint8_t weekday = 0;
    std::vector<uint16_t> samples;
};

Decoded decode(const CanMessage& reply) {
    Decoded d;
    d.module = reply.Data[0];
    d.resolution = reply.Data[1];
    d.newest = CivilTime{reply.Data[2] + 1792, reply.Data[3], reply.Data[4],
                         reply.Data[6],        reply.Data[7], 0};
    d.weekday = reply.Data[5];
    for (int i = 8; i + 1 < reply.Length; i += 2) {
        d.samples.push_back(static_cast<uint16_t>(reply.Data[i] | (reply.Data[i + 1] << 8)));
    }
    return d;
}

// What the box must send for one period, given the reply's times-4 flag: a quarter of the
// value, rounded, when the flag is set. 65535 is kept for "no value".
uint16_t reported(std::optional<uint32_t> value, bool times_four) {
    if (!value) {
        return kNoValue;
    }
    const uint32_t word = times_four ? (*value + 2) / 4 : *value;
    return static_cast<uint16_t>(std::min<uint32_t>(word, kNoValue - 1));
}

class HistoryTest : public BoxTest {
protected:
    void SetUp() override {
        BoxTest::SetUp();
        open_link(0);
    }

    Decoded ask(uint8_t module, uint8_t resolution, const CivilTime* time, uint8_t count) {
        const CanMessage request = history_request(module, resolution, time, count);
        CanMessage reply{};
        EXPECT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
        EXPECT_EQ(reply.Header[0], 0);
        EXPECT_EQ(reply.Header[1], kObjectHistory);
        EXPECT_EQ(reply.Header[2], 1);
        return decode(reply);
    }

    // The samples must be the model's, newest first from base; every period before now is
    // compared exactly, the one that contains now lies between its value at the two moments.
    void expect_samples(const Decoded& d, uint8_t module, uint8_t resolution, const CivilTime& base,
                        const CivilTime& before, const CivilTime& after) {
        const bool times_four = (d.resolution & kTimesFour) != 0;
        bool needs_four = false;
        for (size_t i = 0; i < d.samples.size(); ++i) {
            const CivilTime period = period_back(resolution, base, static_cast<int>(i));
            const auto low = emu->model().yield(module, resolution, period, before);
            const auto high = emu->model().yield(module, resolution, period, after);
            needs_four = needs_four || (low && *low > 65534) || (high && *high > 65534);
            const uint16_t got = d.samples[i];
            const uint16_t min = reported(low, times_four);
            const uint16_t max = reported(high, times_four);
            if (low && high) {
                EXPECT_TRUE(got >= min && got <= max)
                    << "sample " << i << " of " << describe(period) << ": got " << got << ", model "
                    << min << ".." << max;
            } else if (!low && !high) {
                EXPECT_EQ(got, kNoValue) << "sample " << i << " of " << describe(period);
            }
        }
        EXPECT_EQ(times_four, needs_four)
            << "the times-4 flag is set exactly when a value does not fit 16 bits";
    }
};

struct Case {
    uint8_t resolution;
    uint8_t module;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << resolution_name(c.resolution) << module_name(c.module);
}

class HistoryCaseTest : public HistoryTest, public testing::WithParamInterface<Case> {};

TEST_P(HistoryCaseTest, CurrentPeriodWhenTheTimeIsZero) {
    const Case c = GetParam();
    const CivilTime before = emu->now();
    const Decoded d = ask(c.module, c.resolution, nullptr, 12);
    const CivilTime after = emu->now();

    EXPECT_EQ(d.module, c.module);
    EXPECT_EQ(d.resolution & 0x7F, c.resolution);
    ASSERT_EQ(d.samples.size(), 12u);
    const CivilTime base = period_start(c.resolution, before);
    ASSERT_EQ(base, period_start(c.resolution, after)) << "the period changed during the call";
    EXPECT_EQ(d.newest.year, base.year);
    if (c.resolution != kYear) {
        EXPECT_EQ(d.newest.month, base.month);
    }
    if (c.resolution == kTenMinutes || c.resolution == kDay) {
        EXPECT_EQ(d.newest.day, base.day);
        EXPECT_EQ(d.weekday, kestemu::iso_weekday(base));
    }
    if (c.resolution == kTenMinutes) {
        EXPECT_EQ(d.newest.hour, base.hour);
        EXPECT_EQ(d.newest.minute, base.minute);
    }
    expect_samples(d, c.module, c.resolution, base, before, after);
}

TEST_P(HistoryCaseTest, PastPeriodsFromAChosenTime) {
    const Case c = GetParam();
    CivilTime time;
    switch (c.resolution) {
        case kTenMinutes:
            time = CivilTime{2026, 6, 20, 12, 30, 0};
            break;
        case kDay:
            time = CivilTime{2026, 6, 10, 0, 0, 0};
            break;
        case kMonth:
            time = CivilTime{2026, 5, 1, 0, 0, 0};
            break;
        default:
            time = CivilTime{2025, 1, 1, 0, 0, 0};
    }
    const CivilTime now = emu->now();
    const Decoded d = ask(c.module, c.resolution, &time, 12);
    EXPECT_EQ(d.module, c.module);
    EXPECT_EQ(d.resolution & 0x7F, c.resolution);
    ASSERT_EQ(d.samples.size(), 12u);
    EXPECT_EQ(d.newest.year, time.year);
    if (c.resolution != kYear) {
        EXPECT_EQ(d.newest.month, time.month);
    }
    if (c.resolution == kTenMinutes || c.resolution == kDay) {
        EXPECT_EQ(d.newest.day, time.day);
    }
    if (c.resolution == kTenMinutes) {
        EXPECT_EQ(d.newest.hour, time.hour);
        EXPECT_EQ(d.newest.minute, time.minute);
    }
    expect_samples(d, c.module, c.resolution, time, now, now);
    const bool any_value = std::any_of(d.samples.begin(), d.samples.end(),
                                       [](uint16_t v) { return v != kNoValue && v != 0; });
    EXPECT_TRUE(any_value) << "sunny periods after the installation must have yield";
}

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    for (uint8_t r : {kTenMinutes, kDay, kMonth, kYear}) {
        for (uint8_t m : {128, 4, 8, 12}) {
            cases.push_back({r, m});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryResolutionAndModule, HistoryCaseTest, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                             return resolution_name(info.param.resolution) +
                                    module_name(info.param.module);
                         });

TEST_F(HistoryTest, PeriodsBeforeTheInstallationHaveNoValue) {
    struct Row {
        uint8_t resolution;
        CivilTime time;
        size_t with_value;  // newest samples that lie on or after the installation date
    };
    const Row rows[] = {
        {kTenMinutes, {2021, 3, 15, 1, 0, 0}, 7},
        {kDay, {2021, 3, 20, 0, 0, 0}, 6},
        {kMonth, {2021, 6, 1, 0, 0, 0}, 3},
        {kYear, {2023, 1, 1, 0, 0, 0}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(resolution_name(row.resolution));
        const CivilTime now = emu->now();
        const Decoded d = ask(128, row.resolution, &row.time, 12);
        ASSERT_EQ(d.samples.size(), 12u);
        for (size_t i = 0; i < d.samples.size(); ++i) {
            if (i >= row.with_value) {
                EXPECT_EQ(d.samples[i], kNoValue) << "sample " << i;
            } else {
                EXPECT_NE(d.samples[i], kNoValue) << "sample " << i;
            }
        }
        expect_samples(d, 128, row.resolution, row.time, now, now);
    }
}

TEST_F(HistoryTest, NightHasZeroYieldNotNoValue) {
    const CivilTime night{2026, 6, 20, 2, 0, 0};
    const Decoded d = ask(4, kTenMinutes, &night, 6);
    ASSERT_EQ(d.samples.size(), 6u);
    for (uint16_t v : d.samples) {
        EXPECT_EQ(v, 0);
    }
    EXPECT_EQ(d.resolution, kTenMinutes);
}

TEST_F(HistoryTest, CountSetsTheNumberOfSamples) {
    const CivilTime time{2026, 6, 20, 12, 0, 0};
    for (uint8_t count : {1, 5, 12}) {
        SCOPED_TRACE(static_cast<int>(count));
        const CivilTime now = emu->now();
        const Decoded d = ask(4, kTenMinutes, &time, count);
        EXPECT_EQ(d.samples.size(), count);
        expect_samples(d, 4, kTenMinutes, time, now, now);
    }
}

TEST_F(HistoryTest, TimesFourFlagAppearsForLargeValues) {
    // The whole box in midsummer produces more than 655.34 Wh in ten minutes, and each
    // inverter alone less: the flag must follow the value, not the module.
    const CivilTime noon{2026, 6, 20, 12, 0, 0};
    const CivilTime now = emu->now();
    const auto total = emu->model().yield(128, kTenMinutes, noon, now);
    const auto single = emu->model().yield(4, kTenMinutes, noon, now);
    ASSERT_TRUE(total && single);
    const Decoded whole = ask(128, kTenMinutes, &noon, 1);
    const Decoded one = ask(4, kTenMinutes, &noon, 1);
    ASSERT_EQ(whole.samples.size(), 1u);
    ASSERT_EQ(one.samples.size(), 1u);
    EXPECT_EQ((whole.resolution & kTimesFour) != 0, *total > 65534);
    EXPECT_EQ((one.resolution & kTimesFour) != 0, *single > 65534);
    EXPECT_TRUE(*total > 65534 || *single > 65534)
        << "the model should make the flag reachable at midsummer noon (total " << *total << ")";
}

TEST_F(HistoryTest, FuturePeriodsHaveNoValue) {
    const CivilTime tomorrow{2026, 6, 22, 12, 0, 0};
    const Decoded d = ask(128, kTenMinutes, &tomorrow, 4);
    ASSERT_EQ(d.samples.size(), 4u);
    for (uint16_t v : d.samples) {
        EXPECT_EQ(v, kNoValue);
    }
}

}  // namespace
}  // namespace integ

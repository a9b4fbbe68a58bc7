// The calendar helpers and the daylight model behind the box's yields and live power.
#include <gtest/gtest.h>

#include <vector>

#include "YieldModel.h"

namespace kestemu {
namespace {

CivilTime at(const std::string& text) {
    CivilTime t;
    EXPECT_TRUE(parse_civil(text, &t)) << text;
    return t;
}

const CivilTime kNow = {2024, 6, 15, 12, 0, 0};

YieldModel model(uint32_t seed = 1, const std::string& inverters = "ABC") {
    return YieldModel(seed, inverters, {2021, 3, 15, 0, 0, 0});
}

TEST(Calendar, MinutesAndWeekdays) {
    struct Case {
        CivilTime t;
        int64_t minutes;
        int weekday;
    };
    const std::vector<Case> cases = {
        {{1970, 1, 1, 0, 0, 0}, 0, 4},
        {{1969, 12, 31, 23, 59, 0}, -1, 3},
        {{2008, 5, 14, 13, 30, 0}, 14013 * 1440 + 13 * 60 + 30, 3},
        {{2024, 1, 1, 0, 0, 0}, 19723 * 1440, 1},
        {{2024, 2, 29, 0, 0, 0}, 19782 * 1440, 4},
        {{2000, 3, 1, 0, 0, 0}, 11017 * 1440, 3},
        {{2023, 12, 31, 0, 0, 0}, 19722 * 1440, 7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_minutes(c.t), c.minutes) << c.t.year << "-" << c.t.month << "-" << c.t.day;
        EXPECT_EQ(from_minutes(c.minutes), c.t);
        EXPECT_EQ(iso_weekday(c.t), c.weekday) << c.t.year << "-" << c.t.month << "-" << c.t.day;
    }
}

TEST(Calendar, RoundTripsAcrossMonthAndYearEnds) {
    for (int64_t m = to_minutes({2023, 12, 30, 0, 0, 0}); m < to_minutes({2024, 3, 2, 0, 0, 0});
         m += 97) {
        EXPECT_EQ(to_minutes(from_minutes(m)), m);
    }
}

TEST(Calendar, ParseCivil) {
    struct Case {
        const char* text;
        bool ok;
        CivilTime t;
    };
    const std::vector<Case> cases = {
        {"2024-06-15", true, {2024, 6, 15, 0, 0, 0}},
        {"2024-06-15 12:34", true, {2024, 6, 15, 12, 34, 0}},
        {"2024-02-29 23:59", true, {2024, 2, 29, 23, 59, 0}},
        {"2023-02-29", false, {}},
        {"2024-13-01", false, {}},
        {"2024-00-10", false, {}},
        {"2024-04-31", false, {}},
        {"2024-06-15 24:00", false, {}},
        {"2024-06-15 12:60", false, {}},
        {"2024-6-15", false, {}},
        {"2024-06-15T12:00", false, {}},
        {"2024-06-15 12:00:00", false, {}},
        {"", false, {}},
        {"abcd-ef-gh", false, {}},
    };
    for (const Case& c : cases) {
        CivilTime t;
        EXPECT_EQ(parse_civil(c.text, &t), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(t, c.t) << c.text;
        }
    }
}

TEST(YieldModel, NightIsZeroAndDayIsNot) {
    const YieldModel m = model();
    for (const char* day : {"2023-12-21", "2023-06-21", "2023-03-20"}) {
        const CivilTime date = at(day);
        for (int hour : {0, 1, 2, 3, 4}) {
            CivilTime t = date;
            t.hour = hour;
            for (uint8_t module : {4, 8, 12, 128}) {
                EXPECT_EQ(m.yield(module, 36, t, kNow), 0u) << day << " " << hour;
            }
            EXPECT_EQ(m.power(4, t), 0) << day << " " << hour;
        }
        CivilTime noon = date;
        noon.hour = 12;
        EXPECT_GT(*m.yield(128, 36, noon, kNow), 0u) << day;
        EXPECT_GT(m.power(8, noon), 0) << day;
    }
}

TEST(YieldModel, SlotsAddUpToTheDay) {
    const YieldModel m = model();
    for (const char* day : {"2023-12-21", "2023-06-21", "2023-03-20", "2024-06-14"}) {
        for (uint8_t module : {4, 8, 12, 128}) {
            double slots = 0;
            for (int slot = 0; slot < 144; ++slot) {
                CivilTime t = at(day);
                t.hour = slot / 6;
                t.minute = slot % 6 * 10;
                slots += *m.yield(module, 36, t, kNow);
            }
            const double day_value = *m.yield(module, 71, at(day), kNow);
            EXPECT_GT(day_value, 0);
            EXPECT_NEAR(slots / 50.0, day_value, 2.0) << day << " module " << int(module);
        }
    }
}

TEST(YieldModel, DaysAddUpToTheMonthAndMonthsToTheYear) {
    const YieldModel m = model();
    for (uint8_t module : {4, 12, 128}) {
        double months = 0;
        for (int month = 1; month <= 12; ++month) {
            const CivilTime first{2023, month, 1, 0, 0, 0};
            double days = 0;
            for (CivilTime d = first; d.month == month; d = from_minutes(to_minutes(d) + 1440)) {
                days += *m.yield(module, 71, d, kNow);
            }
            const double month_value = *m.yield(module, 106, first, kNow);
            EXPECT_NEAR(days / 20.0, month_value, 1.5) << "month " << month;
            months += month_value;
        }
        const double year_value = *m.yield(module, 125, {2023, 1, 1, 0, 0, 0}, kNow);
        EXPECT_NEAR(months / 50.0, year_value, 1.0) << "module " << int(module);
    }
}

TEST(YieldModel, TotalIsTheSumOfTheFittedInverters) {
    for (const std::string fitted : {"ABC", "AC", "B", ""}) {
        const YieldModel m = model(1, fitted);
        for (uint8_t resolution : {36, 71, 106}) {
            const CivilTime period = {2024, 5, 20, 11, 0, 0};
            double sum = 0;
            for (uint8_t module : {4, 8, 12}) {
                sum += m.yield(module, resolution, period, kNow).value_or(0);
            }
            EXPECT_NEAR(*m.yield(128, resolution, period, kNow), sum, 2.0)
                << fitted << " " << int(resolution);
        }
    }
}

TEST(YieldModel, AnOutageStopsOneInverterAndTheTotalFollows) {
    const YieldModel m = model();
    const CivilTime from = {2024, 6, 15, 12, 5, 30};  // in the middle of a slot
    const Outage outage{4, from};
    const CivilTime now = {2024, 7, 2, 12, 0, 0};
    auto stopped = [&](uint8_t resolution, const CivilTime& period) {
        return *m.yield(4, resolution, period, now, outage);
    };
    // What A made before the stop counts, in the slot, day, month and year that hold it.
    EXPECT_EQ(stopped(36, {2024, 6, 15, 12, 0, 0}), *m.yield(4, 36, {2024, 6, 15, 12, 0, 0}, from));
    EXPECT_GT(stopped(36, {2024, 6, 15, 12, 0, 0}), 0u);
    EXPECT_EQ(stopped(71, {2024, 6, 15, 0, 0, 0}), *m.yield(4, 71, {2024, 6, 15, 0, 0, 0}, from));
    EXPECT_EQ(stopped(106, {2024, 6, 1, 0, 0, 0}), *m.yield(4, 106, {2024, 6, 1, 0, 0, 0}, from));
    EXPECT_EQ(stopped(125, {2024, 1, 1, 0, 0, 0}), *m.yield(4, 125, {2024, 1, 1, 0, 0, 0}, from));
    EXPECT_EQ(stopped(36, {2024, 6, 15, 11, 50, 0}),
              *m.yield(4, 36, {2024, 6, 15, 11, 50, 0}, now));
    // Later slots and days are 0, and the slots still add up to their day.
    double slots = 0;
    for (int slot = 0; slot < 144; ++slot) {
        const CivilTime t = {2024, 6, 15, slot / 6, slot % 6 * 10, 0};
        slots += stopped(36, t);
        if (slot > 72) {
            EXPECT_EQ(stopped(36, t), 0u) << slot;
            EXPECT_GT(*m.yield(8, 36, t, now, outage), 0u) << slot;  // B goes on in daylight
            if (slot > 125) {
                break;
            }
        }
    }
    EXPECT_NEAR(slots / 50.0, stopped(71, {2024, 6, 15, 0, 0, 0}), 2.0);
    EXPECT_EQ(stopped(71, {2024, 6, 20, 0, 0, 0}), 0u);
    EXPECT_EQ(stopped(106, {2024, 7, 1, 0, 0, 0}), 0u);
    EXPECT_EQ(*m.yield(8, 71, {2024, 6, 20, 0, 0, 0}, now, outage),
              *m.yield(8, 71, {2024, 6, 20, 0, 0, 0}, now));
    // The total is the sum of what the inverters really made.
    for (const CivilTime& period :
         {CivilTime{2024, 6, 15, 12, 0, 0}, CivilTime{2024, 6, 15, 0, 0, 0},
          CivilTime{2024, 6, 1, 0, 0, 0}}) {
        for (uint8_t resolution : {36, 71, 106}) {
            double sum = 0;
            for (uint8_t module : {4, 8, 12}) {
                sum += *m.yield(module, resolution, period, now, outage);
            }
            EXPECT_NEAR(*m.yield(128, resolution, period, now, outage), sum, 2.0)
                << int(resolution);
        }
    }
    EXPECT_LT(*m.yield(128, 71, {2024, 6, 20, 0, 0, 0}, now, outage),
              *m.yield(128, 71, {2024, 6, 20, 0, 0, 0}, now));
    // No power from the stop on; the others keep theirs.
    EXPECT_GT(m.power(4, {2024, 6, 15, 12, 5, 0}, outage), 0);
    EXPECT_EQ(m.power(4, from, outage), 0);
    EXPECT_EQ(m.power(4, {2024, 6, 20, 12, 0, 0}, outage), 0);
    EXPECT_EQ(m.power(8, {2024, 6, 20, 12, 0, 0}, outage), m.power(8, {2024, 6, 20, 12, 0, 0}));
}

TEST(YieldModel, NotFittedInverterHasNoValueAndNoPower) {
    const YieldModel m = model(1, "AC");
    const CivilTime noon = {2024, 6, 1, 12, 0, 0};
    EXPECT_TRUE(m.fitted(4));
    EXPECT_FALSE(m.fitted(8));
    EXPECT_TRUE(m.fitted(12));
    EXPECT_FALSE(m.yield(8, 36, noon, kNow).has_value());
    EXPECT_FALSE(m.yield(8, 125, {2023, 1, 1, 0, 0, 0}, kNow).has_value());
    EXPECT_EQ(m.power(8, noon), 0);
    EXPECT_GT(m.power(12, noon), 0);
}

TEST(YieldModel, UnknownModuleOrResolutionHasNoValue) {
    const YieldModel m = model();
    const CivilTime noon = {2024, 6, 1, 12, 0, 0};
    for (uint8_t module : {0, 1, 5, 16, 127, 129}) {
        EXPECT_FALSE(m.yield(module, 36, noon, kNow).has_value()) << int(module);
    }
    for (uint8_t resolution : {0, 35, 37, 72, 126, 164}) {
        EXPECT_FALSE(m.yield(128, resolution, noon, kNow).has_value()) << int(resolution);
    }
    EXPECT_FALSE(m.fitted(0));
    EXPECT_EQ(m.power(0, noon), 0);
}

TEST(YieldModel, PeriodsBeforeInstallationHaveNoValue) {
    const YieldModel m = model();  // installed 2021-03-15
    struct Case {
        uint8_t resolution;
        CivilTime period;
        bool has_value;
    };
    const std::vector<Case> cases = {
        {36, {2021, 3, 14, 23, 50, 0}, false}, {36, {2021, 3, 15, 0, 0, 0}, true},
        {71, {2021, 3, 14, 0, 0, 0}, false},   {71, {2021, 3, 15, 0, 0, 0}, true},
        {106, {2021, 3, 1, 0, 0, 0}, false},   {106, {2021, 4, 1, 0, 0, 0}, true},
        {125, {2021, 1, 1, 0, 0, 0}, false},   {125, {2022, 1, 1, 0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(m.yield(128, c.resolution, c.period, kNow).has_value(), c.has_value)
            << int(c.resolution) << " " << c.period.year << "-" << c.period.month << "-"
            << c.period.day;
    }
}

TEST(YieldModel, FuturePeriodsHaveNoValueAndTheCurrentOneGrows) {
    const YieldModel m = model();
    const CivilTime now = {2024, 6, 15, 12, 5, 30};
    EXPECT_FALSE(m.yield(4, 36, {2024, 6, 15, 12, 10, 0}, now).has_value());
    EXPECT_FALSE(m.yield(4, 71, {2024, 6, 16, 0, 0, 0}, now).has_value());
    EXPECT_FALSE(m.yield(4, 106, {2024, 7, 1, 0, 0, 0}, now).has_value());
    EXPECT_FALSE(m.yield(4, 125, {2025, 1, 1, 0, 0, 0}, now).has_value());

    const CivilTime slot = {2024, 6, 15, 12, 0, 0};
    EXPECT_EQ(m.yield(4, 36, slot, slot), 0u);  // the slot that starts now has produced nothing
    const uint32_t part = *m.yield(4, 36, slot, now);
    const uint32_t whole = *m.yield(4, 36, slot, {2024, 6, 15, 12, 10, 0});
    EXPECT_GT(part, 0u);
    EXPECT_LT(part, whole);
    EXPECT_EQ(whole, *m.yield(4, 36, slot, {2024, 6, 16, 0, 0, 0}));
    for (uint8_t resolution : {71, 106, 125}) {
        EXPECT_LT(*m.yield(128, resolution, slot, now),
                  *m.yield(128, resolution, slot, {2024, 6, 15, 18, 0, 0}))
            << int(resolution);
    }
}

TEST(YieldModel, AnyTimeInsideAPeriodNamesThatPeriod) {
    const YieldModel m = model();
    EXPECT_EQ(m.yield(4, 36, {2024, 6, 1, 12, 7, 0}, kNow),
              m.yield(4, 36, {2024, 6, 1, 12, 0, 0}, kNow));
    EXPECT_EQ(m.yield(4, 71, {2024, 6, 1, 17, 7, 0}, kNow),
              m.yield(4, 71, {2024, 6, 1, 0, 0, 0}, kNow));
    EXPECT_EQ(m.yield(4, 106, {2024, 5, 9, 0, 0, 0}, kNow),
              m.yield(4, 106, {2024, 5, 1, 0, 0, 0}, kNow));
    EXPECT_EQ(m.yield(4, 125, {2023, 8, 9, 0, 0, 0}, kNow),
              m.yield(4, 125, {2023, 1, 1, 0, 0, 0}, kNow));
}

TEST(YieldModel, SeedDecidesEverything) {
    const YieldModel a = model(7);
    const YieldModel b = model(7);
    const YieldModel c = model(8);
    int differences = 0;
    for (int day = 1; day <= 20; ++day) {
        const CivilTime t = {2024, 5, day, 11, 20, 0};
        for (uint8_t resolution : {36, 71}) {
            EXPECT_EQ(a.yield(8, resolution, t, kNow), b.yield(8, resolution, t, kNow));
            differences += a.yield(8, resolution, t, kNow) != c.yield(8, resolution, t, kNow);
        }
        EXPECT_EQ(a.power(8, t), b.power(8, t));
        differences += a.power(8, t) != c.power(8, t);
    }
    EXPECT_GT(differences, 30);
}

TEST(YieldModel, PowerFollowsTheDayAndStaysWithinThePeak) {
    const YieldModel m = model();
    const int peak_tenths[3] = {46000, 38000, 25000};
    for (const CivilTime day : {CivilTime{2024, 6, 10}, CivilTime{2023, 12, 10}}) {
        for (int i = 0; i < 3; ++i) {
            const uint8_t address = static_cast<uint8_t>(4 * (i + 1));
            int highest = 0;
            for (int minute = 0; minute < 1440; ++minute) {
                const int p = m.power(address, from_minutes(to_minutes(day) + minute));
                highest = std::max(highest, p);
                EXPECT_LE(p, peak_tenths[i] * 1.1);
            }
            EXPECT_GT(highest, peak_tenths[i] / 10);
        }
    }
    // A long June day: light at 06:00 and 21:00, none at 04:30 or 22:30.
    EXPECT_GT(m.power(4, {2024, 6, 21, 6, 0, 0}), 0);
    EXPECT_GT(m.power(4, {2024, 6, 21, 21, 0, 0}), 0);
    EXPECT_EQ(m.power(4, {2024, 6, 21, 4, 30, 0}), 0);
    EXPECT_EQ(m.power(4, {2024, 6, 21, 22, 30, 0}), 0);
    // A short December day: dark at 08:00 and 17:00.
    EXPECT_EQ(m.power(4, {2023, 12, 21, 8, 0, 0}), 0);
    EXPECT_EQ(m.power(4, {2023, 12, 21, 17, 0, 0}), 0);
    EXPECT_GT(m.power(4, {2023, 12, 21, 12, 30, 0}), 0);
}

TEST(YieldModel, SunnySlotsNeedTheTimesFourScale) {
    // A strong inverter's ten minutes around noon in June exceed what 16 bits hold in 0.01 Wh.
    const YieldModel m = model();
    uint32_t highest = 0;
    for (int day = 1; day <= 30; ++day) {
        highest = std::max(highest, *m.yield(4, 36, {2023, 6, day, 13, 0, 0}, kNow));
    }
    EXPECT_GT(highest, 65534u);
}

}  // namespace
}  // namespace kestemu

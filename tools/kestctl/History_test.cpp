#include "History.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace kestctl {
namespace {

CanMessage history_reply(std::initializer_list<uint8_t> data) {
    CanMessage reply{};
    reply.Header[0] = 0;
    reply.Header[1] = 0x41;
    reply.Header[2] = 1;
    reply.Header[3] = 2;
    reply.Length = static_cast<uint8_t>(data.size());
    int i = 0;
    for (uint8_t byte : data) {
        reply.Data[i++] = byte;
    }
    return reply;
}

std::vector<uint8_t> request_data(const CanMessage& request) {
    return std::vector<uint8_t>(request.Data, request.Data + request.Length);
}

TEST(Calendar, StepBack) {
    struct Case {
        const char* name;
        CalendarTime from;
        uint8_t resolution;
        int steps;
        CalendarTime expected;
    };
    const Case cases[] = {
        {"ten minutes within the hour",
         {2026, 6, 21, 13, 0},
         kTenMinutes,
         1,
         {2026, 6, 21, 12, 50}},
        {"ten minutes past midnight", {2026, 3, 1, 0, 0}, kTenMinutes, 1, {2026, 2, 28, 23, 50}},
        {"ten minutes into a leap day", {2024, 3, 1, 0, 20}, kTenMinutes, 3, {2024, 2, 29, 23, 50}},
        {"ten minutes across a year", {2026, 1, 1, 0, 0}, kTenMinutes, 144, {2025, 12, 31, 0, 0}},
        {"day across a year", {2024, 1, 1, 0, 0}, kDay, 1, {2023, 12, 31, 0, 0}},
        {"day onto a leap day", {2024, 3, 1, 0, 0}, kDay, 1, {2024, 2, 29, 0, 0}},
        {"day without a leap day", {2100, 3, 1, 0, 0}, kDay, 1, {2100, 2, 28, 0, 0}},
        {"a year of days", {2026, 6, 21, 0, 0}, kDay, 365, {2025, 6, 21, 0, 0}},
        {"month across a year", {2026, 1, 1, 0, 0}, kMonth, 1, {2025, 12, 1, 0, 0}},
        {"thirteen months", {2026, 6, 1, 0, 0}, kMonth, 13, {2025, 5, 1, 0, 0}},
        {"year", {2026, 1, 1, 0, 0}, kYear, 3, {2023, 1, 1, 0, 0}},
        {"no steps", {2026, 6, 21, 13, 40}, kTenMinutes, 0, {2026, 6, 21, 13, 40}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(step_back(c.from, c.resolution, c.steps), c.expected) << c.name;
    }
}

TEST(Calendar, IsoWeekdayAndValidity) {
    EXPECT_EQ(iso_weekday({1970, 1, 1}), 4);
    EXPECT_EQ(iso_weekday({2000, 1, 1}), 6);
    EXPECT_EQ(iso_weekday({2008, 5, 14}), 3);
    EXPECT_EQ(iso_weekday({2026, 6, 21}), 7);
    EXPECT_EQ(iso_weekday({2026, 6, 22}), 1);

    EXPECT_TRUE(is_valid({2024, 2, 29, 23, 59}));
    EXPECT_FALSE(is_valid({2023, 2, 29, 0, 0}));
    EXPECT_FALSE(is_valid({2026, 0, 1, 0, 0}));
    EXPECT_FALSE(is_valid({2026, 13, 1, 0, 0}));
    EXPECT_FALSE(is_valid({2026, 4, 31, 0, 0}));
    EXPECT_FALSE(is_valid({2026, 4, 0, 0, 0}));
    EXPECT_FALSE(is_valid({2026, 4, 1, 24, 0}));
    EXPECT_FALSE(is_valid({2026, 4, 1, 0, 60}));
}

TEST(Parsing, NamesAndCodes) {
    struct Case {
        const char* text;
        bool resolution_ok;
        uint8_t resolution;
        bool module_ok;
        uint8_t module;
    };
    const Case cases[] = {
        {"10min", true, 36, false, 0},  {"day", true, 71, false, 0},
        {"month", true, 106, false, 0}, {"year", true, 125, false, 0},
        {"total", false, 0, true, 128}, {"A", false, 0, true, 4},
        {"B", false, 0, true, 8},       {"C", false, 0, true, 12},
        {"Day", false, 0, false, 0},    {"a", false, 0, false, 0},
        {"", false, 0, false, 0},       {"10", false, 0, false, 0},
    };
    for (const Case& c : cases) {
        uint8_t resolution = 0;
        uint8_t module = 0;
        EXPECT_EQ(parse_resolution(c.text, &resolution), c.resolution_ok) << c.text;
        EXPECT_EQ(parse_module(c.text, &module), c.module_ok) << c.text;
        if (c.resolution_ok) {
            EXPECT_EQ(resolution, c.resolution) << c.text;
        }
        if (c.module_ok) {
            EXPECT_EQ(module, c.module) << c.text;
        }
    }
}

TEST(Formatting, TimeStampsAndValues) {
    const CalendarTime t{2026, 6, 1, 9, 5};
    EXPECT_EQ(format_time(t, kTenMinutes), "2026-06-01 09:05");
    EXPECT_EQ(format_time(t, kDay), "2026-06-01");
    EXPECT_EQ(format_time(t, kMonth), "2026-06");
    EXPECT_EQ(format_time(t, kYear), "2026");

    struct Case {
        uint8_t resolution;
        uint16_t raw;
        bool times_four;
        const char* expected;
    };
    const Case cases[] = {
        {kTenMinutes, 12345, false, "123.45 Wh"},
        {kTenMinutes, 5, false, "0.05 Wh"},
        {kTenMinutes, 0, false, "0.00 Wh"},
        {kTenMinutes, 12345, true, "493.80 Wh"},
        {kDay, 3, false, "1.5 Wh"},
        {kDay, 40000, false, "20000.0 Wh"},
        {kDay, 65534, true, "131068.0 Wh"},
        {kMonth, 12345, false, "123.45 kWh"},
        {kYear, 7, false, "3.5 kWh"},
        {kYear, 7, true, "14.0 kWh"},
        {kDay, kNoValue, false, "-"},
        {kDay, kNoValue, true, "-"},
        {kTenMinutes, kNoValue, false, "-"},
    };
    for (const Case& c : cases) {
        Sample sample;
        sample.raw = c.raw;
        sample.times_four = c.times_four;
        EXPECT_EQ(format_value(sample, c.resolution), c.expected)
            << int(c.resolution) << " " << c.raw << " " << c.times_four;
    }
}

TEST(HistoryWalk, FirstRequestAsksForTheCurrentPeriod) {
    HistoryWalk walk(128, kDay, 5);
    CanMessage request{};
    std::string error;
    ASSERT_TRUE(walk.next_request(&request, &error));
    EXPECT_EQ(request.Header[0], 0);
    EXPECT_EQ(request.Header[1], 0x41);
    EXPECT_EQ(request.Header[2], 7);
    EXPECT_EQ(request.Header[3], 2);
    EXPECT_EQ(request_data(request), (std::vector<uint8_t>{128, 71, 0, 0, 0, 0, 0, 0, 1}));
    for (int i = 9; i < 32; ++i) {
        EXPECT_EQ(request.Data[i], 0) << i;
    }
    EXPECT_FALSE(walk.done());
}

TEST(HistoryWalk, DecodesTenMinuteSamplesAndContinuesBeforeTheOldest) {
    HistoryWalk walk(4, kTenMinutes, 12);
    std::vector<Sample> samples;
    std::string error;
    // 14 May 2008 13:30, inverter A: 10000, then no value.
    ASSERT_TRUE(walk.take_reply(
        history_reply({4, 36, 216, 5, 14, 3, 13, 30, 0x10, 0x27, 0xFF, 0xFF}), &samples, &error))
        << error;
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].time, (CalendarTime{2008, 5, 14, 13, 30}));
    EXPECT_EQ(samples[0].raw, 10000);
    EXPECT_FALSE(samples[0].times_four);
    EXPECT_EQ(samples[1].time, (CalendarTime{2008, 5, 14, 13, 20}));
    EXPECT_EQ(format_value(samples[1], kTenMinutes), "-");

    CanMessage request{};
    ASSERT_TRUE(walk.next_request(&request, &error)) << error;
    EXPECT_EQ(request_data(request), (std::vector<uint8_t>{4, 36, 8, 5, 14, 3, 13, 10, 10}));
}

TEST(HistoryWalk, TenMinuteRequestsStopAtMidnight) {
    HistoryWalk walk(128, kTenMinutes, 20);
    std::vector<Sample> samples;
    std::string error;
    // Monday 22 June 2026 00:30.
    ASSERT_TRUE(
        walk.take_reply(history_reply({128, 36, 234, 6, 22, 1, 0, 30, 1, 0}), &samples, &error));
    CanMessage request{};
    ASSERT_TRUE(walk.next_request(&request, &error));
    EXPECT_EQ(request_data(request), (std::vector<uint8_t>{128, 36, 26, 6, 22, 1, 0, 20, 3}));

    ASSERT_TRUE(walk.take_reply(history_reply({128, 36, 234, 6, 22, 1, 0, 20, 3, 0, 2, 0, 1, 0}),
                                &samples, &error));
    ASSERT_EQ(samples.size(), 4u);
    EXPECT_EQ(samples[3].time, (CalendarTime{2026, 6, 22, 0, 0}));
    ASSERT_TRUE(walk.next_request(&request, &error));
    // Sunday 21 June 23:50; the ten slots back to 22:20 lie within the day.
    EXPECT_EQ(request_data(request), (std::vector<uint8_t>{128, 36, 26, 6, 21, 7, 23, 50, 10}));
}

TEST(HistoryWalk, ModuleBaseTimesFollowTheResolution) {
    struct Case {
        const char* name;
        uint8_t resolution;
        std::vector<CalendarTime> expected;
    };
    const Case cases[] = {
        {"day", kDay, {{2008, 3, 15}, {2008, 3, 14}, {2008, 3, 13}}},
        {"month", kMonth, {{2008, 3, 1}, {2008, 2, 1}, {2008, 1, 1}}},
        {"year", kYear, {{2008, 1, 1}, {2007, 1, 1}, {2006, 1, 1}}},
    };
    for (const Case& c : cases) {
        HistoryWalk walk(8, c.resolution, 3);
        std::vector<Sample> samples;
        std::string error;
        // 15 March 2008 with a time of day the day, month and year samples must not keep.
        ASSERT_TRUE(walk.take_reply(
            history_reply({8, c.resolution, 216, 3, 15, 6, 11, 40, 1, 0, 2, 0, 3, 0}), &samples,
            &error))
            << c.name << ": " << error;
        ASSERT_EQ(samples.size(), 3u) << c.name;
        for (size_t i = 0; i < samples.size(); ++i) {
            EXPECT_EQ(samples[i].time, c.expected[i]) << c.name << " sample " << i;
            EXPECT_EQ(samples[i].raw, i + 1) << c.name;
        }
        EXPECT_TRUE(walk.done()) << c.name;
    }
}

TEST(HistoryWalk, DayRequestsAskForTheRestUpToTen) {
    HistoryWalk walk(128, kDay, 25);
    std::vector<Sample> samples;
    std::string error;
    CanMessage request{};
    ASSERT_TRUE(
        walk.take_reply(history_reply({128, 71, 234, 6, 21, 7, 0, 0, 9, 0}), &samples, &error));
    ASSERT_TRUE(walk.next_request(&request, &error));
    EXPECT_EQ(request_data(request), (std::vector<uint8_t>{128, 71, 26, 6, 20, 6, 0, 0, 10}));

    std::initializer_list<uint8_t> ten_days = {128, 71, 234, 6, 20, 6, 0, 0, 1, 0, 1, 0, 1, 0,
                                               1,   0,  1,   0, 1,  0, 1, 0, 1, 0, 1, 0, 1, 0};
    ASSERT_TRUE(walk.take_reply(history_reply(ten_days), &samples, &error)) << error;
    EXPECT_EQ(samples.size(), 11u);
    ASSERT_TRUE(walk.next_request(&request, &error));
    EXPECT_EQ(request_data(request), (std::vector<uint8_t>{128, 71, 26, 6, 10, 3, 0, 0, 10}));
}

TEST(HistoryWalk, TakesOnlyTheSamplesStillWanted) {
    HistoryWalk walk(12, kDay, 2);
    std::vector<Sample> samples;
    std::string error;
    ASSERT_TRUE(
        walk.take_reply(history_reply({12, 71 | 0x80, 234, 6, 21, 7, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0}),
                        &samples, &error))
        << error;
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_TRUE(samples[0].times_four);
    EXPECT_EQ(format_value(samples[1], kDay), "4.0 Wh");
    EXPECT_TRUE(walk.done());
}

TEST(HistoryWalk, OddLengthIgnoresTheHalfSample) {
    HistoryWalk walk(4, kDay, 5);
    std::vector<Sample> samples;
    std::string error;
    ASSERT_TRUE(
        walk.take_reply(history_reply({4, 71, 234, 6, 21, 7, 0, 0, 5, 0, 9}), &samples, &error));
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].raw, 5);
}

TEST(HistoryWalk, RefusesRepliesItCannotUse) {
    struct Case {
        const char* name;
        CanMessage reply;
        const char* error_part;
    };
    CanMessage refused = history_reply({4, 71, 234, 6, 21, 7, 0, 0, 1, 0});
    refused.Header[2] = 2;
    CanMessage other_object = history_reply({4, 71, 234, 6, 21, 7, 0, 0, 1, 0});
    other_object.Header[1] = 0x42;
    const Case cases[] = {
        {"action unknown", refused, "action 2"},
        {"other object", other_object, "object 66"},
        {"no samples", history_reply({4, 71, 234, 6, 21, 7, 0, 0}), "no samples"},
        {"half a sample", history_reply({4, 71, 234, 6, 21, 7, 0, 0, 1}), "no samples"},
        {"other module", history_reply({8, 71, 234, 6, 21, 7, 0, 0, 1, 0}), "module 8"},
        {"other resolution", history_reply({4, 106, 234, 6, 21, 7, 0, 0, 1, 0}), "resolution"},
        {"month zero", history_reply({4, 71, 234, 0, 21, 7, 0, 0, 1, 0}), "impossible date"},
        {"day 31 of June", history_reply({4, 71, 234, 6, 31, 7, 0, 0, 1, 0}), "impossible date"},
        {"hour 24", history_reply({4, 71, 234, 6, 21, 7, 24, 0, 1, 0}), "impossible date"},
    };
    for (const Case& c : cases) {
        HistoryWalk walk(4, kDay, 5);
        std::vector<Sample> samples;
        std::string error;
        EXPECT_FALSE(walk.take_reply(c.reply, &samples, &error)) << c.name;
        EXPECT_NE(error.find(c.error_part), std::string::npos) << c.name << ": " << error;
        EXPECT_TRUE(samples.empty()) << c.name;
    }
}

TEST(HistoryWalk, RefusesToAskBeforeTheYear2000) {
    HistoryWalk walk(128, kYear, 5);
    std::vector<Sample> samples;
    std::string error;
    CanMessage request{};
    // 2000 is byte 208 in the reply.
    ASSERT_TRUE(
        walk.take_reply(history_reply({128, 125, 209, 1, 1, 1, 0, 0, 1, 0}), &samples, &error));
    ASSERT_TRUE(walk.next_request(&request, &error)) << error;
    EXPECT_EQ(request.Data[2], 0);
    ASSERT_TRUE(
        walk.take_reply(history_reply({128, 125, 208, 1, 1, 6, 0, 0, 1, 0}), &samples, &error));
    EXPECT_FALSE(walk.next_request(&request, &error));
    EXPECT_NE(error.find("2000"), std::string::npos) << error;
}

}  // namespace
}  // namespace kestctl

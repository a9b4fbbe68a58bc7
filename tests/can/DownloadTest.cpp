// Whole downloads from kestemu through the real link: every sample the box's model holds for the
// period arrives once, in order, with its module, resolution, time and value.
#include "ChannelHarness.h"

namespace cantest {
namespace {

struct DownloadCase {
    const char* name;
    uint8_t resolution;
    int blocks;  // per module, for a PC date of 20 June 2024
    QDateTime newest;
};

QDateTime StepBack(const QDateTime& newest, uint8_t resolution, int periods) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return newest.addSecs(-600 * qint64(periods));
        case Res_Day:
            return newest.addDays(-periods);
        case Res_Month:
            return newest.addMonths(-periods);
        default:
            return newest.addYears(-periods);
    }
}

kestemu::CivilTime Civil(const QDateTime& t) {
    return {t.date().year(), t.date().month(),  t.date().day(),
            t.time().hour(), t.time().minute(), 0};
}

// What the box sends for one period: its model's value, a quarter of it when the block
// counts fours, 65535 when it has none.
int32_t Expected(const kestemu::Emulator& box, uint8_t module, uint8_t resolution,
                 const QDateTime& period, bool fours) {
    const auto value = box.model().yield(module, resolution, Civil(period), box.now());
    if (!value) {
        return 65535;
    }
    return int32_t(fours ? std::min<uint32_t>((*value + 2) / 4, 65534)
                         : std::min<uint32_t>(*value, 65534));
}

void PrintTo(const DownloadCase& c, std::ostream* out) {
    *out << c.name;
}

class Download : public BoxChannelTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(Download, HandsOverExactlyTheBoxsSamples) {
    const DownloadCase& c = GetParam();
    auto channel = OpenChannel(0);
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    channel->StartHistory(true, true, true, true, c.resolution, QDate(2024, 6, 20));
    EXPECT_EQ(channel->BlocksPerModule, c.blocks);
    ASSERT_TRUE(WaitFor([&] { return !channel->Downloading; }, 120s));
    EXPECT_FALSE(channel->HistoryPending);
    EXPECT_FALSE(channel->LinkError);
    EXPECT_EQ(channel->BlocksRequested, 4 * (c.blocks - 1));
    EXPECT_EQ(channel->BlocksExpected, 4 * c.blocks);

    ASSERT_EQ(samples.size(), size_t(4 * c.blocks));
    const uint8_t modules[] = {128, 4, 8, 12};
    int withValue = 0;
    bool sawFours = false;
    for (int m = 0; m < 4; ++m) {
        for (int i = 0; i < c.blocks; ++i) {
            const Sample& s = samples[size_t(m * c.blocks + i)];
            const QDateTime period = StepBack(c.newest, c.resolution, i);
            const std::string where =
                std::to_string(modules[m]) + " " + period.toString(Qt::ISODate).toStdString();
            ASSERT_EQ(s.module, modules[m]) << where;
            ASSERT_EQ(s.resolution & 0x7F, c.resolution) << where;
            ASSERT_EQ(s.time, period) << where;
            const bool fours = (s.resolution & 0x80) != 0;
            sawFours = sawFours || fours;
            ASSERT_EQ(s.value, Expected(*Box, modules[m], c.resolution, period, fours)) << where;
            withValue += s.value != 65535 ? 1 : 0;
        }
    }
    // Months and years reach back beyond the installation date (15 March 2021), which have no
    // value; every download has some.
    EXPECT_GT(withValue, 0);
    if (c.resolution == Res_Ten_Minutes) {
        EXPECT_TRUE(sawFours) << "a sunny June slot of the box total exceeds 16 bits";
    }
}

INSTANTIATE_TEST_SUITE_P(AllResolutions, Download,
                         ::testing::Values(DownloadCase{"TenMinutes", Res_Ten_Minutes, 1008,
                                                        At(2024, 6, 20, 23, 0)},
                                           DownloadCase{"Days", Res_Day, 366, At(2024, 6, 20)},
                                           DownloadCase{"Months", Res_Month, 246, At(2024, 6, 1)},
                                           DownloadCase{"Years", Res_Year, 21, At(2024, 1, 1)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoxChannelTest, CancelDuringADownloadStopsIt) {
    auto channel = OpenChannel(0);
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    channel->StartHistory(true, true, true, true, Res_Day, QDate(2024, 6, 20));
    ASSERT_TRUE(WaitFor([&] { return samples.size() >= 20; }));
    channel->CancelHistory();
    const int frames = CanFramesReceived();
    RunEvents(50ms);
    EXPECT_FALSE(channel->Downloading);
    EXPECT_FALSE(channel->HistoryPending);
    // At most the request already on its way is answered after the cancel.
    EXPECT_LE(CanFramesReceived(), frames + 1);
    EXPECT_LT(samples.size(), 4u * 366);
}

TEST_F(BoxChannelTest, ARestartedDownloadIgnoresTheRepliesOfTheOldOne) {
    auto channel = OpenChannel(0);
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    channel->StartHistory(true, true, true, true, Res_Day, QDate(2024, 6, 20));
    ASSERT_TRUE(WaitFor([&] { return samples.size() >= 5; }));
    channel->StartHistory(false, false, true, false, Res_Year, QDate(2024, 6, 20));
    const size_t before = samples.size();
    ASSERT_TRUE(WaitFor([&] { return !channel->Downloading; }, 60s));
    // Only year samples of inverter B follow, each once, newest first.
    ASSERT_EQ(samples.size() - before, 21u);
    for (size_t i = before; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].module, 8);
        EXPECT_EQ(samples[i].resolution & 0x7F, Res_Year);
        EXPECT_EQ(samples[i].time, At(2024 - int(i - before), 1, 1));
    }
    EXPECT_EQ(channel->BlocksRequested, 20);
}

// A download of chosen ranges: the box's first reply places them, so a range older than the box
// holds is left out and one that reaches past it is cut, and progress counts what is asked.
TEST_F(BoxChannelTest, RangesAreCutToTheBoxsHistoryAndProgressEndsAtAHundred) {
    auto channel = OpenChannel(0);
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    channel->StartHistoryRanges(Res_Day, {{Addr_Inverter_A,
                                           {{QDateTime(), At(2024, 6, 18)},
                                            {At(2024, 6, 10), At(2024, 6, 8)},
                                            {At(2023, 7, 1), At(2023, 6, 1)},
                                            {At(2023, 1, 5), At(2022, 12, 1)}}},
                                          {Module_Total, {{QDateTime(), At(2024, 6, 20)}}}});
    ASSERT_TRUE(WaitFor([&] { return !channel->Downloading; }, 30s));
    std::vector<QDateTime> expected = {At(2024, 6, 20), At(2024, 6, 19), At(2024, 6, 18),
                                       At(2024, 6, 10), At(2024, 6, 9),  At(2024, 6, 8)};
    // The box holds 366 days back from 20 June 2024: from 21 June 2023 on.
    for (QDate day(2023, 7, 1); day >= QDate(2023, 6, 21); day = day.addDays(-1)) {
        expected.push_back(QDateTime(day, QTime(0, 0), Qt::UTC));
    }
    expected.push_back(At(2024, 6, 20));
    ASSERT_EQ(samples.size(), expected.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].time, expected[i]) << i;
        EXPECT_EQ(samples[i].module, i + 1 < samples.size() ? Addr_Inverter_A : Module_Total);
    }
    EXPECT_EQ(channel->BlocksRequested, int32_t(expected.size()));
    EXPECT_EQ(channel->BlocksExpected, channel->BlocksRequested);
    EXPECT_FALSE(channel->HistoryPending);
}

TEST_F(BoxChannelTest, ATenMinuteRangeStopsAtMidnightAndCountsTheBoxsWeekdays) {
    auto channel = OpenChannel(0);
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    Box->clear_received();
    channel->StartHistoryRanges(Res_Ten_Minutes,
                                {{Addr_Inverter_B,
                                  {{QDateTime(), At(2024, 6, 20, 23, 0)},
                                   {At(2024, 6, 19, 0, 20), At(2024, 6, 18, 23, 40)}}}});
    ASSERT_TRUE(WaitFor([&] { return !channel->Downloading; }, 30s));
    ASSERT_EQ(samples.size(), 6u);
    EXPECT_EQ(samples[1].time, At(2024, 6, 19, 0, 20));
    EXPECT_EQ(samples[5].time, At(2024, 6, 18, 23, 40));
    // Bytes 2..8 of each request: year, month, day, weekday, hour, minute, count.
    std::vector<std::vector<int>> asked;
    for (const kestemu::HistoryRequest& r : Box->history_requests()) {
        const kestemu::CivilTime& t = r.time;
        asked.push_back(r.timed ? std::vector<int>{t.year - 2000, t.month, t.day, r.weekday, t.hour,
                                                   t.minute, r.count}
                                : std::vector<int>{0, 0, 0, r.weekday, 0, 0, r.count});
    }
    // 19 June 2024 is the box's Wednesday (3), as its first reply counted from the 20th.
    const std::vector<std::vector<int>> expected = {
        {0, 0, 0, 0, 0, 0, 1}, {24, 6, 19, 3, 0, 20, 3}, {24, 6, 18, 2, 23, 50, 2}};
    EXPECT_EQ(asked, expected);
    EXPECT_EQ(channel->BlocksExpected, 6);
    EXPECT_EQ(channel->BlocksRequested, 6);
}

}  // namespace
}  // namespace cantest

// The history download's arithmetic: block counts, request bytes, and the next time a request
// asks for. The channels here have no worker, so nothing is sent.
#include "ChannelHarness.h"

namespace cantest {
namespace {

std::vector<uint8_t> Bytes(const CanMessage& m) {
    return {m.Data, m.Data + m.Length};
}

// A confirmed history reply's first eight data bytes: module, resolution, then the newest
// sample's date (year - 1792), weekday and time.
std::vector<uint8_t> ReplyBase(uint8_t module, uint8_t resolution, int year, int month, int day,
                               int weekday, int hour = 0, int minute = 0) {
    std::vector<uint8_t> data(32, 0);
    const uint8_t head[] = {module,       resolution,       uint8_t(year - 1792), uint8_t(month),
                            uint8_t(day), uint8_t(weekday), uint8_t(hour),        uint8_t(minute)};
    std::copy(std::begin(head), std::end(head), data.begin());
    return data;
}

TEST(HistoryCalendar, BlocksPerModuleFollowTheResolutionAndThePcDate) {
    const struct {
        uint8_t resolution;
        QDate today;
        int blocks;
    } cases[] = {
        {Res_Ten_Minutes, QDate(2008, 5, 14), 1008},
        {Res_Day, QDate(2008, 5, 14), 366},
        {Res_Month, QDate(2008, 5, 14), 53},
        {Res_Month, QDate(2004, 1, 31), 1},
        {Res_Month, QDate(2026, 12, 9), 276},
        {Res_Year, QDate(2008, 5, 14), 5},
        {Res_Year, QDate(2004, 1, 1), 1},
        {Res_Year, QDate(2028, 1, 1), 25},
        {Res_Year, QDate(2040, 7, 1), 25},
    };
    for (const auto& c : cases) {
        auto channel = StoppedChannel();
        channel->StartHistory(true, false, true, false, c.resolution, c.today);
        const QString label = QString("res %1 on %2").arg(c.resolution).arg(c.today.toString());
        EXPECT_EQ(channel->BlocksPerModule, c.blocks) << label.toStdString();
        EXPECT_EQ(channel->BlocksExpected, 2 * c.blocks) << label.toStdString();
        EXPECT_EQ(channel->FirstCount, std::min(10, c.blocks)) << label.toStdString();
        EXPECT_EQ(channel->ModuleCount, 2);
        EXPECT_EQ(channel->ModuleList[0], 128);
        EXPECT_EQ(channel->ModuleList[1], 8);
        EXPECT_EQ(channel->BlocksRequested, 0);
        EXPECT_TRUE(channel->Downloading);
        EXPECT_TRUE(channel->HistoryPending);
    }
}

TEST(HistoryCalendar, NoModuleStartsNoDownload) {
    auto channel = StoppedChannel();
    channel->StartHistory(false, false, false, false, Res_Ten_Minutes, QDate(2008, 5, 14));
    EXPECT_EQ(channel->ModuleCount, 0);
    EXPECT_FALSE(channel->Downloading);
    EXPECT_FALSE(channel->HistoryPending);
}

TEST(HistoryCalendar, TenMinuteDownloadOfInverterAInMay2008) {
    auto channel = StoppedChannel();
    channel->StartHistory(false, true, false, false, Res_Ten_Minutes, QDate(2008, 5, 14));
    EXPECT_EQ(Bytes(channel->HistoryRequest), (std::vector<uint8_t>{4, 36, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(channel->HistoryRequest.Header[Hdr_Address], 0);
    EXPECT_EQ(channel->HistoryRequest.Header[Hdr_Object], 0x41);
    EXPECT_EQ(channel->HistoryRequest.Header[Hdr_Action], 7);
    EXPECT_EQ(channel->HistoryRequest.Header[Hdr_AuthLevel], 2);
    EXPECT_EQ(channel->LastCount, 1);
    EXPECT_EQ(channel->BlocksDone, 1);

    channel->NoteHistoryReply(ReplyBase(4, 36, 2008, 5, 14, 3, 13, 40).data());
    EXPECT_EQ(channel->NextTime, At(2008, 5, 14, 13, 30));
    EXPECT_EQ(channel->NextWeekday, 3);

    channel->ContinueHistory();
    EXPECT_EQ(Bytes(channel->HistoryRequest),
              (std::vector<uint8_t>{4, 36, 8, 5, 14, 3, 13, 30, 10}));
    EXPECT_EQ(channel->BlocksDone, 11);
    EXPECT_EQ(channel->BlocksRequested, 10);

    channel->NoteHistoryReply(ReplyBase(4, 36, 2008, 5, 14, 3, 13, 30).data());
    EXPECT_EQ(channel->NextTime, At(2008, 5, 14, 11, 50));
}

TEST(HistoryCalendar, ABlockAtTwentyPastMidnightEndsThatDay) {
    auto channel = StoppedChannel();
    channel->DownloadResolution = Res_Ten_Minutes;
    EXPECT_EQ(channel->RequestHistoryBlock(4, 1, At(2008, 5, 12, 0, 20), 10), 3);
    EXPECT_EQ(Bytes(channel->HistoryRequest), (std::vector<uint8_t>{4, 36, 8, 5, 12, 1, 0, 20, 3}));

    channel->LastCount = 3;
    channel->NoteHistoryReply(ReplyBase(4, 36, 2008, 5, 12, 1, 0, 20).data());
    EXPECT_EQ(channel->NextTime, At(2008, 5, 11, 23, 50));
    EXPECT_EQ(channel->NextWeekday, 7);

    // The same step within one day keeps the weekday.
    channel->LastCount = 2;
    channel->NoteHistoryReply(ReplyBase(4, 36, 2008, 5, 12, 1, 0, 20).data());
    EXPECT_EQ(channel->NextTime, At(2008, 5, 12, 0, 0));
    EXPECT_EQ(channel->NextWeekday, 1);
}

TEST(HistoryCalendar, RequestTimesRoundToTheNearestTenMinutesWithTiesToEven) {
    const struct {
        int hour, minute;
        uint8_t count;
        uint8_t sentMinute, asked;
    } cases[] = {
        {13, 30, 10, 30, 10}, {13, 34, 10, 30, 10}, {13, 36, 10, 40, 10}, {13, 5, 10, 0, 10},
        {13, 15, 10, 20, 10}, {13, 25, 10, 20, 10}, {13, 35, 10, 40, 10}, {0, 0, 10, 0, 1},
        {0, 10, 10, 10, 2},   {0, 15, 10, 20, 3},   {1, 0, 4, 0, 4},      {23, 50, 10, 50, 10},
    };
    auto channel = StoppedChannel();
    channel->DownloadResolution = Res_Ten_Minutes;
    for (const auto& c : cases) {
        const uint8_t asked =
            channel->RequestHistoryBlock(128, 5, At(2010, 2, 3, c.hour, c.minute), c.count);
        EXPECT_EQ(asked, c.asked) << c.hour << ":" << c.minute;
        EXPECT_EQ(channel->HistoryRequest.Data[7], c.sentMinute) << c.hour << ":" << c.minute;
        EXPECT_EQ(channel->HistoryRequest.Data[8], c.asked);
    }
}

TEST(HistoryCalendar, DayMonthAndYearRequestsAskForOneSampleAtMidnight) {
    auto channel = StoppedChannel();
    for (uint8_t resolution : {Res_Day, Res_Month, Res_Year}) {
        channel->DownloadResolution = resolution;
        EXPECT_EQ(channel->RequestHistoryBlock(12, 6, At(2031, 12, 31), 10), 1);
        EXPECT_EQ(Bytes(channel->HistoryRequest),
                  (std::vector<uint8_t>{12, resolution, 31, 12, 31, 6, 0, 0, 1}));
    }
}

TEST(HistoryCalendar, NextTimeStepsBackInDaysMonthsAndYears) {
    const struct {
        uint8_t resolution;
        int lastCount;
        QDateTime next;
    } cases[] = {
        {Res_Day, 1, At(2008, 2, 29)},  {Res_Day, 15, At(2008, 2, 15)},
        {Res_Month, 1, At(2008, 2, 1)}, {Res_Month, 3, At(2007, 12, 1)},
        {Res_Year, 1, At(2007, 1, 1)},  {Res_Year, 4, At(2004, 1, 1)},
    };
    for (const auto& c : cases) {
        auto channel = StoppedChannel();
        channel->DownloadResolution = c.resolution;
        channel->LastCount = uint8_t(c.lastCount);
        // Reply dated 1 March 2008 (15 March for the month and year cases), box weekday 6.
        const int day = c.resolution == Res_Day ? 1 : 15;
        channel->NoteHistoryReply(ReplyBase(128, c.resolution, 2008, 3, day, 6).data());
        EXPECT_EQ(channel->NextTime, c.next) << int(c.resolution) << " x" << c.lastCount;
        EXPECT_EQ(channel->NextWeekday, 6);
    }
}

TEST(HistoryCalendar, AnImpossibleReplyDateRaises) {
    auto channel = StoppedChannel();
    for (uint8_t resolution : {Res_Ten_Minutes, Res_Day, Res_Month}) {
        channel->DownloadResolution = resolution;
        // Month 0 is no date; a year download reads only the year.
        EXPECT_THROW(channel->NoteHistoryReply(ReplyBase(4, resolution, 2008, 0, 3, 1).data()),
                     TConversionError)
            << int(resolution);
    }
    channel->DownloadResolution = Res_Ten_Minutes;
    EXPECT_THROW(channel->NoteHistoryReply(ReplyBase(4, 36, 2008, 2, 30, 1, 10, 0).data()),
                 TConversionError);
    EXPECT_THROW(channel->NoteHistoryReply(ReplyBase(4, 36, 2008, 2, 3, 1, 24, 0).data()),
                 TConversionError);
    channel->DownloadResolution = Res_Month;  // a month download does not look at the day
    EXPECT_NO_THROW(channel->NoteHistoryReply(ReplyBase(4, 106, 2008, 2, 31, 1).data()));
    channel->DownloadResolution = Res_Year;
    EXPECT_NO_THROW(channel->NoteHistoryReply(ReplyBase(4, 125, 2008, 0, 0, 1).data()));
}

// Drives a whole download by hand: each reply names the time the request asked for.
TEST(HistoryCalendar, AYearDownloadOfTwoModulesRunsModuleAfterModule) {
    auto channel = StoppedChannel();
    channel->StartHistory(true, false, false, true, Res_Year, QDate(2008, 5, 14));
    std::vector<std::vector<uint8_t>> requests{Bytes(channel->HistoryRequest)};
    int year = 2008;
    while (channel->Downloading) {
        const uint8_t module = channel->HistoryRequest.Data[0];
        if (channel->HistoryRequest.Data[2] != 0) {
            year = channel->HistoryRequest.Data[2] + 2000;
        } else {
            year = 2008;
        }
        channel->NoteHistoryReply(ReplyBase(module, 125, year, 1, 1, 2).data());
        channel->ContinueHistory();
        if (channel->Downloading) {
            requests.push_back(Bytes(channel->HistoryRequest));
        }
        ASSERT_LT(requests.size(), 20u);
    }
    const std::vector<std::vector<uint8_t>> expected = {
        {128, 125, 0, 0, 0, 0, 0, 0, 1}, {128, 125, 7, 1, 1, 2, 0, 0, 1},
        {128, 125, 6, 1, 1, 2, 0, 0, 1}, {128, 125, 5, 1, 1, 2, 0, 0, 1},
        {128, 125, 4, 1, 1, 2, 0, 0, 1}, {12, 125, 0, 0, 0, 0, 0, 0, 1},
        {12, 125, 7, 1, 1, 2, 0, 0, 1},  {12, 125, 6, 1, 1, 2, 0, 0, 1},
        {12, 125, 5, 1, 1, 2, 0, 0, 1},  {12, 125, 4, 1, 1, 2, 0, 0, 1},
    };
    EXPECT_EQ(requests, expected);
    EXPECT_EQ(channel->BlocksRequested, 2 * (5 - 1));
    EXPECT_EQ(channel->BlocksExpected, 10);
}

TEST(HistoryCalendar, CancelLeavesNothingToContinue) {
    auto channel = StoppedChannel();
    channel->StartHistory(true, true, true, true, Res_Ten_Minutes, QDate(2008, 5, 14));
    channel->CancelHistory();
    EXPECT_FALSE(channel->Downloading);
    EXPECT_FALSE(channel->HistoryPending);
    // The reply to the request already on its way ends it.
    channel->NoteHistoryReply(ReplyBase(128, 36, 2008, 5, 14, 3, 13, 40).data());
    channel->ContinueHistory();
    EXPECT_FALSE(channel->Downloading);
    EXPECT_FALSE(channel->HistoryPending);
}

}  // namespace
}  // namespace cantest

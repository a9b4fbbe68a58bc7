// What a reply changes: the clock gate, the live power and the history samples.
#include "ChannelHarness.h"

namespace cantest {
namespace {

std::array<uint8_t, 32> Data(std::initializer_list<uint8_t> bytes) {
    std::array<uint8_t, 32> data{};
    std::copy(bytes.begin(), bytes.end(), data.begin());
    return data;
}

TEST(DecodeReply, PowerRepliesSetTheirInverterAndTheTotal) {
    auto channel = StoppedChannel();
    channel->DecodeReply(4, 0x31, true, Data({0, 0, 0x10, 0x27}).data(), 4);
    channel->DecodeReply(8, 0x31, true, Data({0x00, 0x00, 0x34, 0x12}).data(), 4);
    channel->DecodeReply(12, 0x31, true, Data({9, 9, 0xE8, 0x03}).data(), 4);
    EXPECT_EQ(channel->PowerA, 10000);
    EXPECT_EQ(channel->PowerB, 0x1234);
    EXPECT_EQ(channel->PowerC, 1000);
    EXPECT_EQ(channel->PowerTotal, 10000u + 0x1234 + 1000);

    // A time-out of B drops it to 0 and lowers the total.
    channel->DecodeReply(8, 0x31, false, Data({0, 0, 0x34, 0x12}).data(), 0);
    EXPECT_EQ(channel->PowerB, 0);
    EXPECT_EQ(channel->PowerTotal, 11000u);
}

TEST(DecodeReply, TheTotalOfThreeFullInvertersDoesNotWrap) {
    auto channel = StoppedChannel();
    for (uint8_t address : {4, 8, 12}) {
        channel->DecodeReply(address, 0x31, true, Data({0, 0, 0x50, 0xC3}).data(), 4);  // 5000 W
    }
    EXPECT_EQ(channel->PowerTotal, 3u * 50000);
}

TEST(DecodeReply, OtherAddressObjectPairsChangeNothing) {
    auto channel = StoppedChannel();
    channel->DecodeReply(4, 0x31, true, Data({0, 0, 0x10, 0x27}).data(), 4);
    const struct {
        uint8_t address, object;
    } pairs[] = {{0, 0x31}, {5, 0x31}, {16, 0x31}, {4, 0x20}, {4, 0x41}, {8, 0x30}, {0, 0x42}};
    for (const auto& p : pairs) {
        channel->DecodeReply(p.address, p.object, false, Data({}).data(), 0);
        channel->DecodeReply(p.address, p.object, true, Data({0, 0, 1, 1}).data(), 4);
    }
    EXPECT_EQ(channel->PowerA, 10000);
    EXPECT_EQ(channel->PowerTotal, 10000u);
    EXPECT_FALSE(channel->MonitorClockValid);
}

TEST(DecodeReply, TheClockReplyOpensAndClosesTheGate) {
    auto channel = StoppedChannel();
    channel->DecodeReply(0, 0x20, true, Data({}).data(), 9);
    EXPECT_TRUE(channel->MonitorClockValid);
    channel->DecodeReply(0, 0x20, false, Data({}).data(), 0);
    EXPECT_FALSE(channel->MonitorClockValid);
}

TEST(DecodeReply, HistoryWorkedExampleHandsOverTwoSamplesNewestFirst) {
    auto channel = StoppedChannel(17);
    std::vector<Sample> samples;
    int32_t kestSeen = 0;
    channel->OnSample = [&](TCANMessages* c) {
        kestSeen = c->KestId();
        samples.push_back({c->SampleModule, c->SampleResolution, c->SampleTime, c->SampleValue});
    };
    channel->DownloadResolution = Res_Ten_Minutes;
    channel->DecodeReply(0, 0x41, true,
                         Data({4, 36, 216, 5, 14, 3, 13, 30, 0x10, 0x27, 0xFF, 0xFF}).data(), 12);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(kestSeen, 17);
    EXPECT_EQ(samples[0].module, 4);
    EXPECT_EQ(samples[0].resolution, Res_Ten_Minutes);
    EXPECT_EQ(samples[0].time, At(2008, 5, 14, 13, 30));
    EXPECT_EQ(samples[0].value, 10000);
    EXPECT_EQ(samples[1].time, At(2008, 5, 14, 13, 20));
    EXPECT_EQ(samples[1].value, 65535);
}

TEST(DecodeReply, SampleTimesFollowTheDownloadResolutionNotTheReplyByte) {
    const struct {
        uint8_t resolution;
        std::vector<QDateTime> times;
    } cases[] = {
        {Res_Ten_Minutes, {At(2008, 3, 1, 0, 10), At(2008, 3, 1, 0, 0), At(2008, 2, 29, 23, 50)}},
        {Res_Day, {At(2008, 3, 1), At(2008, 2, 29), At(2008, 2, 28)}},
        {Res_Month, {At(2008, 3, 1), At(2008, 2, 1), At(2008, 1, 1)}},
        {Res_Year, {At(2008, 1, 1), At(2007, 1, 1), At(2006, 1, 1)}},
    };
    for (const auto& c : cases) {
        auto channel = StoppedChannel();
        std::vector<Sample> samples;
        RecordSamples(*channel, samples);
        channel->DownloadResolution = c.resolution;
        // Dated 1 March 2008 00:10 (15 March for month and year); the reply's resolution byte
        // claims something else and carries the times-four flag.
        const uint8_t day = c.resolution >= Res_Month ? 15 : 1;
        channel->DecodeReply(0, 0x41, true,
                             Data({128, 0xC7, 216, 3, day, 6, 0, 10, 1, 0, 2, 0, 3, 0}).data(), 14);
        ASSERT_EQ(samples.size(), 3u) << int(c.resolution);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(samples[i].time, c.times[i]) << int(c.resolution) << " sample " << i;
            EXPECT_EQ(samples[i].value, int(i + 1));
            EXPECT_EQ(samples[i].resolution, 0xC7);
            EXPECT_EQ(samples[i].module, 128);
        }
    }
}

TEST(DecodeReply, SampleCountComesFromTheLength) {
    const struct {
        uint8_t length;
        size_t samples;
    } cases[] = {{0, 0}, {8, 0}, {9, 0}, {10, 1}, {11, 1}, {31, 11}, {32, 12}};
    for (const auto& c : cases) {
        auto channel = StoppedChannel();
        std::vector<Sample> samples;
        RecordSamples(*channel, samples);
        channel->DownloadResolution = Res_Day;
        auto data = Data({4, 71, 216, 5, 14, 3, 0, 0});
        std::fill(data.begin() + 8, data.end(), 0x01);
        channel->DecodeReply(0, 0x41, true, data.data(), c.length);
        EXPECT_EQ(samples.size(), c.samples) << int(c.length);
    }
}

TEST(DecodeReply, ALengthBeyondTheRecordReadsOnlyItsThirtyTwoBytes) {
    // Exactly the record's bytes on the heap, so that a read past them is caught.
    const uint8_t lengths[] = {33, 34, 200, 255};
    for (uint8_t length : lengths) {
        auto channel = StoppedChannel();
        std::vector<Sample> samples;
        RecordSamples(*channel, samples);
        channel->DownloadResolution = Res_Day;
        auto data = std::make_unique<uint8_t[]>(32);
        const auto bytes = Data({4, 71, 216, 5, 14, 3, 0, 0});
        std::copy(bytes.begin(), bytes.end(), data.get());
        channel->DecodeReply(0, 0x41, true, data.get(), length);
        EXPECT_EQ(samples.size(), 12u) << int(length);
    }
}

TEST(DecodeReply, NotValidOrUnknownResolutionYieldsNoSamples) {
    auto channel = StoppedChannel();
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    const auto data = Data({4, 36, 216, 5, 14, 3, 13, 30, 1, 0});
    channel->DownloadResolution = Res_Ten_Minutes;
    channel->DecodeReply(0, 0x41, false, data.data(), 10);
    channel->DownloadResolution = 0;
    channel->DecodeReply(0, 0x41, true, data.data(), 10);
    channel->DownloadResolution = 37;
    channel->DecodeReply(0, 0x41, true, data.data(), 10);
    EXPECT_TRUE(samples.empty());
    // No receiver bound: the samples go nowhere, and nothing fails.
    channel->OnSample = nullptr;
    channel->DownloadResolution = Res_Ten_Minutes;
    EXPECT_NO_THROW(channel->DecodeReply(0, 0x41, true, data.data(), 10));
}

TEST(DecodeReply, AnImpossibleHistoryDateRaises) {
    auto channel = StoppedChannel();
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    channel->DownloadResolution = Res_Day;
    EXPECT_THROW(channel->DecodeReply(0, 0x41, true, Data({4, 71, 216, 0, 14, 3}).data(), 10),
                 TConversionError);
    EXPECT_THROW(channel->DecodeReply(0, 0x41, true, Data({4, 71, 216, 2, 30, 3}).data(), 10),
                 TConversionError);
    channel->DownloadResolution = Res_Ten_Minutes;
    EXPECT_THROW(
        channel->DecodeReply(0, 0x41, true, Data({4, 36, 216, 2, 3, 3, 13, 60}).data(), 10),
        TConversionError);
    EXPECT_TRUE(samples.empty());
}

}  // namespace
}  // namespace cantest

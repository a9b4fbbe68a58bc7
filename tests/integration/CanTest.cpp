// Plain CAN requests forwarded by the box: the monitor clock, the inverters' actual power, a
// module that is not fitted, an object nobody knows, and requests the library must refuse.
#include <cstring>
#include <set>

#include "Harness.h"

namespace integ {
namespace {

constexpr uint8_t kMonitor = 0;
constexpr uint8_t kObjectClock = 0x20;
constexpr uint8_t kObjectPower = 0x31;
constexpr uint8_t kActionRead = 8;
constexpr uint8_t kActionConfirm = 1;
constexpr uint8_t kActionUnknown = 2;

uint16_t make_word(uint8_t low, uint8_t high) {
    return static_cast<uint16_t>(high * 256 + low);
}

// Every power value the model gives between two moments, one second apart.
std::set<uint16_t> powers_between(const kestemu::YieldModel& model, uint8_t address,
                                  const kestemu::CivilTime& from, const kestemu::CivilTime& to) {
    std::set<uint16_t> values;
    const int64_t first = kestemu::to_minutes(from) * 60 + from.second;
    const int64_t last = kestemu::to_minutes(to) * 60 + to.second;
    for (int64_t s = first; s <= last; ++s) {
        kestemu::CivilTime t = kestemu::from_minutes(s / 60);
        t.second = static_cast<int>(s % 60);
        values.insert(model.power(address, t));
    }
    return values;
}

class CanTest : public BoxTest {
protected:
    void SetUp() override {
        BoxTest::SetUp();
        open_link(0);
    }
};

TEST_F(CanTest, MonitorAnswersItsClock) {
    const CanMessage request = can_message(kMonitor, kObjectClock, kActionRead, 0);
    CanMessage reply{};
    const kestemu::CivilTime before = emu->now();
    ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
    EXPECT_EQ(reply.Header[0], kMonitor);
    EXPECT_EQ(reply.Header[1], kObjectClock);
    EXPECT_EQ(reply.Header[2], kActionConfirm);
    EXPECT_LE(reply.Header[3], 3);
    ASSERT_EQ(reply.Length, 9);
    // This box's clock data: two bytes of panel configuration, then year (as byte + 1792),
    // month, day, weekday, hour, minute and second.
    const kestemu::CivilTime after = emu->now();
    const kestemu::CivilTime clock{reply.Data[2] + 1792, reply.Data[3], reply.Data[4],
                                   reply.Data[6],        reply.Data[7], reply.Data[8]};
    const int64_t got = kestemu::to_minutes(clock) * 60 + clock.second;
    EXPECT_GE(got, kestemu::to_minutes(before) * 60 + before.second) << describe(clock);
    EXPECT_LE(got, kestemu::to_minutes(after) * 60 + after.second) << describe(clock);
    EXPECT_EQ(reply.Data[5], kestemu::iso_weekday(clock));
}

TEST_F(CanTest, RequestFrameIsLaidOutByteForByte) {
    ASSERT_EQ(Pc2Lan_Keep_Alive(0), 0);
    const size_t mark = frame_mark();
    const CanMessage request = can_message(kMonitor, kObjectClock, kActionRead, 0);
    CanMessage reply{};
    ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
    const auto frames = frames_since(mark);
    ASSERT_EQ(frames.size(), 1u);
    const std::vector<uint8_t> expected = {0x10, 0x05, 0x03, 0x00, 0x20, 0x08, 0x00, 0x00, 0x40};
    EXPECT_EQ(frames[0].bytes, expected);
}

TEST_F(CanTest, EveryInverterAnswersItsActualPower) {
    for (uint8_t address : {4, 8, 12}) {
        SCOPED_TRACE(static_cast<int>(address));
        const CanMessage request = can_message(address, kObjectPower, kActionRead, 2);
        CanMessage reply;
        std::memset(&reply, 0xAA, sizeof reply);
        const kestemu::CivilTime before = emu->now();
        ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
        const kestemu::CivilTime after = emu->now();
        EXPECT_EQ(reply.Header[0], address);
        EXPECT_EQ(reply.Header[1], kObjectPower);
        EXPECT_EQ(reply.Header[2], kActionConfirm);
        ASSERT_GE(reply.Length, 4);
        ASSERT_LE(reply.Length, 32);
        const uint16_t power = make_word(reply.Data[2], reply.Data[3]);
        const auto expected = powers_between(emu->model(), address, before, after);
        EXPECT_TRUE(expected.count(power))
            << "power " << power << " between " << describe(before) << " and " << describe(after)
            << ", model says " << *expected.begin();
        EXPECT_GT(power, 0) << "midsummer noon must give power";
        for (int i = reply.Length; i < 32; ++i) {
            EXPECT_EQ(reply.Data[i], 0xAA) << "byte " << i << " beyond the reply's data";
        }
    }
}

TEST_F(CanTest, UnknownObjectIsAnsweredWithActionTwo) {
    struct Row {
        uint8_t address, object;
    };
    for (const Row row : {Row{4, 0x7E}, Row{kMonitor, 0x55}, Row{12, 0x20}}) {
        SCOPED_TRACE(testing::Message() << int(row.address) << "/" << int(row.object));
        const CanMessage request = can_message(row.address, row.object, kActionRead, 2);
        CanMessage reply{};
        ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
        EXPECT_EQ(reply.Header[0], row.address);
        EXPECT_EQ(reply.Header[1], row.object);
        EXPECT_EQ(reply.Header[2], kActionUnknown);
    }
}

TEST_F(CanTest, RequestDataReachesTheBoxUnchanged) {
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
    const CanMessage request = can_message(4, 0x7E, kActionRead, 2, data);
    CanMessage reply{};
    const size_t mark = frame_mark();
    ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
    const auto frames = frames_since(mark);
    ASSERT_EQ(frames.size(), 1u);
    const std::vector<uint8_t> payload = {4, 0x7E, 8, 2, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(frames[0].bytes[1], 13);
    EXPECT_EQ(frame_payload(frames[0]), payload);
}

TEST_F(CanTest, RequestsThatCannotBeFramedAreRefusedWithoutSending) {
    CanMessage too_long = can_message(4, kObjectPower, kActionRead, 2);
    too_long.Length = 33;
    CanMessage reply{};
    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Can_Request(0, &too_long, &reply), -10);
    too_long.Length = 255;
    EXPECT_EQ(Pc2Lan_Can_Request(0, &too_long, &reply), -10);
    EXPECT_EQ(Pc2Lan_Can_Request(0, nullptr, &reply), -10);
    EXPECT_TRUE(frames_since(mark).empty());

    const CanMessage fine = can_message(4, kObjectPower, kActionRead, 2);
    EXPECT_EQ(Pc2Lan_Can_Request(0, &fine, &reply), 0);
}

TEST_F(CanTest, FullLengthRequestIsCarried) {
    std::vector<uint8_t> data(32);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0xF0 - i);
    }
    const CanMessage request = can_message(8, 0x7E, kActionRead, 2, data);
    CanMessage reply{};
    const size_t mark = frame_mark();
    ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
    const auto frames = frames_since(mark);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].bytes.size(), 37u + 4u);
    EXPECT_EQ(frames[0].bytes[1], 37);
    EXPECT_EQ(reply.Header[2], kActionUnknown);
}

class MissingInverterTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override { c.inverters = "AB"; }
};

TEST_F(MissingInverterTest, InverterThatIsNotFittedTimesOut) {
    open_link(0);
    ASSERT_FALSE(emu->model().fitted(12));
    const CanMessage missing = can_message(12, kObjectPower, kActionRead, 2);
    CanMessage reply;
    std::memset(&reply, 0x5A, sizeof reply);
    EXPECT_EQ(Pc2Lan_Can_Request(0, &missing, &reply), -11);
    for (size_t i = 0; i < sizeof reply; ++i) {
        ASSERT_EQ(reinterpret_cast<const uint8_t*>(&reply)[i], 0x5A)
            << "a refused request leaves the reply record alone";
    }

    for (uint8_t address : {4, 8}) {
        const CanMessage fitted = can_message(address, kObjectPower, kActionRead, 2);
        EXPECT_EQ(Pc2Lan_Can_Request(0, &fitted, &reply), 0) << int(address);
        EXPECT_EQ(reply.Header[2], kActionConfirm);
    }
}

}  // namespace
}  // namespace integ

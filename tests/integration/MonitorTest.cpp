// The box's CAN monitor: its two state bytes, its record count, and the 16-byte records of the
// CAN traffic the box has just forwarded.
#include <array>
#include <memory>
#include <vector>

#include "Harness.h"

namespace integ {
namespace {

using Record = std::array<uint8_t, 16>;

// Record layout of this box: 4 bytes box milliseconds, direction (0 request, 1 reply), the four
// header bytes, the data length and the first six data bytes.
constexpr int kDirection = 4;
constexpr int kHeader = 5;
constexpr int kLength = 9;
constexpr int kData = 10;

uint32_t record_ms(const Record& r) {
    return static_cast<uint32_t>(r[0] | (r[1] << 8) | (r[2] << 16)) |
           (static_cast<uint32_t>(r[3]) << 24);
}

class MonitorTest : public BoxTest {
protected:
    void SetUp() override {
        BoxTest::SetUp();
        open_link(0);
    }

    // Reads up to count records into buffers of exactly 16 bytes each.
    std::vector<Record> read_records(int32_t count, int32_t* result) {
        std::vector<std::unique_ptr<uint8_t[]>> buffers;
        std::vector<uint8_t*> pointers;
        for (int32_t i = 0; i < count; ++i) {
            buffers.push_back(std::make_unique<uint8_t[]>(16));
            pointers.push_back(buffers.back().get());
        }
        *result = Pc2Lan_Can_Monitor_Request(0, pointers.data(), count, 0);
        std::vector<Record> out;
        for (int32_t i = 0; i < *result && i < count; ++i) {
            Record r;
            std::copy_n(buffers[i].get(), 16, r.begin());
            out.push_back(r);
        }
        return out;
    }

    int32_t record_count() {
        uint8_t first = 0, second = 0;
        int32_t count = -1;
        EXPECT_EQ(Pc2Lan_Can_Monitor_Get_State(0, &first, &second, &count), 0);
        return count;
    }

    void forward(uint8_t address, int32_t expected) {
        const CanMessage request = can_message(address, 0x31, 8, 2);
        CanMessage reply{};
        ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), expected) << int(address);
    }
};

TEST_F(MonitorTest, StateBytesAreSetAndRead) {
    struct Row {
        uint8_t first, second;
    };
    for (const Row row : {Row{1, 0}, Row{0, 7}, Row{0xFF, 0x80}, Row{1, 1}}) {
        SCOPED_TRACE(testing::Message() << int(row.first) << "/" << int(row.second));
        uint8_t first = row.first, second = row.second;
        EXPECT_EQ(Pc2Lan_Can_Monitor_Set_State(0, &first, &second), 0);
        EXPECT_EQ(first, row.first) << "the box answers the state it took";
        EXPECT_EQ(second, row.second);
        uint8_t got_first = 0x55, got_second = 0x55;
        int32_t count = -1;
        EXPECT_EQ(Pc2Lan_Can_Monitor_Get_State(0, &got_first, &got_second, &count), 0);
        EXPECT_EQ(got_first, row.first);
        EXPECT_EQ(got_second, row.second);
        EXPECT_GE(count, 0);
    }
    EXPECT_EQ(Pc2Lan_Can_Monitor_Get_State(0, nullptr, nullptr, nullptr), 0);
}

TEST_F(MonitorTest, RecordsDescribeTheTrafficJustForwarded) {
    ASSERT_EQ(record_count(), 0);
    const CanMessage sent = can_message(8, 0x31, 8, 2);
    CanMessage answer{};
    ASSERT_EQ(Pc2Lan_Can_Request(0, &sent, &answer), 0);
    ASSERT_EQ(answer.Length, 4);
    EXPECT_EQ(record_count(), 2);

    int32_t got = 0;
    const auto records = read_records(12, &got);
    ASSERT_EQ(got, 2);
    const Record& request = records[0];
    const Record& reply = records[1];
    EXPECT_EQ(request[kDirection], 0);
    EXPECT_EQ(request[kHeader + 0], 8);
    EXPECT_EQ(request[kHeader + 1], 0x31);
    EXPECT_EQ(request[kHeader + 2], 8);
    EXPECT_EQ(request[kHeader + 3], 2);
    EXPECT_EQ(request[kLength], 0);
    EXPECT_EQ(reply[kDirection], 1);
    EXPECT_EQ(reply[kHeader + 0], 8);
    EXPECT_EQ(reply[kHeader + 1], 0x31);
    EXPECT_EQ(reply[kHeader + 2], 1);
    EXPECT_EQ(reply[kLength], 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(reply[kData + i], answer.Data[i]) << "data byte " << i;
    }
    EXPECT_LE(record_ms(request), record_ms(reply));
    EXPECT_EQ(record_count(), 0) << "records that were read are gone";
}

TEST_F(MonitorTest, RequestStopsAtCountAndAtWhatTheBoxHas) {
    // Three answered requests make two records each, one for a module nobody answers makes one.
    forward(4, 0);
    forward(8, 0);
    forward(12, 0);
    forward(20, -11);
    ASSERT_EQ(record_count(), 7);

    const size_t mark = frame_mark();
    int32_t got = 0;
    auto records = read_records(3, &got);
    EXPECT_EQ(got, 3);
    EXPECT_EQ(record_count(), 4);

    records = read_records(12, &got);
    EXPECT_EQ(got, 4);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3][kHeader], 20);
    EXPECT_EQ(records[3][kDirection], 0) << "an unanswered request leaves no reply record";

    // Each exchange asks for at most five records.
    std::vector<uint16_t> wanted;
    for (const auto& f : frames_since(mark)) {
        if (frame_command(f) == 0xA2) {
            const auto p = frame_payload(f);
            wanted.push_back(static_cast<uint16_t>(p.at(0) | (p.at(1) << 8)));
        }
    }
    const std::vector<uint16_t> expected = {3, 5};
    EXPECT_EQ(wanted, expected);
}

TEST_F(MonitorTest, TwelveRecordsComeInThreeExchanges) {
    for (int i = 0; i < 6; ++i) {
        forward(static_cast<uint8_t>(4 * (1 + i % 3)), 0);
    }
    ASSERT_EQ(record_count(), 12);
    const size_t mark = frame_mark();
    int32_t got = 0;
    const auto records = read_records(12, &got);
    EXPECT_EQ(got, 12);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i][kDirection], i % 2) << "record " << i;
    }
    std::vector<uint16_t> wanted;
    for (const auto& f : frames_since(mark)) {
        const auto p = frame_payload(f);
        wanted.push_back(static_cast<uint16_t>(p.at(0) | (p.at(1) << 8)));
    }
    const std::vector<uint16_t> expected = {5, 5, 2};
    EXPECT_EQ(wanted, expected);
}

TEST_F(MonitorTest, NoCountNoExchange) {
    forward(4, 0);
    const size_t mark = frame_mark();
    for (int32_t count : {0, -1, -100}) {
        int32_t got = -1;
        read_records(count, &got);
        EXPECT_EQ(got, 0) << count;
    }
    EXPECT_TRUE(frames_since(mark).empty());
    EXPECT_EQ(record_count(), 2);
}

TEST_F(MonitorTest, FirstStateByteZeroStopsRecording) {
    uint8_t first = 0, second = 0;
    ASSERT_EQ(Pc2Lan_Can_Monitor_Set_State(0, &first, &second), 0);
    forward(4, 0);
    EXPECT_EQ(record_count(), 0);
    first = 1;
    ASSERT_EQ(Pc2Lan_Can_Monitor_Set_State(0, &first, &second), 0);
    forward(4, 0);
    EXPECT_EQ(record_count(), 2);
}

}  // namespace
}  // namespace integ

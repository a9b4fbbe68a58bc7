// CAN requests, the box information calls and the CAN monitor: what each takes from the reply,
// and what it leaves alone.
#include <gtest/gtest.h>

#include <cstring>

#include "LinkFixture.h"

namespace linktest {
namespace {

constexpr uint8_t kSentinel = 0xEE;

// A reply record with guard bytes on both sides, so that a copy past its end shows.
struct GuardedMessage {
    uint8_t before[8];
    CanMessage message;
    uint8_t after[64];

    GuardedMessage() {
        std::memset(before, kSentinel, sizeof before);
        std::memset(&message, kSentinel, sizeof message);
        std::memset(after, kSentinel, sizeof after);
    }
    bool guards_intact() const {
        for (uint8_t b : before) {
            if (b != kSentinel) {
                return false;
            }
        }
        for (uint8_t b : after) {
            if (b != kSentinel) {
                return false;
            }
        }
        return true;
    }
};

CanMessage message(const Bytes& header, const Bytes& data) {
    CanMessage m{};
    std::copy(header.begin(), header.end(), m.Header);
    m.Length = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), m.Data);
    return m;
}

Bytes counting(uint8_t first, size_t count) {
    Bytes bytes;
    for (size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>(first + i));
    }
    return bytes;
}

using CanTest = LinkTest;

TEST_F(CanTest, ReplyFillsHeaderLengthAndDataFromByte8) {
    connect();
    // Byte 7, the box's own copy of the data length, is not used.
    peer.push_ok(concat({{0x04, 0x31, 0x01, 0x02, 0x99}, counting(0x50, 8)}));
    CanMessage request = message({0x04, 0x31, 0x08, 0x02}, counting(1, 8));
    GuardedMessage reply;
    ASSERT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply.message), 0);
    EXPECT_EQ(hex(Bytes(reply.message.Header, reply.message.Header + 4)), "04 31 01 02");
    EXPECT_EQ(reply.message.Length, 8);
    EXPECT_EQ(hex(Bytes(reply.message.Data, reply.message.Data + 8)), hex(counting(0x50, 8)));
    for (int i = 8; i < 32; ++i) {
        EXPECT_EQ(reply.message.Data[i], kSentinel) << "data byte " << i << " beyond the reply";
    }
    EXPECT_TRUE(reply.guards_intact());
}

TEST_F(CanTest, ReplyWithLengthByte5HasNoData) {
    connect();
    peer.push_ok({0x00, 0x20, 0x01, 0x00, 0x00});
    CanMessage request = message({0x00, 0x20, 0x08, 0x00}, {});
    GuardedMessage reply;
    ASSERT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply.message), 0);
    EXPECT_EQ(hex(Bytes(reply.message.Header, reply.message.Header + 4)), "00 20 01 00");
    EXPECT_EQ(reply.message.Length, 0);
    EXPECT_EQ(reply.message.Data[0], kSentinel);
    EXPECT_TRUE(reply.guards_intact());
}

TEST_F(CanTest, ReplyShorterThanAHeaderFailsAndLeavesTheRecord) {
    connect();
    for (Bytes payload : {Bytes{}, Bytes{0x00, 0x20, 0x01, 0x00}}) {
        SCOPED_TRACE(payload.size());
        peer.push_ok(payload);
        CanMessage request = message({0x00, 0x20, 0x08, 0x00}, {});
        GuardedMessage reply;
        EXPECT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply.message), PC2LAN_FAILED);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&reply.message);
        for (size_t i = 0; i < sizeof(CanMessage); ++i) {
            EXPECT_EQ(bytes[i], kSentinel) << "record byte " << i;
        }
    }
    expect_still_connected();
}

TEST_F(CanTest, ThirtyTwoDataBytesFillTheRecord) {
    connect();
    CanMessage request = message({0x08, 0x41, 0x07, 0x02}, counting(0x80, 32));
    GuardedMessage reply;
    ASSERT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply.message), 0);
    EXPECT_EQ(reply.message.Length, 32);
    EXPECT_EQ(hex(Bytes(reply.message.Data, reply.message.Data + 32)), hex(counting(0x80, 32)));
    EXPECT_TRUE(reply.guards_intact());
}

TEST_F(CanTest, AReplyWithMoreThan32DataBytesIsCut) {
    connect();
    for (size_t data : {33u, 40u, 75u}) {
        SCOPED_TRACE(data);
        peer.push_ok(concat({{0x08, 0x41, 0x01, 0x02, 0x00}, counting(0x10, data)}));
        CanMessage request = message({0x08, 0x41, 0x07, 0x02}, {});
        GuardedMessage reply;
        ASSERT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply.message), 0);
        EXPECT_EQ(reply.message.Length, 32);
        EXPECT_EQ(hex(Bytes(reply.message.Data, reply.message.Data + 32)), hex(counting(0x10, 32)));
        EXPECT_TRUE(reply.guards_intact()) << "copied past the reply record";
    }
}

TEST_F(CanTest, RequestsThatCannotBeSentFailWithoutSending) {
    connect();
    size_t mark = peer.frame_count();
    CanMessage reply{};
    EXPECT_EQ(Pc2Lan_Can_Request(kLink, nullptr, &reply), PC2LAN_FAILED);
    for (int length : {33, 76, 200, 255}) {
        SCOPED_TRACE(length);
        CanMessage request = message({0x00, 0x20, 0x08, 0x00}, {});
        request.Length = static_cast<uint8_t>(length);
        EXPECT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply), PC2LAN_FAILED);
    }
    expect_nothing_sent_since(mark);
}

TEST_F(CanTest, RequestRecordIsNotChanged) {
    connect();
    peer.push_ok(concat({{0x04, 0x31, 0x01, 0x02, 0x02}, {0xAA, 0xBB}}));
    CanMessage request = message({0x04, 0x31, 0x08, 0x02}, {0x01, 0x02, 0x03});
    CanMessage copy = request;
    CanMessage reply{};
    ASSERT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply), 0);
    EXPECT_EQ(std::memcmp(&request, &copy, sizeof request), 0);
}

TEST_F(CanTest, VersionAsksForWhatIsWanted) {
    connect();
    peer.push_ok(le16(-2));
    peer.push_ok(le16(258));
    int32_t first = 0;
    int32_t second = 0;
    ASSERT_EQ(Pc2Lan_Get_Version(kLink, &first, &second), 0);
    EXPECT_EQ(first, -2) << "the answer to 0x80, signed";
    EXPECT_EQ(second, 258) << "the answer to 0x00";

    size_t mark = peer.frame_count();
    peer.push_ok(le16(-32768));
    first = 99;
    second = 0;
    ASSERT_EQ(Pc2Lan_Get_Version(kLink, nullptr, &second), 0);
    EXPECT_EQ(second, -32768);
    EXPECT_EQ(only_frame_since(mark).at(0), 0x00);

    mark = peer.frame_count();
    EXPECT_EQ(Pc2Lan_Get_Version(kLink, nullptr, nullptr), 0);
    expect_nothing_sent_since(mark);
}

TEST_F(CanTest, VersionStopsAtTheFirstFailure) {
    connect();
    size_t mark = peer.frame_count();
    peer.push_refused(-99);
    int32_t first = 11;
    int32_t second = 22;
    EXPECT_EQ(Pc2Lan_Get_Version(kLink, &first, &second), PC2LAN_FAILED);
    EXPECT_EQ(only_frame_since(mark).at(0), 0x80);
    EXPECT_EQ(second, 22);

    peer.push_ok(le16(5));
    peer.push_refused(-99);
    EXPECT_EQ(Pc2Lan_Get_Version(kLink, &first, &second), PC2LAN_FAILED);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(second, 22);
}

TEST_F(CanTest, SerialIsTheReplyPayloadAsText) {
    connect();
    for (const std::string& serial :
         {std::string("KEST-042"), std::string(), std::string(80, 'S')}) {
        SCOPED_TRACE(serial.size());
        peer.push_ok(text_bytes(serial));
        char buffer[96];
        std::memset(buffer, 'X', sizeof buffer);
        ASSERT_EQ(Pc2Lan_Get_Serial(kLink, buffer), 0);
        EXPECT_EQ(std::string(buffer, serial.size()), serial);
        EXPECT_EQ(buffer[serial.size()], '\0');
        EXPECT_EQ(buffer[serial.size() + 1], 'X');
    }
    size_t mark = peer.frame_count();
    EXPECT_EQ(Pc2Lan_Get_Serial(kLink, nullptr), 0);
    expect_nothing_sent_since(mark);
}

TEST_F(CanTest, SleepStateIsReplyByte3) {
    connect();
    peer.push_ok({0xA5});
    uint8_t state = 0;
    ASSERT_EQ(Pc2Lan_Get_Sleep(kLink, &state), 0);
    EXPECT_EQ(state, 0xA5);
    size_t mark = peer.frame_count();
    EXPECT_EQ(Pc2Lan_Get_Sleep(kLink, nullptr), PC2LAN_FAILED);
    expect_nothing_sent_since(mark);
}

TEST_F(CanTest, MonitorSetStateWritesBackWhatTheBoxAnswers) {
    connect();
    peer.push_ok({0x10, 0x20});
    uint8_t first = 1;
    uint8_t second = 2;
    ASSERT_EQ(Pc2Lan_Can_Monitor_Set_State(kLink, &first, &second), 0);
    EXPECT_EQ(first, 0x10);
    EXPECT_EQ(second, 0x20);
    for (Bytes payload : {Bytes{}, Bytes{0x77}}) {
        SCOPED_TRACE(payload.size());
        peer.push_ok(payload);
        first = 3;
        second = 4;
        EXPECT_EQ(Pc2Lan_Can_Monitor_Set_State(kLink, &first, &second), 0);
        EXPECT_EQ(first, 3);
        EXPECT_EQ(second, 4);
    }
}

TEST_F(CanTest, MonitorGetStateNeedsFourBytes) {
    connect();
    peer.push_ok({0x01, 0x02, 0xFF, 0xFF});
    uint8_t first = 0;
    uint8_t second = 0;
    int32_t count = 0;
    ASSERT_EQ(Pc2Lan_Can_Monitor_Get_State(kLink, &first, &second, &count), 0);
    EXPECT_EQ(first, 0x01);
    EXPECT_EQ(second, 0x02);
    EXPECT_EQ(count, 65535);

    peer.push_ok({0x05, 0x06});
    first = 7;
    second = 8;
    count = 9;
    EXPECT_EQ(Pc2Lan_Can_Monitor_Get_State(kLink, &first, &second, &count), 0);
    EXPECT_EQ(first, 7);
    EXPECT_EQ(second, 8);
    EXPECT_EQ(count, 9);

    peer.push_ok({0x05, 0x06, 0x34, 0x12});
    EXPECT_EQ(Pc2Lan_Can_Monitor_Get_State(kLink, nullptr, nullptr, &count), 0);
    EXPECT_EQ(count, 0x1234);
}

// Monitor records: 16 bytes each, at most five per exchange.
class MonitorRecords {
public:
    explicit MonitorRecords(size_t count) : buffers_(count, Bytes(16, kSentinel)) {
        for (Bytes& buffer : buffers_) {
            pointers_.push_back(buffer.data());
        }
    }
    uint8_t** pointers() { return pointers_.data(); }
    const Bytes& operator[](size_t i) const { return buffers_[i]; }
    bool untouched(size_t i) const { return buffers_[i] == Bytes(16, kSentinel); }

private:
    std::vector<Bytes> buffers_;
    std::vector<uint8_t*> pointers_;
};

Bytes record(int n) {
    return Bytes(16, static_cast<uint8_t>(n));
}

Bytes records(int first, int count) {
    Bytes all;
    for (int i = 0; i < count; ++i) {
        Bytes one = record(first + i);
        all.insert(all.end(), one.begin(), one.end());
    }
    return all;
}

TEST_F(CanTest, MonitorRequestReadsFiveAtATimeUntilTheBoxRunsDry) {
    connect();
    peer.push_ok(records(1, 5));
    peer.push_ok(records(6, 2));
    MonitorRecords buffers(12);
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(kLink, buffers.pointers(), 12, 0), 7);
    std::vector<Bytes> frames = frames_since(1);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(payload_of(frames[0]), (Bytes{0x05, 0x00}));
    EXPECT_EQ(payload_of(frames[1]), (Bytes{0x05, 0x00}));
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(buffers[i], record(i + 1)) << "record " << i;
    }
    for (int i = 7; i < 12; ++i) {
        EXPECT_TRUE(buffers.untouched(i)) << "record " << i;
    }
}

TEST_F(CanTest, MonitorRequestAsksOnlyForWhatIsLeft) {
    connect();
    peer.push_ok(records(1, 5));
    peer.push_ok(records(6, 2));
    MonitorRecords buffers(7);
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(kLink, buffers.pointers(), 7, 0), 7);
    std::vector<Bytes> frames = frames_since(1);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(payload_of(frames[1]), (Bytes{0x02, 0x00}));
}

TEST_F(CanTest, MonitorRequestCountsWholeRecordsOnly) {
    connect();
    peer.push_ok(Bytes(47, 0x33));
    MonitorRecords buffers(12);
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(kLink, buffers.pointers(), 12, 0), 2);
    EXPECT_EQ(frames_since(1).size(), 1u) << "fewer than five records end the call";
    EXPECT_TRUE(buffers.untouched(2));
}

TEST_F(CanTest, MonitorRequestCopiesNoMoreThanAskedFor) {
    connect();
    peer.push_ok(records(1, 5));
    MonitorRecords buffers(3);
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(kLink, buffers.pointers(), 2, 0), 2);
    EXPECT_EQ(buffers[0], record(1));
    EXPECT_EQ(buffers[1], record(2));
    EXPECT_TRUE(buffers.untouched(2)) << "a third buffer the caller did not offer";
    EXPECT_EQ(payload_of(only_frame_since(1)), (Bytes{0x02, 0x00}));
}

TEST_F(CanTest, MonitorRequestForNothingSendsNothing) {
    connect();
    size_t mark = peer.frame_count();
    MonitorRecords buffers(1);
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(kLink, buffers.pointers(), 0, 0), 0);
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(kLink, buffers.pointers(), -5, 0), 0);
    EXPECT_TRUE(buffers.untouched(0));
    expect_nothing_sent_since(mark);
}

TEST_F(CanTest, MonitorRequestKeepsWhatItGotBeforeAFailure) {
    connect();
    peer.push_ok(records(1, 5));
    peer.push_refused(-99);
    MonitorRecords buffers(8);
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(kLink, buffers.pointers(), 8, 0), PC2LAN_FAILED);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(buffers[i], record(i + 1)) << "record " << i;
    }
    EXPECT_TRUE(buffers.untouched(5));
}

}  // namespace
}  // namespace linktest

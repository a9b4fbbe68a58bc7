// The exchange driven with canned bytes through the transport seam: stale, split, short and
// missing replies decide the result and whether the link stays connected, without a socket and
// without waiting out a single time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "MemoryTransport.h"
#include "Pc2Lan.h"

namespace linktest {
namespace {

using Bytes = std::vector<uint8_t>;
using Sequence = Memory_Chunk::Sequence;

constexpr int32_t kLink = 42;
constexpr uint8_t kGetSessionTime = 0x63;

Bytes frame(uint8_t command, uint8_t status, const Bytes& payload) {
    Bytes bytes(3 + payload.size());
    bytes[0] = command;
    bytes[1] = static_cast<uint8_t>(payload.size());
    bytes[2] = static_cast<uint8_t>(status << 6);
    std::copy(payload.begin(), payload.end(), bytes.begin() + 3);
    uint8_t sum = 0;
    for (uint8_t b : bytes) {
        sum = static_cast<uint8_t>(sum + b);
    }
    bytes.push_back(sum);
    return bytes;
}

Memory_Chunk chunk(Bytes bytes, Sequence sequence = Sequence::Own, bool follow_up = false) {
    return Memory_Chunk{std::move(bytes), follow_up, sequence};
}

const Bytes kFirstValues{1, 0, 2, 0};
const Bytes kSecondValues{3, 0, 4, 0};

class MemoryLink : public ::testing::Test {
protected:
    void SetUp() override {
        box->Install();
        ASSERT_EQ(Pc2Lan_Create(kLink, "box.example", 7777, "BasicUser", "basic1234", "", ""), 0);
    }
    void TearDown() override { Pc2Lan_Delete(kLink); }

    // Scripts the login, the answers to the next request and a spare answer behind them (so
    // that the box does not hang up merely because its script ran out), then connects.
    void connect_then(const std::vector<Memory_Chunk>& answers) {
        box->Push_Frame(0xC0, 1, {0, 0, 0, 0, 4, 0, 0, 0});
        for (const Memory_Chunk& answer : answers) {
            box->Push(answer);
        }
        box->Push_Frame(0x80, 1, {0, 0});
        int32_t level = -1;
        ASSERT_EQ(Pc2Lan_Connect(kLink, &level, 0), 0);
        ASSERT_EQ(level, 4);
    }

    bool still_connected() {
        int32_t io = 0;
        int32_t reply = 0;
        // Get_Com_Param sends nothing; Get_Serial with a null buffer checks the connection only.
        EXPECT_EQ(Pc2Lan_Get_Com_Param(kLink, &io, &reply), 0);
        return Pc2Lan_Get_Serial(kLink, nullptr) == PC2LAN_OK;
    }

    std::shared_ptr<Memory_Box> box = std::make_shared<Memory_Box>();
};

struct ReplyCase {
    const char* name;
    std::vector<Memory_Chunk> answers;
    int32_t result;
    Bytes values;  // the two session-time values Get_Session_Time then holds
    bool stays_connected;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class MemoryReplies : public MemoryLink, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(MemoryReplies, DecideTheResultAndTheConnection) {
    const ReplyCase& c = GetParam();
    connect_then(c.answers);
    int32_t first = -1;
    int32_t second = -1;
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), c.result);
    const int32_t want_first = c.values.empty() ? -1 : c.values[0];
    const int32_t want_second = c.values.empty() ? -1 : c.values[2];
    EXPECT_EQ(first, want_first);
    EXPECT_EQ(second, want_second);
    EXPECT_EQ(still_connected(), c.stays_connected);
}

std::vector<ReplyCase> reply_cases() {
    const Bytes done = frame(kGetSessionTime, 1, kFirstValues);
    const Bytes no_verdict = frame(kGetSessionTime, 0, kFirstValues);
    Bytes split_head = frame(kGetSessionTime, 1, kFirstValues);
    Bytes split_tail(split_head.begin() + 5, split_head.end());
    split_head.resize(5);
    Bytes under_length = frame(kGetSessionTime, 1, kFirstValues);
    under_length[1] = 12;
    return {
        {"Done", {chunk(done)}, 0, kFirstValues, true},
        {"Refused", {chunk(frame(kGetSessionTime, 2, {0xF3, 0xFF}))}, PC2LAN_FAILED, {}, true},
        {"NoVerdict", {chunk(no_verdict)}, PC2LAN_FAILED, {}, true},
        {"TwoBytes", {chunk({kGetSessionTime, 4})}, PC2LAN_FAILED, {}, true},
        {"FewerBytesThanTheLengthByte", {chunk(under_length)}, PC2LAN_FAILED, {}, true},
        {"SplitOverTwoReads",
         {chunk(split_head), chunk(split_tail, Sequence::As_Given, true)},
         0,
         kFirstValues,
         true},
        {"StaleThenOwn",
         {chunk(done, Sequence::Stale),
          chunk(frame(kGetSessionTime, 1, kSecondValues), Sequence::Own, true)},
         0,
         kSecondValues,
         true},
        {"StaleThenNothing", {chunk(done, Sequence::Stale)}, 0, kFirstValues, true},
        {"StaleWithoutVerdictThenNothing",
         {chunk(no_verdict, Sequence::Stale)},
         PC2LAN_FAILED,
         {},
         true},
        {"StaleThenShortFrame",
         {chunk(done, Sequence::Stale), chunk({kGetSessionTime, 4, 0x40}, Sequence::Own, true)},
         0,
         kFirstValues,
         true},
        {"Silence", {Memory_Chunk{}}, PC2LAN_NOT_CONNECTED, {}, false},
    };
}

INSTANTIATE_TEST_SUITE_P(Exchange, MemoryReplies, ::testing::ValuesIn(reply_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemoryLink, TheBoxHangingUpDropsTheLinkAndItConnectsAgain) {
    box->Push_Frame(0xC0, 1, {0, 0, 0, 0, 4, 0, 0, 0});
    int32_t level = 0;
    ASSERT_EQ(Pc2Lan_Connect(kLink, &level, 0), 0);
    // The script is used up: the box closed the connection behind the login answer.
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    box->Push_Frame(0xC0, 1, {0, 0, 0, 0, 2, 0, 0, 0});
    box->Push_Frame(0x80, 1, {0, 0});
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 0), 0);
    EXPECT_EQ(level, 2);
    EXPECT_EQ(box->Connections(), 2);
}

TEST_F(MemoryLink, SequenceNumbersRunOnAcrossConnections) {
    connect_then({chunk(frame(0x80, 1, {0, 0})), chunk(frame(0xC0, 1, {0, 0, 0, 0, 4, 0, 0, 0}))});
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);
    int32_t level = 0;
    ASSERT_EQ(Pc2Lan_Connect(kLink, &level, 0), 0);
    const auto requests = box->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0][2], 1);  // the first login
    EXPECT_EQ(requests[1][2], 2);
    EXPECT_EQ(requests[2][2], 3);  // the second login keeps counting
}

TEST_F(MemoryLink, ARefusedConnectionLeavesTheLinkUnconnectedAndWithoutSocket) {
    box->Refuse_Connections(true);
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 0), PC2LAN_FAILED);
    EXPECT_EQ(Pc2Lan_Disconnect(kLink), PC2LAN_NOT_CONNECTED) << "no socket is left behind";
    EXPECT_TRUE(box->Requests().empty());
}

}  // namespace
}  // namespace linktest

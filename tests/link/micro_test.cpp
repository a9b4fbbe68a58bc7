// The loader calls: answer bytes, the erase's longer wait and its restored time-outs, and the
// limits of one data block.
#include <gtest/gtest.h>

#include <cstring>

#include "LinkFixture.h"

namespace linktest {
namespace {

using MicroTest = LinkTest;

void expect_timeouts(int32_t link, int32_t io, int32_t reply) {
    int32_t io_now = 0;
    int32_t reply_now = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(link, &io_now, &reply_now), 0);
    EXPECT_EQ(io_now, io);
    EXPECT_EQ(reply_now, reply);
}

TEST_F(MicroTest, EnterBootAndReBootWantAZeroAnswerByte) {
    connect();
    struct Row {
        uint8_t answer;
        int32_t result;
    };
    for (Row row : {Row{0x00, 0}, Row{0x01, -10}, Row{0xFF, -10}, Row{0x80, -10}}) {
        SCOPED_TRACE(static_cast<int>(row.answer));
        peer.push_ok({row.answer, 0x00});
        EXPECT_EQ(Pc2Lan_Micro_EnterBoot(kLink), row.result);
        peer.push_ok({row.answer, 0x00});
        EXPECT_EQ(Pc2Lan_Micro_ReBoot(kLink), row.result);
    }
    expect_still_connected();
}

TEST_F(MicroTest, EraseHandsBackTheAnswerByte) {
    connect();
    peer.push_ok({0x42});
    uint8_t block = 0x07;
    ASSERT_EQ(Pc2Lan_Micro_Erase(kLink, &block), 0);
    EXPECT_EQ(block, 0x42);
    peer.push_ok({});
    block = 0x07;
    ASSERT_EQ(Pc2Lan_Micro_Erase(kLink, &block), 0);
    EXPECT_EQ(block, 0x07) << "an empty answer leaves the block";
    expect_timeouts(kLink, kShortIo, kShortReply);
}

TEST_F(MicroTest, EraseWithoutABlockSendsNothing) {
    connect();
    size_t mark = peer.frame_count();
    EXPECT_EQ(Pc2Lan_Micro_Erase(kLink, nullptr), 0);
    expect_timeouts(kLink, kShortIo, kShortReply);
    expect_nothing_sent_since(mark);
}

TEST_F(MicroTest, EraseWaitsThreeSecondsLongerThanTheReplyTimeout) {
    connect();
    peer.push([](const Bytes& r) { return Answer{}.then(1000, reply_ok(r, {0x01})); });
    uint8_t block = 0x02;
    EXPECT_EQ(Pc2Lan_Micro_Erase(kLink, &block), 0);
    EXPECT_EQ(block, 0x01);
    expect_timeouts(kLink, kShortIo, kShortReply);
    expect_still_connected();
}

TEST_F(MicroTest, EraseRestoresTheTimeoutsAfterARefusal) {
    connect();
    peer.push_refused(-7);
    uint8_t block = 0x02;
    EXPECT_EQ(Pc2Lan_Micro_Erase(kLink, &block), PC2LAN_FAILED);
    expect_timeouts(kLink, kShortIo, kShortReply);
}

TEST_F(MicroTest, EraseRestoresTheTimeoutsWhenTheBoxCloses) {
    connect();
    peer.push(Answer::close());
    uint8_t block = 0x02;
    EXPECT_EQ(Pc2Lan_Micro_Erase(kLink, &block), PC2LAN_NOT_CONNECTED);
    expect_timeouts(kLink, kShortIo, kShortReply);
}

TEST_F(MicroTest, EraseRestoresTheTimeoutsAfterTimingOut) {
    ASSERT_EQ(Pc2Lan_Set_Com_Param(kLink, 101, 251), 0);
    connect();
    peer.push(Answer::silence());
    uint8_t block = 0x02;
    EXPECT_EQ(Pc2Lan_Micro_Erase(kLink, &block), PC2LAN_NOT_CONNECTED);
    expect_timeouts(kLink, 101, 251);
    expect_dropped();
}

TEST_F(MicroTest, EraseLeavesAReplyTimeoutThatCannotBeRaised) {
    ASSERT_EQ(Pc2Lan_Set_Com_Param(kLink, 1000, 58000), 0);
    connect();
    uint8_t block = 0x02;
    EXPECT_EQ(Pc2Lan_Micro_Erase(kLink, &block), 0);
    expect_timeouts(kLink, 1000, 58000);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(kLink, 101, 59999), 0);
    EXPECT_EQ(Pc2Lan_Micro_Erase(kLink, &block), 0);
    expect_timeouts(kLink, 101, 59999);
}

TEST_F(MicroTest, FProgramGivesTheResultByteWhenThereIsOne) {
    connect();
    struct Row {
        Bytes payload;
        int32_t result;
    };
    for (const Row& row :
         {Row{{0x00, 0x00}, 0}, Row{{0x00, 0x00, 0x07}, 7}, Row{{0x00, 0x00, 0xC8}, 200},
          Row{{0x00, 0x00, 0xFF, 0x01}, 255}, Row{{}, 0}}) {
        SCOPED_TRACE(hex(row.payload));
        peer.push_ok(row.payload);
        Bytes data(16, 0x5A);
        EXPECT_EQ(Pc2Lan_Micro_FProgram(kLink, 0x1000, data.data(), 16), row.result);
    }
}

TEST_F(MicroTest, BlocksAbove78BytesAreRefusedWithoutSending) {
    connect();
    size_t mark = peer.frame_count();
    Bytes data(255, 0x5A);
    for (int count : {79, 80, 255}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(Pc2Lan_Micro_FProgram(kLink, 0x1000, data.data(), static_cast<uint8_t>(count)),
                  PC2LAN_FAILED);
        EXPECT_EQ(Pc2Lan_Micro_EProgram(kLink, 0x1000, data.data(), static_cast<uint8_t>(count)),
                  PC2LAN_FAILED);
    }
    expect_nothing_sent_since(mark);
}

TEST_F(MicroTest, EProgramReadsBackIntoTheData) {
    connect();
    peer.push_ok({0x00, 0x00, 0x09});
    peer.push_ok({0x00, 0x00, 0xA1, 0xA2, 0xA3, 0xA4});
    uint8_t data[6] = {1, 2, 3, 4, 0xEE, 0xEE};
    EXPECT_EQ(Pc2Lan_Micro_EProgram(kLink, 0x0200, data, 4), 4)
        << "the write's result byte is not used";
    EXPECT_EQ(hex(Bytes(data, data + 6)), "A1 A2 A3 A4 EE EE");
}

TEST_F(MicroTest, EProgramWithoutReadBackLeavesTheData) {
    connect();
    for (Bytes read_back : {Bytes{0x00, 0x00}, Bytes{0x00}, Bytes{}}) {
        SCOPED_TRACE(read_back.size());
        peer.push_ok({0x00, 0x00});
        peer.push_ok(read_back);
        uint8_t data[4] = {1, 2, 3, 4};
        EXPECT_EQ(Pc2Lan_Micro_EProgram(kLink, 0x0200, data, 4), 0);
        EXPECT_EQ(hex(Bytes(data, data + 4)), "01 02 03 04");
    }
}

TEST_F(MicroTest, EProgramReadBackStopsAtCount) {
    connect();
    peer.push_ok({0x00, 0x00});
    peer.push_ok(concat({{0x00, 0x00}, Bytes(10, 0xA0)}));
    uint8_t data[8] = {1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_GE(Pc2Lan_Micro_EProgram(kLink, 0x0200, data, 4), 0);
    EXPECT_EQ(hex(Bytes(data, data + 8)), "A0 A0 A0 A0 EE EE EE EE");
}

TEST_F(MicroTest, EProgramFailures) {
    connect();
    uint8_t data[4] = {1, 2, 3, 4};

    size_t mark = peer.frame_count();
    peer.push_refused(-7);
    EXPECT_EQ(Pc2Lan_Micro_EProgram(kLink, 0x0200, data, 4), PC2LAN_FAILED);
    EXPECT_EQ(only_frame_since(mark).at(0), 0x79) << "no read-back after a failed write";

    peer.push_ok({0x00, 0x00});
    peer.push_refused(-7);
    EXPECT_EQ(Pc2Lan_Micro_EProgram(kLink, 0x0200, data, 4), PC2LAN_FAILED);
    EXPECT_TRUE(link_connected());

    peer.push_ok({0x00, 0x00});
    peer.push(Answer::close());
    EXPECT_EQ(Pc2Lan_Micro_EProgram(kLink, 0x0200, data, 4), PC2LAN_FAILED)
        << "a failed read-back is -10 even once the link has dropped";
    expect_dropped();
    EXPECT_EQ(hex(Bytes(data, data + 4)), "01 02 03 04");
}

TEST_F(MicroTest, EProgramWhoseWriteLosesTheLinkGivesMinus3) {
    connect();
    peer.push(Answer::close());
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(Pc2Lan_Micro_EProgram(kLink, 0x0200, data, 4), PC2LAN_NOT_CONNECTED);
    expect_dropped();
}

}  // namespace
}  // namespace linktest

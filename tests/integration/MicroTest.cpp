// Reprogramming the box's microcontroller: boot loader in and out, erasing a block, writing
// with and without read-back, and the erase's longer reply time-out.
#include <algorithm>
#include <numeric>
#include <vector>

#include "Harness.h"

namespace integ {
namespace {

constexpr uint32_t kBlockSize = 1024;  // this box's erase block

// A box whose loader answers the erase after the given time.
class MicroTestBase : public BoxTest {
protected:
    explicit MicroTestBase(int erase_ms) : erase_ms_(erase_ms) {}
    void configure(kestemu::Config& c) override { c.erase_ms = erase_ms_; }

    void enter_boot() {
        const size_t mark = frame_mark();
        ASSERT_EQ(Pc2Lan_Micro_EnterBoot(0), 0);
        const auto frames = frames_since(mark);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frame_command(frames[0]), 0x70);
        const std::vector<uint8_t> confirmation = {0x6B, 0x94};
        EXPECT_EQ(frame_payload(frames[0]), confirmation);
    }

    void expect_timeouts(int32_t io, int32_t reply) {
        int32_t got_io = 0, got_reply = 0;
        ASSERT_EQ(Pc2Lan_Get_Com_Param(0, &got_io, &got_reply), 0);
        EXPECT_EQ(got_io, io);
        EXPECT_EQ(got_reply, reply);
    }

    std::vector<uint8_t> pattern(size_t count, uint8_t seed) {
        std::vector<uint8_t> data(count);
        std::iota(data.begin(), data.end(), seed);
        return data;
    }

    int erase_ms_;
};

class MicroTest : public MicroTestBase {
protected:
    MicroTest() : MicroTestBase(50) {}
    void SetUp() override {
        MicroTestBase::SetUp();
        open_link(0);
    }
};

TEST_F(MicroTest, BootModeRefusesLoginsUntilReboot) {
    enter_boot();
    create_link(1);
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(1, &level, 2), -15);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0) << "the link that entered boot mode stays";

    EXPECT_EQ(Pc2Lan_Micro_ReBoot(0), 0);
    EXPECT_GE(Pc2Lan_Connect(1, &level, 2), 0);
    EXPECT_EQ(level, 4);
}

TEST_F(MicroTest, ProgrammedBytesLandInFlash) {
    enter_boot();
    const auto data = pattern(16, 0x10);
    auto copy = data;
    EXPECT_EQ(Pc2Lan_Micro_FProgram(0, 0x1230, copy.data(), 16), 0);
    EXPECT_EQ(emu->flash(0x1230, 16), data);
    EXPECT_EQ(copy, data) << "a plain write leaves the caller's bytes alone";

    const auto longest = pattern(78, 0x80);
    copy = longest;
    EXPECT_EQ(Pc2Lan_Micro_FProgram(0, 0x2000, copy.data(), 78), 0);
    EXPECT_EQ(emu->flash(0x2000, 78), longest);
}

TEST_F(MicroTest, AddressTravelsAsItsLowSixteenBits) {
    enter_boot();
    auto data = pattern(8, 1);
    EXPECT_EQ(Pc2Lan_Micro_FProgram(0, 0x10000 + 0x0400, data.data(), 8), 0);
    EXPECT_EQ(emu->flash(0x0400, 8), pattern(8, 1));
}

TEST_F(MicroTest, BoxResultByteIsReturned) {
    auto data = pattern(4, 9);
    EXPECT_EQ(Pc2Lan_Micro_FProgram(0, 0x100, data.data(), 4), 1) << "outside boot mode";
    EXPECT_EQ(emu->flash(0x100, 4), std::vector<uint8_t>(4, 0xFF));
    enter_boot();
    EXPECT_EQ(Pc2Lan_Micro_FProgram(0, 0xFFFC, data.data(), 4), 0) << "the last four bytes";
    EXPECT_EQ(Pc2Lan_Micro_FProgram(0, 0xFFFD, data.data(), 4), 2) << "past the end of flash";
}

TEST_F(MicroTest, TooManyBytesAreRefusedWithoutSending) {
    enter_boot();
    std::vector<uint8_t> data(255, 0x42);
    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Micro_FProgram(0, 0, data.data(), 79), -10);
    EXPECT_EQ(Pc2Lan_Micro_EProgram(0, 0, data.data(), 79), -10);
    EXPECT_EQ(Pc2Lan_Micro_EProgram(0, 0, data.data(), 255), -10);
    EXPECT_TRUE(frames_since(mark).empty());
    EXPECT_EQ(emu->flash(0, 4), std::vector<uint8_t>(4, 0xFF));
}

TEST_F(MicroTest, EProgramReadsBackWhatWasWritten) {
    enter_boot();
    const auto data = pattern(32, 0xA0);
    auto buffer = data;
    EXPECT_EQ(Pc2Lan_Micro_EProgram(0, 0x3000, buffer.data(), 32), 32);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(emu->flash(0x3000, 32), data);

    const size_t mark = frame_mark();
    auto longest = pattern(78, 3);
    EXPECT_EQ(Pc2Lan_Micro_EProgram(0, 0x4000, longest.data(), 78), 78);
    EXPECT_EQ(longest, pattern(78, 3));
    const auto frames = frames_since(mark);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frame_command(frames[0]), 0x79);
    EXPECT_EQ(frame_command(frames[1]), 0x78);
}

TEST_F(MicroTest, EProgramHandsBackTheFlashNotTheRequest) {
    // Outside boot mode the write is refused, so the read-back shows the erased flash.
    auto buffer = pattern(16, 0x30);
    EXPECT_EQ(Pc2Lan_Micro_EProgram(0, 0x500, buffer.data(), 16), 16);
    EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0xFF));
}

TEST_F(MicroTest, EraseClearsOneBlockAndRestoresTheTimeouts) {
    enter_boot();
    auto data = pattern(64, 7);
    ASSERT_EQ(Pc2Lan_Micro_FProgram(0, 3 * kBlockSize + 100, data.data(), 64), 0);
    ASSERT_EQ(Pc2Lan_Micro_FProgram(0, 4 * kBlockSize, data.data(), 64), 0);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(0, 700, 900), 0);

    uint8_t block = 3;
    EXPECT_EQ(Pc2Lan_Micro_Erase(0, &block), 0);
    EXPECT_EQ(block, 3) << "the box answers the block it erased";
    EXPECT_EQ(emu->flash(3 * kBlockSize, kBlockSize), std::vector<uint8_t>(kBlockSize, 0xFF));
    EXPECT_EQ(emu->flash(4 * kBlockSize, 64), data) << "the next block is untouched";
    expect_timeouts(700, 900);
}

TEST_F(MicroTest, EraseWithoutBlockSendsNothing) {
    ASSERT_EQ(Pc2Lan_Set_Com_Param(0, 700, 900), 0);
    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Micro_Erase(0, nullptr), 0);
    EXPECT_TRUE(frames_since(mark).empty());
    expect_timeouts(700, 900);
}

TEST_F(MicroTest, EraseOutsideBootModeIsAnsweredButNotDone) {
    auto data = pattern(8, 1);
    enter_boot();
    ASSERT_EQ(Pc2Lan_Micro_FProgram(0, 0, data.data(), 8), 0);
    ASSERT_EQ(Pc2Lan_Micro_ReBoot(0), 0);
    uint8_t block = 0;
    EXPECT_EQ(Pc2Lan_Micro_Erase(0, &block), 0);
    EXPECT_EQ(block, 0xFF);
    EXPECT_EQ(emu->flash(0, 8), data);
}

TEST_F(MicroTest, RaisedTimeoutThatWouldPassTheLimitIsLeftAsItWas) {
    enter_boot();
    ASSERT_EQ(Pc2Lan_Set_Com_Param(0, 500, 58000), 0);
    uint8_t block = 1;
    EXPECT_EQ(Pc2Lan_Micro_Erase(0, &block), 0);
    EXPECT_EQ(block, 1);
    expect_timeouts(500, 58000);
}

// The erase takes far longer than the link's own reply time-out, but less than that plus the
// three seconds the erase adds.
class SlowEraseTest : public MicroTestBase {
protected:
    SlowEraseTest() : MicroTestBase(1200) {}
};

TEST_F(SlowEraseTest, EraseWaitsTheExtraThreeSeconds) {
    io_timeout = kShortIo;
    reply_timeout = kShortReply;
    open_link(0);
    enter_boot();
    uint8_t block = 2;
    EXPECT_EQ(Pc2Lan_Micro_Erase(0, &block), 0);
    EXPECT_EQ(block, 2);
    expect_timeouts(kShortIo, kShortReply);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
}

// The erase outlasts even the raised time-out.
class StuckEraseTest : public MicroTestBase {
protected:
    StuckEraseTest() : MicroTestBase(kShortReply + 3000 + 700) {}
};

TEST_F(StuckEraseTest, EraseThatOutlastsTheRaisedTimeoutDropsTheLinkAndRestores) {
    io_timeout = kShortIo;
    reply_timeout = kShortReply;
    open_link(0);
    enter_boot();
    uint8_t block = 2;
    EXPECT_EQ(Pc2Lan_Micro_Erase(0, &block), -3);
    EXPECT_EQ(block, 2) << "no answer, no change";
    expect_timeouts(kShortIo, kShortReply);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
}

}  // namespace
}  // namespace integ

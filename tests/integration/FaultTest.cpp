// A box that misbehaves on purpose: silence, a closed connection, stale and torn replies,
// garbage, slow answers, a CAN bus that times out, refused logins. Nothing may crash or hang,
// and every call must end in the code its export gives for the failure.
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "Exports.h"
#include "Harness.h"

namespace integ {
namespace {

// Exports that exchange frames with the box. The erase waits three seconds longer than the
// others before it gives up; MicroTest covers its time-outs.
std::vector<ExportCall> exchanging_exports() {
    std::vector<ExportCall> out;
    for (auto& e : link_exports()) {
        if (e.name != "Disconnect" && e.name != "Set_Com_Param" && e.name != "Get_Com_Param" &&
            e.name != "Micro_Erase") {
            out.push_back(e);
        }
    }
    return out;
}

std::string serial_of(int link) {
    char serial[81];
    std::memset(serial, 0x7F, sizeof serial);
    const int r = Pc2Lan_Get_Serial(link, serial);
    if (r != 0) {
        return "<" + std::to_string(r) + ">";
    }
    return std::string(serial, strnlen(serial, sizeof serial));
}

class FaultTest : public BoxTest {
protected:
    void SetUp() override {
        io_timeout = kShortIo;
        reply_timeout = kShortReply;
        BoxTest::SetUp();
        open_link(0);
    }

    // Reconnects link 0 after a fault has ended its connection, with the box behaving again.
    void recover() {
        emu->set_faults({});
        const int r = Pc2Lan_Disconnect(0);
        EXPECT_TRUE(r == 0 || r == -3) << r;
        ASSERT_TRUE(box_closed_all());
        int32_t level = -1;
        ASSERT_GE(Pc2Lan_Connect(0, &level, 2), 0);
        ASSERT_EQ(Pc2Lan_Keep_Alive(0), 0);
    }

    bool box_closed_all() {
        return wait_until([&] { return emu->open_connections() == 0; });
    }
};

TEST_F(FaultTest, SilentBoxDisconnectsTheLink) {
    kestemu::Faults f;
    f.silent_after = 2;  // the login and one more frame
    emu->set_faults(f);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
    EXPECT_TRUE(box_closed_all()) << "the link gives up and closes its side";
    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
    EXPECT_TRUE(frames_since(mark).empty()) << "a dropped link sends nothing";
    int32_t io = 0, reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(0, &io, &reply), 0);
    EXPECT_EQ(reply, kShortReply);
}

TEST_F(FaultTest, EveryExportAnswersMinusThreeWhenTheBoxFallsSilent) {
    kestemu::Faults f;
    f.silent_after = 1;
    for (const auto& e : exchanging_exports()) {
        SCOPED_TRACE(e.name);
        emu->set_faults(f);
        EXPECT_EQ(e.call(0), -3);
        EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
        recover();
    }
}

TEST_F(FaultTest, ClosedConnectionAnswersMinusThree) {
    kestemu::Faults f;
    f.close_after = 2;
    emu->set_faults(f);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0) << "the second frame is still answered";
    ASSERT_TRUE(box_closed_all());
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
}

TEST_F(FaultTest, EveryExportAnswersMinusThreeWhenTheBoxCloses) {
    kestemu::Faults f;
    f.close_after = 1;
    for (const auto& e : exchanging_exports()) {
        SCOPED_TRACE(e.name);
        emu->set_faults(f);
        // Either the close arrives before the request or the request goes unanswered.
        EXPECT_EQ(e.call(0), -3);
        EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
        recover();
    }
}

TEST_F(FaultTest, StaleSequenceIsSkippedByTheExtraRead) {
    kestemu::Faults f;
    f.stale_sequence = true;
    emu->set_faults(f);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
        EXPECT_EQ(serial_of(0), config.serial);
        const CanMessage request = can_message(8, 0x31, 8, 2);
        CanMessage reply{};
        EXPECT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
        EXPECT_EQ(reply.Header[0], 8);
        EXPECT_EQ(reply.Header[2], 1);
        int32_t first = -1, count = -1;
        EXPECT_EQ(Pc2Lan_Account_Numbers(0, &first, &count), 0);
        EXPECT_EQ(first, 0);
        EXPECT_EQ(count, 2);
    }
    EXPECT_EQ(emu->open_connections(), 1);
}

TEST_F(FaultTest, SplitRepliesAreReadWholeAndLeaveNothingBehind) {
    kestemu::Faults f;
    f.split_reply = true;
    emu->set_faults(f);
    // Each of these replies is cut before its length byte is reached, or to fewer than four
    // bytes; the link reads on until the frame is whole, so every call succeeds, again and
    // again, on one connection.
    for (int round = 0; round < 3; ++round) {
        char serial[81] = {};
        EXPECT_EQ(Pc2Lan_Get_Serial(0, serial), 0);
        EXPECT_EQ(std::string(serial), config.serial);
        EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
        char name[21], password[21];
        int32_t value = 0, flag = 0;
        EXPECT_EQ(Pc2Lan_Account_Get_Info(0, 0, name, password, &value, &flag), 0);
    }
    EXPECT_EQ(emu->open_connections(), 1);
    EXPECT_EQ(emu->accepted_connections(), 1);
}

TEST_F(FaultTest, ShortReplyFailsWhileConnected) {
    kestemu::Faults f;
    f.short_reply = true;
    for (const auto& e : link_exports()) {
        if (e.name == "Disconnect" || e.name == "Set_Com_Param" || e.name == "Get_Com_Param") {
            continue;
        }
        SCOPED_TRACE(e.name);
        emu->set_faults(f);
        EXPECT_EQ(e.call(0), -10);
        EXPECT_EQ(emu->open_connections(), 1);
        // Nothing of the cut reply is left behind: the next exchange is clean.
        emu->set_faults({});
        EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
    }
    EXPECT_EQ(serial_of(0), config.serial);
}

TEST_F(FaultTest, ReplyFaultsSpareTheFirstFrames) {
    kestemu::Faults f;
    f.short_reply = true;
    f.skip_frames = 3;  // the login and two more
    emu->set_faults(f);
    EXPECT_EQ(serial_of(0), config.serial);
    EXPECT_EQ(serial_of(0), config.serial);
    EXPECT_EQ(serial_of(0), "<-10>");
}

TEST_F(FaultTest, GarbageNeverCrashesAndLeavesTheLinkRecoverable) {
    kestemu::Faults f;
    f.garbage = true;
    const std::set<int32_t> codes = {0,   -3,  -4,  -10, -11, -12, -13,
                                     -14, -15, -16, -17, -18, -19, -20};
    for (const auto& e : exchanging_exports()) {
        // The box still carries out what it was asked; in boot mode it would refuse the login
        // that recovers the link.
        if (e.name == "Micro_EnterBoot") {
            continue;
        }
        SCOPED_TRACE(e.name);
        emu->set_faults(f);
        const int32_t r = e.call(0);
        EXPECT_TRUE(codes.count(r) || r > 0) << "result " << r;
        if (r == -3) {
            EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3) << "a dropped link stays dropped";
        }
        recover();
    }
}

TEST_F(FaultTest, DelayBelowTheReplyTimeoutIsWaitedFor) {
    kestemu::Faults f;
    f.delay_ms = 60;
    emu->set_faults(f);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
    EXPECT_EQ(serial_of(0), config.serial);
}

TEST_F(FaultTest, DelayBeyondTheReplyTimeoutDropsTheLink) {
    kestemu::Faults f;
    f.delay_ms = 900;
    emu->set_faults(f);
    EXPECT_EQ(serial_of(0), "<-3>");
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);

    // A longer reply time-out waits for the same box.
    emu->set_faults({});
    int32_t level = 0;
    ASSERT_GE(Pc2Lan_Connect(0, &level, 2), 0);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(0, kShortIo, 3000), 0);
    emu->set_faults(f);
    EXPECT_EQ(serial_of(0), config.serial);
}

TEST_F(FaultTest, CanBusTimeoutsHitOnlyTheInverters) {
    kestemu::Faults f;
    f.can_timeout_probability = 1.0;
    emu->set_faults(f);
    CanMessage reply{};
    for (uint8_t address : {4, 8, 12}) {
        const CanMessage request = can_message(address, 0x31, 8, 2);
        EXPECT_EQ(Pc2Lan_Can_Request(0, &request, &reply), -11) << int(address);
    }
    const CanMessage clock = can_message(0, 0x20, 8, 0);
    EXPECT_EQ(Pc2Lan_Can_Request(0, &clock, &reply), 0);
    EXPECT_EQ(reply.Header[2], 1);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0) << "a CAN time-out keeps the link";
}

TEST_F(FaultTest, CanBusTimeoutsFollowTheProbability) {
    kestemu::Faults f;
    f.can_timeout_probability = 0.5;
    emu->set_faults(f);
    int timeouts = 0, answers = 0;
    for (int i = 0; i < 60; ++i) {
        const CanMessage request = can_message(4, 0x31, 8, 2);
        CanMessage reply{};
        const int32_t r = Pc2Lan_Can_Request(0, &request, &reply);
        ASSERT_TRUE(r == 0 || r == -11) << r;
        (r == 0 ? answers : timeouts)++;
    }
    EXPECT_GT(timeouts, 0);
    EXPECT_GT(answers, 0);
}

TEST_F(FaultTest, LoginThatFailsInTransitFailsTheConnect) {
    struct Row {
        const char* what;
        kestemu::Faults faults;
    };
    kestemu::Faults silent, closed, cut, late;
    silent.silent_after = 0;
    closed.close_after = 0;
    cut.short_reply = true;
    late.delay_ms = 900;
    const Row rows[] = {
        {"unanswered", silent}, {"closed", closed}, {"short", cut}, {"too late", late}};
    int handle = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        emu->set_faults(row.faults);
        create_link(handle);
        int32_t level = -1;
        EXPECT_EQ(Pc2Lan_Connect(handle, &level, 2), -10);
        EXPECT_EQ(Pc2Lan_Keep_Alive(handle), -3) << "a failed login leaves the link unconnected";
        ++handle;
    }
    emu->set_faults({});
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0) << "the link that was already open is untouched";
}

TEST_F(FaultTest, GarbledLoginNeverCrashes) {
    kestemu::Faults f;
    f.garbage = true;
    emu->set_faults(f);
    for (int handle = 1; handle < 6; ++handle) {
        create_link(handle);
        int32_t level = -1;
        const int32_t r = Pc2Lan_Connect(handle, &level, 2);
        EXPECT_TRUE(r >= 0 || r == -10 || (r <= -12 && r >= -15)) << r;
    }
}

TEST_F(FaultTest, StaleLoginReplyStillLogsIn) {
    kestemu::Faults f;
    f.stale_sequence = true;
    emu->set_faults(f);
    create_link(1, kBasicUser, kBasicPassword);
    int32_t level = -1;
    EXPECT_GE(Pc2Lan_Connect(1, &level, 2), 0);
    EXPECT_EQ(level, 3);
    EXPECT_EQ(Pc2Lan_Keep_Alive(1), 0);
}

TEST_F(FaultTest, FailedReadBackIsMinusTenEvenWhenTheLinkDropped) {
    ASSERT_EQ(Pc2Lan_Micro_EnterBoot(0), 0);
    kestemu::Faults f;
    f.silent_after = 3;  // login, enter boot and the write are answered; the read-back is not
    emu->set_faults(f);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Pc2Lan_Micro_EProgram(0, 0x600, data, 8), -10);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
    EXPECT_EQ(emu->flash(0x600, 8), std::vector<uint8_t>(data, data + 8)) << "the write was done";
}

TEST_F(FaultTest, MonitorRecordsReadBeforeTheBoxFellSilentAreKept) {
    for (int i = 0; i < 4; ++i) {
        const CanMessage request = can_message(4, 0x31, 8, 2);
        CanMessage reply{};
        ASSERT_EQ(Pc2Lan_Can_Request(0, &request, &reply), 0);
    }
    kestemu::Faults f;
    f.silent_after = 6;  // the login, four requests and the first monitor exchange
    emu->set_faults(f);
    uint8_t buffers[8][16] = {};
    uint8_t* records[8];
    for (int i = 0; i < 8; ++i) {
        records[i] = buffers[i];
    }
    EXPECT_EQ(Pc2Lan_Can_Monitor_Request(0, records, 8, 0), -3);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(buffers[i][5], 4) << "record " << i << " was copied before the failure";
    }
    EXPECT_EQ(buffers[5][5], 0);
}

TEST_F(FaultTest, RefusedLoginsLeaveOpenLinksAlone) {
    kestemu::Faults f;
    f.refuse_logins = true;
    emu->set_faults(f);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);

    create_link(1);
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(1, &level, 2), -12);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(Pc2Lan_Keep_Alive(1), -3);

    ASSERT_EQ(Pc2Lan_Disconnect(0), 0);
    EXPECT_EQ(Pc2Lan_Connect(0, &level, 2), -12);

    emu->set_faults({});
    EXPECT_GE(Pc2Lan_Connect(1, &level, 2), 0);
    EXPECT_EQ(level, 4);
}

}  // namespace
}  // namespace integ

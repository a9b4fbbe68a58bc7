// The link table, connecting and logging in, disconnecting, the two time-outs, the session-time
// pair and the keep-alive, against a running box.
#include <string>
#include <thread>

#include "Exports.h"
#include "Harness.h"

namespace integ {
namespace {

constexpr uint8_t kWireKeyBase = 0x5D;

std::string decode_field(const std::vector<uint8_t>& area, size_t offset) {
    std::string text;
    for (size_t k = offset; k < offset + 20 && k < area.size(); ++k) {
        const char c = static_cast<char>(area[k] ^ static_cast<uint8_t>(kWireKeyBase + k));
        if (c == 0) {
            break;
        }
        text.push_back(c);
    }
    return text;
}

class LinkTableTest : public BoxTest {};

TEST_F(LinkTableTest, VersionIsTenThousandAndOne) {
    EXPECT_EQ(Pc2Lan_Dll_Version(), 10001);
}

TEST_F(LinkTableTest, HandlesOutsideTheTableAreRefused) {
    for (int32_t h : {256, 1000, -1, -256}) {
        SCOPED_TRACE(h);
        EXPECT_EQ(Pc2Lan_Create(h, "127.0.0.1", emu->port(), kAdminUser, kAdminPassword, "", ""),
                  -2);
        EXPECT_EQ(Pc2Lan_Delete(h), -2);
        int32_t level = 0;
        EXPECT_EQ(Pc2Lan_Connect(h, &level, 2), -2);
        for (const auto& e : link_exports()) {
            EXPECT_EQ(e.call(h), -2) << e.name;
        }
    }
    EXPECT_EQ(emu->accepted_connections(), 0);
}

TEST_F(LinkTableTest, EmptyEntryAnswersMinusOne) {
    int32_t level = 0;
    EXPECT_EQ(Pc2Lan_Connect(17, &level, 2), -1);
    for (const auto& e : link_exports()) {
        EXPECT_EQ(e.call(17), -1) << e.name;
    }
    EXPECT_EQ(Pc2Lan_Delete(17), -1);
    EXPECT_EQ(emu->accepted_connections(), 0);
}

TEST_F(LinkTableTest, UnconnectedLinkAnswersMinusThreeWithoutTouchingTheBox) {
    create_link(3);
    for (const auto& e : link_exports()) {
        const bool com_param = e.name == "Set_Com_Param" || e.name == "Get_Com_Param";
        EXPECT_EQ(e.call(3), com_param ? 0 : -3) << e.name;
    }
    EXPECT_EQ(emu->accepted_connections(), 0);
}

TEST_F(LinkTableTest, UsedEntryIsKeptUntilDeleted) {
    create_link(255);
    // A second create with other credentials must leave the first object as it was.
    EXPECT_EQ(Pc2Lan_Create(255, "127.0.0.1", emu->port(), kBasicUser, "wrong", "", ""), -1);
    int32_t level = 0;
    EXPECT_GE(Pc2Lan_Connect(255, &level, 2), 0);
    EXPECT_EQ(level, 4);

    delete_link(255);
    EXPECT_EQ(Pc2Lan_Delete(255), -1);
    EXPECT_TRUE(wait_until([&] { return emu->open_connections() == 0; }))
        << "deleting a connected link must close its connection";

    create_link(255, kBasicUser, kBasicPassword);
    EXPECT_GE(Pc2Lan_Connect(255, &level, 2), 0);
    EXPECT_EQ(level, 3);
}

class ConnectTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override {
        c.accounts = {
            {kBasicUser, kBasicPassword, 3, 1},
            {kAdminUser, kAdminPassword, 4, 1},
            {"Guest", "guest1234", 3, 0},
            {"TwentyCharacterUser1", "TwentyCharacterPass1", 3, 1},
        };
    }
};

TEST_F(ConnectTest, LevelFollowsTheAccount) {
    struct Row {
        const char* user;
        const char* password;
        int32_t level;
    };
    const Row rows[] = {{kAdminUser, kAdminPassword, 4}, {kBasicUser, kBasicPassword, 3}};
    int handle = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.user);
        create_link(handle, row.user, row.password);
        int32_t level = -1;
        EXPECT_GE(Pc2Lan_Connect(handle, &level, 2), 0);
        EXPECT_EQ(level, row.level);
        EXPECT_EQ(Pc2Lan_Keep_Alive(handle), 0);
        ++handle;
    }
    EXPECT_EQ(emu->open_connections(), 2);
}

TEST_F(ConnectTest, NullAccessLevelPointerIsAllowed) {
    create_link(0);
    EXPECT_GE(Pc2Lan_Connect(0, nullptr, 2), 0);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
}

TEST_F(ConnectTest, LoginFrameCarriesTheCodedCredentials) {
    open_link(0);
    const auto frames = emu->received();
    ASSERT_EQ(frames.size(), 1u);
    const auto& login = frames[0];
    ASSERT_EQ(login.bytes.size(), 44u);
    EXPECT_EQ(login.bytes[0], 0xC0);
    EXPECT_EQ(login.bytes[1], 40);
    EXPECT_EQ(login.bytes[2], 1) << "first frame of a new link carries sequence number 1";
    const auto area = frame_payload(login);
    EXPECT_EQ(decode_field(area, 0), kAdminUser);
    EXPECT_EQ(decode_field(area, 20), kAdminPassword);
}

TEST_F(ConnectTest, NamesAreCutToTwentyCharacters) {
    create_link(0, "TwentyCharacterUser1-and-more", "TwentyCharacterPass1-and-more");
    int32_t level = -1;
    EXPECT_GE(Pc2Lan_Connect(0, &level, 2), 0);
    EXPECT_EQ(level, 3);
}

TEST_F(ConnectTest, RefusedLoginsMapToConnectCodes) {
    struct Row {
        const char* what;
        const char* user;
        const char* password;
        int32_t result;
    };
    const Row rows[] = {
        {"wrong password", kAdminUser, "admin12345", -12},
        {"unknown user", "Nobody", kAdminPassword, -12},
        {"empty credentials", nullptr, nullptr, -12},
        {"disabled account", "Guest", "guest1234", -13},
    };
    int handle = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        create_link(handle, row.user, row.password);
        int32_t level = -1;
        EXPECT_EQ(Pc2Lan_Connect(handle, &level, 2), row.result);
        EXPECT_EQ(level, 0) << "a refused login hands out level 0";
        EXPECT_EQ(Pc2Lan_Keep_Alive(handle), -3) << "a refused login leaves the link unconnected";
        ++handle;
    }
    EXPECT_TRUE(wait_until([&] { return emu->open_connections() == 0; }));
}

TEST_F(ConnectTest, SecondConnectAnswersMinusElevenAndSendsNothing) {
    open_link(0);
    const size_t mark = frame_mark();
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(0, &level, 2), -11);
    EXPECT_TRUE(frames_since(mark).empty());
    EXPECT_EQ(emu->accepted_connections(), 1);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0) << "the open connection must stay usable";
}

TEST_F(ConnectTest, NoListenerAnswersMinusTen) {
    kestemu::Config gone = base_config();
    kestemu::Emulator other(gone);
    ASSERT_TRUE(other.start());
    const int port = other.port();
    other.stop();

    ASSERT_EQ(Pc2Lan_Create(9, "127.0.0.1", port, kAdminUser, kAdminPassword, "", ""), 0);
    handles.push_back(9);
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(9, &level, 2), -10);
    EXPECT_EQ(Pc2Lan_Keep_Alive(9), -3);
    EXPECT_EQ(Pc2Lan_Disconnect(9), -3) << "a failed connect leaves no socket behind";
}

TEST_F(ConnectTest, HostNameIsResolved) {
    ASSERT_EQ(Pc2Lan_Create(4, "localhost", emu->port(), kAdminUser, kAdminPassword, "", ""), 0);
    handles.push_back(4);
    int32_t level = -1;
    EXPECT_GE(Pc2Lan_Connect(4, &level, 2), 0);
    EXPECT_EQ(level, 4);
}

TEST_F(ConnectTest, DisconnectClosesTheConnection) {
    create_link(0);
    EXPECT_EQ(Pc2Lan_Disconnect(0), -3) << "never connected";
    int32_t level = 0;
    ASSERT_GE(Pc2Lan_Connect(0, &level, 2), 0);
    EXPECT_EQ(Pc2Lan_Disconnect(0), 0);
    EXPECT_TRUE(wait_until([&] { return emu->open_connections() == 0; }));
    EXPECT_EQ(Pc2Lan_Disconnect(0), -3);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
}

TEST_F(ConnectTest, ReconnectContinuesTheSequenceNumbers) {
    open_link(0);
    ASSERT_EQ(Pc2Lan_Keep_Alive(0), 0);
    ASSERT_EQ(Pc2Lan_Keep_Alive(0), 0);
    ASSERT_EQ(Pc2Lan_Disconnect(0), 0);
    int32_t level = -1;
    ASSERT_GE(Pc2Lan_Connect(0, &level, 2), 0);
    EXPECT_EQ(level, 4);
    ASSERT_EQ(Pc2Lan_Keep_Alive(0), 0);

    const auto frames = emu->received();
    ASSERT_EQ(frames.size(), 5u);
    const uint8_t commands[] = {0xC0, 0x80, 0x80, 0xC0, 0x80};
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frame_command(frames[i]), commands[i]);
        EXPECT_EQ(frame_sequence(frames[i]), i + 1);
        EXPECT_EQ(frames[i].connection, i < 3 ? 1 : 2) << "the reconnect opens a new connection";
    }
}

TEST_F(ConnectTest, KeepAliveSendsOneEmptyFrame) {
    open_link(0);
    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
    const auto frames = frames_since(mark);
    ASSERT_EQ(frames.size(), 1u);
    const std::vector<uint8_t> expected = {0x80, 0x00, 0x02, 0x82};
    EXPECT_EQ(frames[0].bytes, expected);
}

TEST_F(ConnectTest, SequenceNumbersWrapAfterSixtyThree) {
    open_link(0);
    for (int i = 0; i < 70; ++i) {
        ASSERT_EQ(Pc2Lan_Keep_Alive(0), 0) << "keep-alive " << i;
    }
    const auto frames = emu->received();
    ASSERT_EQ(frames.size(), 71u);
    EXPECT_EQ(frame_sequence(frames[62]), 63);
    EXPECT_EQ(frame_sequence(frames[63]), 0);
    EXPECT_EQ(frame_sequence(frames[64]), 1);
    EXPECT_EQ(frames[63].bytes, (std::vector<uint8_t>{0x80, 0x00, 0x00, 0x80}));
}

class TooManySessionsTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override { c.max_connections = 2; }
};

TEST_F(TooManySessionsTest, LoginBeyondTheLimitAnswersMinusFourteen) {
    open_link(0);
    open_link(1, kBasicUser, kBasicPassword);
    create_link(2);
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(2, &level, 2), -14);
    EXPECT_EQ(Pc2Lan_Keep_Alive(2), -3);

    // A freed session makes room again.
    ASSERT_EQ(Pc2Lan_Disconnect(1), 0);
    ASSERT_TRUE(wait_until([&] { return emu->open_connections() == 1; }));
    EXPECT_GE(Pc2Lan_Connect(2, &level, 2), 0);
    EXPECT_EQ(level, 4);
}

class ComParamTest : public BoxTest {};

TEST_F(ComParamTest, DefaultsAreTwentyFiveHundred) {
    ASSERT_EQ(Pc2Lan_Create(0, "127.0.0.1", emu->port(), kAdminUser, kAdminPassword, "", ""), 0);
    handles.push_back(0);
    int32_t io = 0, reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(0, &io, &reply), 0);
    EXPECT_EQ(io, 2500);
    EXPECT_EQ(reply, 2500);
}

TEST_F(ComParamTest, EachValueIsCheckedOnItsOwn) {
    struct Row {
        int32_t io_in, reply_in, result, io_out, reply_out;
    };
    const Row rows[] = {
        {100, 3000, -4, 2500, 3000},     {101, 251, 0, 101, 251},   {60000, 60000, -4, 2500, 2500},
        {59999, 59999, 0, 59999, 59999}, {101, 250, -4, 101, 2500}, {-5, 0, -4, 2500, 2500},
    };
    int handle = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.io_in << ", " << row.reply_in);
        ASSERT_EQ(
            Pc2Lan_Create(handle, "127.0.0.1", emu->port(), kAdminUser, kAdminPassword, "", ""), 0);
        handles.push_back(handle);
        EXPECT_EQ(Pc2Lan_Set_Com_Param(handle, row.io_in, row.reply_in), row.result);
        int32_t io = 0, reply = 0;
        EXPECT_EQ(Pc2Lan_Get_Com_Param(handle, &io, &reply), 0);
        EXPECT_EQ(io, row.io_out);
        EXPECT_EQ(reply, row.reply_out);
        ++handle;
    }
}

TEST_F(ComParamTest, MissingPointerAnswersMinusFourAndFillsTheOther) {
    create_link(0);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(0, 1200, 3400), 0);
    int32_t io = 0, reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(0, nullptr, &reply), -4);
    EXPECT_EQ(reply, 3400);
    EXPECT_EQ(Pc2Lan_Get_Com_Param(0, &io, nullptr), -4);
    EXPECT_EQ(io, 1200);
    EXPECT_EQ(Pc2Lan_Get_Com_Param(0, nullptr, nullptr), -4);
}

TEST_F(ComParamTest, ValuesSurviveConnectAndDisconnect) {
    open_link(0);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(0, 1234, 2345), 0);
    ASSERT_EQ(Pc2Lan_Disconnect(0), 0);
    int32_t level = 0;
    ASSERT_GE(Pc2Lan_Connect(0, &level, 2), 0);
    int32_t io = 0, reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(0, &io, &reply), 0);
    EXPECT_EQ(io, 1234);
    EXPECT_EQ(reply, 2345);
}

class SessionTimeTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override {
        c.session_first = 2;
        c.session_minutes = 20;
    }
};

TEST_F(SessionTimeTest, ReadsTheBoxValues) {
    open_link(0, kBasicUser, kBasicPassword);
    int32_t first = -1, second = -1;
    EXPECT_EQ(Pc2Lan_Get_Session_Time(0, &first, &second), 0);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 20);
    EXPECT_EQ(Pc2Lan_Get_Session_Time(0, nullptr, nullptr), 0);
}

TEST_F(SessionTimeTest, AdministratorSetsThePair) {
    open_link(0);
    struct Row {
        int32_t first_in, second_in, result, first_out, second_out;
    };
    // Only the low 16 bits travel; the box refuses a session time above one day.
    const Row rows[] = {
        {3, 30, 0, 3, 30},      {0, 1440, 0, 0, 1440},
        {0, 1441, -4, 0, 1440}, {0x10005, 0x7000F, 0, 5, 15},
        {0, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.first_in << ", " << row.second_in);
        EXPECT_EQ(Pc2Lan_Set_Session_Time(0, row.first_in, row.second_in), row.result);
        int32_t first = -1, second = -1;
        EXPECT_EQ(Pc2Lan_Get_Session_Time(0, &first, &second), 0);
        EXPECT_EQ(first, row.first_out);
        EXPECT_EQ(second, row.second_out);
    }
}

TEST_F(SessionTimeTest, BasicUserMayNotSet) {
    open_link(0, kBasicUser, kBasicPassword);
    EXPECT_EQ(Pc2Lan_Set_Session_Time(0, 0, 30), -11);
    int32_t first = -1, second = -1;
    EXPECT_EQ(Pc2Lan_Get_Session_Time(0, &first, &second), 0);
    EXPECT_EQ(second, 20) << "a refused set changes nothing";
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
}

class IdleTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override { c.idle_limit_ms = 300; }
};

TEST_F(IdleTest, IdleLinkIsClosedByTheBox) {
    open_link(0);
    ASSERT_TRUE(wait_until([&] { return emu->open_connections() == 0; }));
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -3);
    EXPECT_TRUE(frames_since(mark).empty());

    int32_t level = 0;
    EXPECT_GE(Pc2Lan_Connect(0, &level, 2), 0) << "a closed link connects again";
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
}

class KeepAliveTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override { c.idle_limit_ms = 1000; }
};

TEST_F(KeepAliveTest, KeepAlivesHoldAnIdleSessionOpen) {
    open_link(0);
    // Twenty keep-alives a tenth of the idle limit apart span twice the limit.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Pc2Lan_Keep_Alive(0), 0) << "keep-alive " << i;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(emu->open_connections(), 1);
}

}  // namespace
}  // namespace integ

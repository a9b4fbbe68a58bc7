// Connecting and logging in, disconnecting, host texts, the two time-outs, the session-time pair
// and the keep-alive.
#include <gtest/gtest.h>

#include <optional>

#include "LinkFixture.h"

namespace linktest {
namespace {

Bytes login_payload(int32_t value, int32_t level) {
    return concat({le32(value), le32(level)});
}

using SessionTest = LinkTest;

TEST_F(SessionTest, ConnectDisconnectAndConnectAgain) {
    connect();
    EXPECT_TRUE(link_connected());
    EXPECT_EQ(peer.connections_accepted(), 1);
    EXPECT_EQ(Pc2Lan_Disconnect(kLink), 0);
    EXPECT_TRUE(peer.wait_for_open_connections(0));
    EXPECT_FALSE(link_connected());
    EXPECT_EQ(Pc2Lan_Disconnect(kLink), PC2LAN_NOT_CONNECTED);

    connect();
    EXPECT_EQ(peer.connections_accepted(), 2);
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    std::vector<Received> frames = peer.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].bytes.at(0), 0xC0) << "the new connection logs in first";
    EXPECT_EQ(frames[1].connection, 2);
}

TEST_F(SessionTest, ConnectingAConnectedLinkAnswersMinus11AndSendsNothing) {
    connect();
    size_t mark = peer.frame_count();
    int32_t level = 77;
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), -11);
    expect_nothing_sent_since(mark);
    EXPECT_EQ(peer.connections_accepted(), 1);
    EXPECT_EQ(peer.open_connections(), 1);
}

TEST_F(SessionTest, LoginValueIsTheResultAndTheLevelIsWrittenOut) {
    peer.push_ok(login_payload(7, 4));
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), 7);
    EXPECT_EQ(level, 4);
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);

    peer.push_ok(login_payload(0, 2));
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), 0);
    EXPECT_EQ(level, 2);
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);

    // 32 bits wide: the low half alone would read as the refusal -13.
    peer.push_ok(login_payload(0xFFF3, 0x10004));
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), 0xFFF3);
    EXPECT_EQ(level, 0x10004);
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);

    peer.push_ok(login_payload(3, 9));
    EXPECT_EQ(Pc2Lan_Connect(kLink, nullptr, 2), 3) << "the level pointer may be null";
    EXPECT_TRUE(link_connected());
}

// A refused login: box code -> Pc2Lan_Connect result. The link ends up disconnected.
struct RefusalCase {
    int32_t code;
    int32_t result;
};

const RefusalCase kLoginRefusals[] = {{-13, -12}, {-14, -13}, {-25, -14}, {-24, -15},
                                      {-12, -10}, {-20, -10}, {-23, -10}, {-99, -10}};

TEST_F(SessionTest, NegativeLoginValueIsMappedAndClearsTheLevel) {
    connect();
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);
    int connections = 1;
    for (RefusalCase c : kLoginRefusals) {
        SCOPED_TRACE(c.code);
        peer.push_ok(login_payload(c.code, 4));
        int32_t level = 77;
        EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), c.result);
        EXPECT_EQ(level, 0);
        EXPECT_EQ(peer.connections_accepted(), ++connections);
        EXPECT_TRUE(peer.wait_for_open_connections(0)) << "a refused login disconnects";
        EXPECT_FALSE(link_connected());
    }
    // The login value is 32 bits wide: its low half alone would read as 5.
    peer.push_ok(login_payload(static_cast<int32_t>(0xFFFF0005), 4));
    int32_t level = 77;
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), -10);
    EXPECT_EQ(level, 0);
}

TEST_F(SessionTest, RefusedLoginReplyIsMapped) {
    int connections = 0;
    for (RefusalCase c : kLoginRefusals) {
        for (int status : {2, 3}) {
            SCOPED_TRACE(testing::Message() << "code " << c.code << " status " << status);
            peer.push_refused(static_cast<int16_t>(c.code), status);
            int32_t level = 0;
            EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), c.result);
            EXPECT_EQ(peer.connections_accepted(), ++connections);
            EXPECT_TRUE(peer.wait_for_open_connections(0)) << "a refused login disconnects";
            EXPECT_FALSE(link_connected());
        }
    }
}

// An exchange failure during the login gives -10; the level keeps the previous login's value.
struct LoginFailure {
    const char* label;
    std::function<Answer(const Bytes&)> answer;
};

void PrintTo(const LoginFailure& c, std::ostream* os) {
    *os << c.label;
}

class LoginExchangeFailure : public LinkTest, public ::testing::WithParamInterface<LoginFailure> {};

TEST_P(LoginExchangeFailure, GivesMinus10AndLeavesTheLinkUnconnected) {
    connect();
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);
    peer.push(GetParam().answer);
    int32_t level = 77;
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), PC2LAN_FAILED);
    EXPECT_EQ(level, 4);
    EXPECT_TRUE(peer.wait_for_open_connections(0));
    EXPECT_FALSE(link_connected());
    connect();
}

INSTANTIATE_TEST_SUITE_P(
    Session, LoginExchangeFailure,
    ::testing::Values(LoginFailure{"Silence", [](const Bytes&) { return Answer::silence(); }},
                      LoginFailure{"Close", [](const Bytes&) { return Answer::close(); }},
                      LoginFailure{"NoVerdict",
                                   [](const Bytes& r) {
                                       return Answer::write(
                                           make_frame(0xC0, sequence_of(r), login_payload(0, 4)));
                                   }},
                      LoginFailure{"TwoBytes",
                                   [](const Bytes&) {
                                       return Answer::write({0xC0, 0x08});
                                   }},
                      LoginFailure{"ShorterThanItsLengthByte",
                                   [](const Bytes& r) {
                                       Bytes reply = reply_ok(r, login_payload(0, 4));
                                       reply[1] = 40;
                                       return Answer::write(reply);
                                   }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SessionTest, ConnectingToAPortNobodyListensOnGivesMinus10) {
    Pc2Lan_Delete(kLink);
    ASSERT_EQ(Pc2Lan_Create(kLink, "127.0.0.1", unused_port(), kUser, kPassword, "", ""), 0);
    int32_t level = 77;
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), PC2LAN_FAILED);
    EXPECT_FALSE(link_connected());
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    EXPECT_EQ(Pc2Lan_Disconnect(kLink), PC2LAN_NOT_CONNECTED);
}

// Four dotted numbers of 0..255 are an address; every other text goes to name resolution, and
// so does a text of four numbers that is no address inet_pton takes.
struct HostCase {
    const char* label;
    std::optional<std::string> host;
    int32_t result;
};

void PrintTo(const HostCase& c, std::ostream* os) {
    *os << c.label;
}

class HostText : public ::testing::TestWithParam<HostCase> {};

TEST_P(HostText, ConnectsOrFailsCleanly) {
    const HostCase& c = GetParam();
    ScriptedPeer peer;
    ASSERT_EQ(Pc2Lan_Create(47, c.host ? c.host->c_str() : nullptr, peer.port(), kUser, kPassword,
                            "", ""),
              0);
    int32_t level = 0;
    EXPECT_EQ(Pc2Lan_Connect(47, &level, 2), c.result);
    EXPECT_EQ(Pc2Lan_Keep_Alive(47), c.result == 0 ? 0 : PC2LAN_NOT_CONNECTED);
    EXPECT_EQ(Pc2Lan_Delete(47), 0);
    EXPECT_EQ(peer.connections_accepted(), c.result == 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Session, HostText,
    ::testing::Values(HostCase{"DottedAddress", "127.0.0.1", 0},
                      HostCase{"Localhost", "localhost", 0},
                      // Two numbers are no dotted address; the resolver reads them as 127.0.0.1.
                      HostCase{"ShortDottedFormIsResolved", "127.1", 0},
                      HostCase{"OctetAbove255", "192.168.0.300", -10},
                      // The resolver reads the leading zeros; inet_pton refuses them.
                      HostCase{"LeadingZerosAreResolved", "127.000.000.001", 0},
                      HostCase{"TrailingBlankIsResolved", "127.0.0.1 ", -10},
                      HostCase{"UnknownName", "no-such-box.invalid", -10},
                      HostCase{"Empty", "", -10}, HostCase{"Null", std::nullopt, -10}),
    [](const auto& info) { return std::string(info.param.label); });

// Io 101..59999, reply 251..59999; each valid value is stored even when the other is refused.
struct ComParamCase {
    int32_t io;
    int32_t reply;
    int32_t result;
    int32_t io_after;
    int32_t reply_after;
};

void PrintTo(const ComParamCase& c, std::ostream* os) {
    *os << "io " << c.io << ", reply " << c.reply;
}

class ComParam : public ::testing::TestWithParam<ComParamCase> {};

TEST_P(ComParam, StoresEachValidValue) {
    const ComParamCase& c = GetParam();
    ASSERT_EQ(Pc2Lan_Create(48, "127.0.0.1", 7777, kUser, kPassword, "", ""), 0);
    EXPECT_EQ(Pc2Lan_Set_Com_Param(48, c.io, c.reply), c.result);
    int32_t io = 0;
    int32_t reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(48, &io, &reply), 0);
    EXPECT_EQ(io, c.io_after);
    EXPECT_EQ(reply, c.reply_after);
    EXPECT_EQ(Pc2Lan_Delete(48), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Session, ComParam,
    ::testing::Values(ComParamCase{2500, 2500, 0, 2500, 2500},
                      ComParamCase{100, 3000, -4, 2500, 3000}, ComParamCase{101, 251, 0, 101, 251},
                      ComParamCase{60000, 60000, -4, 2500, 2500},
                      ComParamCase{59999, 59999, 0, 59999, 59999},
                      ComParamCase{101, 250, -4, 101, 2500}, ComParamCase{0, 0, -4, 2500, 2500},
                      ComParamCase{-300, 400, -4, 2500, 400},
                      ComParamCase{INT32_MIN, INT32_MAX, -4, 2500, 2500}),
    [](const auto& info) {
        auto number = [](int32_t value) {
            return value < 0 ? "Minus" + std::to_string(-int64_t{value}) : std::to_string(value);
        };
        return "Io" + number(info.param.io) + "Reply" + number(info.param.reply);
    });

TEST_F(SessionTest, GetComParamWritesWhatItCanAndRefusesANullPointer) {
    int32_t io = 0;
    int32_t reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(kLink, nullptr, &reply), PC2LAN_BAD_PARAMETER);
    EXPECT_EQ(reply, kShortReply);
    EXPECT_EQ(Pc2Lan_Get_Com_Param(kLink, &io, nullptr), PC2LAN_BAD_PARAMETER);
    EXPECT_EQ(io, kShortIo);
    EXPECT_EQ(Pc2Lan_Get_Com_Param(kLink, nullptr, nullptr), PC2LAN_BAD_PARAMETER);
}

TEST_F(SessionTest, TimeoutsWorkWhileConnectedAndSurviveReconnecting) {
    connect();
    EXPECT_EQ(Pc2Lan_Set_Com_Param(kLink, 150, 400), 0);
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);
    connect();
    int32_t io = 0;
    int32_t reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(kLink, &io, &reply), 0);
    EXPECT_EQ(io, 150);
    EXPECT_EQ(reply, 400);
}

TEST_F(SessionTest, SetSessionTimeNeedsAResultWord) {
    connect();
    for (Bytes payload : {Bytes{}, Bytes{0x00}}) {
        SCOPED_TRACE(payload.size());
        peer.push_ok(payload);
        EXPECT_EQ(Pc2Lan_Set_Session_Time(kLink, 1, 10), PC2LAN_FAILED);
    }
    peer.push_ok({0x00, 0x00});
    EXPECT_EQ(Pc2Lan_Set_Session_Time(kLink, 1, 10), 0);
    expect_still_connected();
}

TEST_F(SessionTest, GetSessionTimeReadsTwoUnsignedWords) {
    connect();
    peer.push_ok({0xFF, 0xFF, 0x34, 0x12});
    int32_t first = -1;
    int32_t second = -1;
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), 0);
    EXPECT_EQ(first, 65535);
    EXPECT_EQ(second, 0x1234);

    peer.push_ok({0x01, 0x00, 0x0A, 0x00});
    second = -1;
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, nullptr, &second), 0);
    EXPECT_EQ(second, 10);
}

TEST_F(SessionTest, GetSessionTimeWithLengthByte3Fails) {
    connect();
    peer.push_ok({0x01, 0x00, 0x0A});
    int32_t first = -1;
    int32_t second = -1;
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), PC2LAN_FAILED);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(second, -1);
    expect_still_connected();
}

TEST_F(SessionTest, SessionTimeOnAnUnconnectedLinkGivesMinus3) {
    int32_t first = -1;
    int32_t second = -1;
    EXPECT_EQ(Pc2Lan_Set_Session_Time(kLink, 1, 10), PC2LAN_NOT_CONNECTED);
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), PC2LAN_NOT_CONNECTED);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(second, -1);
    EXPECT_EQ(peer.connections_accepted(), 0);
}

TEST_F(SessionTest, KeepAliveDropsTheValueTheBoxAnswers) {
    connect();
    peer.push_ok(le16(-5));
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0) << "the keep-alive value is no result word";
    peer.push_ok({});
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    expect_still_connected();
}

}  // namespace
}  // namespace linktest

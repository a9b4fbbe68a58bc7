// Request frames byte for byte: sequence numbers, checksums, the coded login and account
// areas, and the payload layout of every command.
#include <gtest/gtest.h>

#include <optional>

#include "LinkFixture.h"

namespace linktest {
namespace {

Bytes padded(const std::string& text, size_t width) {
    Bytes field = text_bytes(text.substr(0, width));
    field.resize(width, 0);
    return field;
}

Bytes counting(uint8_t first, size_t count) {
    Bytes bytes;
    for (size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>(first + i));
    }
    return bytes;
}

using FrameTest = LinkTest;

TEST_F(FrameTest, SequenceNumberStartsAtOneAndWrapsAfter63) {
    connect();
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    }
    std::vector<Received> frames = peer.frames();
    ASSERT_EQ(frames.size(), 65u);
    EXPECT_EQ(sequence_of(frames[0].bytes), 1) << "the login is the first frame";
    for (size_t n = 2; n <= 65; ++n) {
        uint8_t sequence = static_cast<uint8_t>(n % 64);
        EXPECT_EQ(frames[n - 1].bytes, make_frame(0x80, sequence, {})) << "frame " << n;
    }
    EXPECT_EQ(sequence_of(frames[63].bytes), 0) << "the 64th frame";
    EXPECT_EQ(sequence_of(frames[64].bytes), 1) << "the 65th frame";
}

TEST_F(FrameTest, SequenceNumberSurvivesDisconnectAndLostConnections) {
    connect();
    ASSERT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    ASSERT_EQ(Pc2Lan_Disconnect(kLink), 0);
    connect();
    peer.push(Answer::close());
    ASSERT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    connect();
    ASSERT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    std::vector<Received> frames = peer.frames();
    ASSERT_EQ(frames.size(), 6u);
    const int connection[] = {1, 1, 2, 2, 3, 3};
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(sequence_of(frames[i].bytes), i + 1) << "frame " << i + 1;
        EXPECT_EQ(frames[i].connection, connection[i]) << "frame " << i + 1;
    }
}

TEST_F(FrameTest, EveryExchangeTakesExactlyOneSequenceNumber) {
    connect();
    peer.push_refused(-99);
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_FAILED);
    peer.push([](const Bytes& request) {
        return Answer::write(make_frame(0x80, sequence_of(request), {0, 0}));
    });
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_FAILED);
    peer.push(Answer::write({0x63, 0x04}));
    int32_t first = 0;
    int32_t second = 0;
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), PC2LAN_FAILED);
    EXPECT_EQ(Pc2Lan_Get_Version(kLink, &first, &second), 0);
    peer.push([](const Bytes& request) {
        return Answer::write(make_frame(0x80, 0x40 | stale_sequence(request), {0, 0}));
    });
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    std::vector<Received> frames = peer.frames();
    ASSERT_EQ(frames.size(), 8u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(sequence_of(frames[i].bytes), i + 1) << hex(frames[i].bytes);
    }
}

TEST_F(FrameTest, ChecksumIsTheSumOfAllBytesModulo256) {
    connect();
    ASSERT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    ASSERT_EQ(Pc2Lan_Account_Store(kLink), 0);
    ASSERT_EQ(Pc2Lan_Connection_Kill(kLink, 0xFFFF, -1), 0);
    std::vector<Bytes> frames = frames_since(1);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Bytes{0x80, 0x00, 0x02, 0x82}));
    EXPECT_EQ(frames[1], (Bytes{0xD6, 0x00, 0x03, 0xD9}));
    EXPECT_EQ(frames[2], (Bytes{0xD9, 0x04, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xDD}));
}

// The login frame: C0, 40, sequence 1, the coded name field (bytes 3-22), the coded password
// field (bytes 23-42), checksum. A field shorter than 20 characters ends in a coded zero; what
// follows that terminator carries no meaning.
struct LoginCase {
    const char* label;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

void PrintTo(const LoginCase& c, std::ostream* os) {
    *os << c.label;
}

class LoginFrame : public ::testing::TestWithParam<LoginCase> {};

Bytes field_prefix(const std::optional<std::string>& text, int first_position) {
    std::string plain = text.value_or("").substr(0, 20);
    Bytes bytes = text_bytes(plain);
    if (bytes.size() < 20) {
        bytes.push_back(0);
    }
    return wire_code(bytes, first_position);
}

TEST_P(LoginFrame, CodesNameAndPasswordWithTheirPositions) {
    const LoginCase& c = GetParam();
    ScriptedPeer peer;
    ASSERT_EQ(Pc2Lan_Create(46, "127.0.0.1", peer.port(), c.user ? c.user->c_str() : nullptr,
                            c.password ? c.password->c_str() : nullptr, "", ""),
              0);
    int32_t level = 0;
    EXPECT_EQ(Pc2Lan_Connect(46, &level, 2), 0);
    EXPECT_EQ(Pc2Lan_Delete(46), 0);
    ASSERT_EQ(peer.frame_count(), 1u);
    Bytes login = peer.frames()[0].bytes;
    ASSERT_EQ(login.size(), 44u) << hex(login);
    EXPECT_EQ(login[0], 0xC0);
    EXPECT_EQ(login[1], 40);
    EXPECT_EQ(login[2], 1);
    EXPECT_EQ(request_fault(login), "");
    Bytes name = field_prefix(c.user, 0);
    Bytes password = field_prefix(c.password, 20);
    EXPECT_EQ(hex(Bytes(login.begin() + 3, login.begin() + 3 + name.size())), hex(name));
    EXPECT_EQ(hex(Bytes(login.begin() + 23, login.begin() + 23 + password.size())), hex(password));
}

const std::string kTwenty = "ABCDEFGHIJKLMNOPQRST";
const std::string kTwentyFive = "abcdefghijklmnopqrstuvwxy";

INSTANTIATE_TEST_SUITE_P(Login, LoginFrame,
                         ::testing::Values(LoginCase{"Short", "ab", "xyz"},
                                           LoginCase{"Empty", "", ""},
                                           LoginCase{"NullUser", std::nullopt, "pw"},
                                           LoginCase{"NullPassword", "BasicUser", std::nullopt},
                                           LoginCase{"Nineteen", kTwenty.substr(0, 19), "p"},
                                           LoginCase{"Twenty", kTwenty, kTwenty},
                                           LoginCase{"TwentyFive", kTwentyFive, kTwentyFive},
                                           LoginCase{"HighBytes", "\xE9t\xE9", "\xFF\x80"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(FrameTest, EmptyNameAndPasswordTravelAsTheirKeyBytes) {
    Pc2Lan_Delete(kLink);
    ASSERT_EQ(Pc2Lan_Create(kLink, "127.0.0.1", peer.port(), "", nullptr, "", ""), 0);
    connect();
    Bytes login = peer.frames().at(0).bytes;
    EXPECT_EQ(login.at(3), 0x5D);
    EXPECT_EQ(login.at(23), 0x71);
}

TEST_F(FrameTest, TwentyCharacterNameHasNoTerminator) {
    Pc2Lan_Delete(kLink);
    ASSERT_EQ(Pc2Lan_Create(kLink, "127.0.0.1", peer.port(), kTwentyFive.c_str(), "pw", "", ""), 0);
    connect();
    Bytes login = peer.frames().at(0).bytes;
    EXPECT_EQ(hex(Bytes(login.begin() + 3, login.begin() + 23)),
              hex(wire_code(text_bytes(kTwentyFive.substr(0, 20)), 0)));
    EXPECT_EQ(login.at(23), 'p' ^ 0x71) << "the password field follows at once";
}

TEST_F(FrameTest, CanRequestExampleFrame) {
    connect();
    ASSERT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    CanMessage request{{0x00, 0x20, 0x08, 0x00}, 0, {}};
    CanMessage reply{};
    ASSERT_EQ(Pc2Lan_Can_Request(kLink, &request, &reply), 0);
    EXPECT_EQ(hex(only_frame_since(2)), "10 05 03 00 20 08 00 00 40");
}

TEST_F(FrameTest, AccountAreaStartsAtByteFiveAndIsZeroPadded) {
    connect();
    ASSERT_EQ(Pc2Lan_Account_Add(kLink, 1, "abc", "pw", 0, 0), 0);
    Bytes frame = only_frame_since(1);
    ASSERT_EQ(frame.size(), 54u);
    EXPECT_EQ(frame[5], 'a' ^ 0x5D);
    EXPECT_EQ(frame[6], 'b' ^ 0x5E);
    EXPECT_EQ(frame[7], 'c' ^ 0x5F);
    for (int k = 3; k < 20; ++k) {
        EXPECT_EQ(frame[5 + k], 0x5D + k) << "name position " << k;
    }
    EXPECT_EQ(frame[25], 'p' ^ 0x71);
    EXPECT_EQ(frame[26], 'w' ^ 0x72);
    for (int k = 22; k < 40; ++k) {
        EXPECT_EQ(frame[5 + k], 0x5D + k) << "password position " << k;
    }
}

// Every command's request: command byte, length and payload, behind the login (sequence 1).
struct RequestCase {
    const char* label;
    std::function<int32_t(int32_t)> call;
    std::vector<std::pair<uint8_t, Bytes>> frames;
    int32_t result = 0;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    *os << c.label;
}

class RequestLayout : public LinkTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestLayout, MatchesTheCommandTable) {
    const RequestCase& c = GetParam();
    connect();
    EXPECT_EQ(c.call(kLink), c.result);
    std::vector<Bytes> frames = frames_since(1);
    ASSERT_EQ(frames.size(), c.frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        uint8_t sequence = static_cast<uint8_t>(2 + i);
        EXPECT_EQ(hex(frames[i]), hex(make_frame(c.frames[i].first, sequence, c.frames[i].second)))
            << "frame " << i + 1;
    }
}

int32_t can_request(int32_t link, const Bytes& header, const Bytes& data) {
    CanMessage request{};
    std::copy(header.begin(), header.end(), request.Header);
    request.Length = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), request.Data);
    CanMessage reply{};
    return Pc2Lan_Can_Request(link, &request, &reply);
}

Bytes account_payload(int account, const std::string& name, const std::string& password,
                      int32_t value, int32_t flag) {
    return concat({le16(account), wire_code(concat({padded(name, 20), padded(password, 20)}), 0),
                   le32(value), le32(flag)});
}

std::vector<RequestCase> request_cases() {
    Bytes sixteen = counting(0x30, 16);
    Bytes seventy_eight = counting(1, 78);
    return {
        {"KeepAlive", [](int32_t l) { return Pc2Lan_Keep_Alive(l); }, {{0x80, {}}}},
        {"VersionBoth",
         [](int32_t l) {
             int32_t a = 0, b = 0;
             return Pc2Lan_Get_Version(l, &a, &b);
         },
         {{0x80, {}}, {0x00, {}}}},
        {"VersionFirstOnly",
         [](int32_t l) {
             int32_t a = 0;
             return Pc2Lan_Get_Version(l, &a, nullptr);
         },
         {{0x80, {}}}},
        {"VersionSecondOnly",
         [](int32_t l) {
             int32_t b = 0;
             return Pc2Lan_Get_Version(l, nullptr, &b);
         },
         {{0x00, {}}}},
        {"Serial",
         [](int32_t l) {
             char serial[96];
             return Pc2Lan_Get_Serial(l, serial);
         },
         {{0x01, {}}}},
        {"Sleep",
         [](int32_t l) {
             uint8_t state = 0;
             return Pc2Lan_Get_Sleep(l, &state);
         },
         {{0x11, {}}}},
        {"CanLength8",
         [](int32_t l) {
             return can_request(l, {0x04, 0x31, 0x08, 0x02}, counting(1, 8));
         },
         {{0x10, concat({{0x04, 0x31, 0x08, 0x02, 0x08}, counting(1, 8)})}}},
        {"CanLength32",
         [](int32_t l) {
             return can_request(l, {0x08, 0x41, 0x07, 0x02}, counting(0xA0, 32));
         },
         {{0x10, concat({{0x08, 0x41, 0x07, 0x02, 0x20}, counting(0xA0, 32)})}}},
        {"SetSessionTimeLow16Bits",
         [](int32_t l) { return Pc2Lan_Set_Session_Time(l, 0x12345, -2); },
         {{0x62, {0x45, 0x23, 0xFE, 0xFF}}}},
        {"GetSessionTime",
         [](int32_t l) {
             int32_t a = 0, b = 0;
             return Pc2Lan_Get_Session_Time(l, &a, &b);
         },
         {{0x63, {}}}},
        {"MonitorSetState",
         [](int32_t l) {
             uint8_t a = 0x5A, b = 0xA5;
             return Pc2Lan_Can_Monitor_Set_State(l, &a, &b);
         },
         {{0xA0, {0x5A, 0xA5}}}},
        {"MonitorGetState",
         [](int32_t l) {
             uint8_t a = 0, b = 0;
             int32_t n = 0;
             return Pc2Lan_Can_Monitor_Get_State(l, &a, &b, &n);
         },
         {{0xA1, {}}}},
        {"MonitorRequestThree",
         [](int32_t l) {
             uint8_t buffers[3][16];
             uint8_t* records[3] = {buffers[0], buffers[1], buffers[2]};
             return Pc2Lan_Can_Monitor_Request(l, records, 3, 0);
         },
         {{0xA2, {0x03, 0x00}}}},
        {"AccountNumbers",
         [](int32_t l) {
             int32_t a = 0, b = 0;
             return Pc2Lan_Account_Numbers(l, &a, &b);
         },
         {{0xD0, {}}}},
        {"AccountGetInfoLow16Bits",
         [](int32_t l) {
             char name[32], password[32];
             int32_t value = 0, flag = 0;
             return Pc2Lan_Account_Get_Info(l, 0x10007, name, password, &value, &flag);
         },
         {{0xD1, {0x07, 0x00}}}},
        {"AccountAddFlagFiveIsOne",
         [](int32_t l) { return Pc2Lan_Account_Add(l, 0x10002, "abc", "pw", 0x01020304, 5); },
         {{0xD2, account_payload(2, "abc", "pw", 0x01020304, 1)}}},
        {"AccountAddFlagZero",
         [](int32_t l) { return Pc2Lan_Account_Add(l, 9, "Guest", "", -2, 0); },
         {{0xD2, account_payload(9, "Guest", "", -2, 0)}}},
        {"AccountModifyCutsAt20",
         [](int32_t l) {
             return Pc2Lan_Account_Modify(l, 1, "abcdefghijklmnopqrstuvwxy",
                                          "ABCDEFGHIJKLMNOPQRSTUVWXY", 4, -1);
         },
         {{0xD4, account_payload(1, "abcdefghijklmnopqrst", "ABCDEFGHIJKLMNOPQRST", 4, 1)}}},
        {"AccountRemove",
         [](int32_t l) { return Pc2Lan_Account_Remove(l, 0x10003); },
         {{0xD3, {0x03, 0x00}}}},
        {"AccountUpdate", [](int32_t l) { return Pc2Lan_Account_Update(l); }, {{0xD5, {}}}},
        {"AccountStore", [](int32_t l) { return Pc2Lan_Account_Store(l); }, {{0xD6, {}}}},
        {"ConnectionInfo",
         [](int32_t l) {
             uint8_t block[36];
             return Pc2Lan_Connection_Info(l, 0x10005, block);
         },
         {{0xD8, {0x05, 0x00}}}},
        {"ConnectionKill",
         [](int32_t l) { return Pc2Lan_Connection_Kill(l, 0x12345, 0xFFFF); },
         {{0xD9, {0x45, 0x23, 0xFF, 0xFF}}}},
        {"EnterBoot", [](int32_t l) { return Pc2Lan_Micro_EnterBoot(l); }, {{0x70, {0x6B, 0x94}}}},
        {"ReBoot", [](int32_t l) { return Pc2Lan_Micro_ReBoot(l); }, {{0x73, {}}}},
        {"Erase",
         [](int32_t l) {
             uint8_t block = 0x07;
             return Pc2Lan_Micro_Erase(l, &block);
         },
         {{0x71, {0x07}}}},
        {"FProgramSixteen",
         [sixteen](int32_t l) {
             Bytes data = sixteen;
             return Pc2Lan_Micro_FProgram(l, 0x1ABCD, data.data(), 16);
         },
         {{0x72, concat({{0xCD, 0xAB}, sixteen})}}},
        {"FProgramNothing",
         [](int32_t l) {
             uint8_t data[1] = {0xEE};
             return Pc2Lan_Micro_FProgram(l, 0x0010, data, 0);
         },
         {{0x72, {0x10, 0x00}}}},
        {"FProgramSeventyEight",
         [seventy_eight](int32_t l) {
             Bytes data = seventy_eight;
             return Pc2Lan_Micro_FProgram(l, 0x2000, data.data(), 78);
         },
         {{0x72, concat({{0x00, 0x20}, seventy_eight})}}},
        {"EProgramWriteThenReadBack",
         [](int32_t l) {
             uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
             return Pc2Lan_Micro_EProgram(l, 0x0102, data, 4);
         },
         {{0x79, {0x02, 0x01, 0xDE, 0xAD, 0xBE, 0xEF}}, {0x78, {0x02, 0x01, 0x04}}},
         2},
    };
}

INSTANTIATE_TEST_SUITE_P(Commands, RequestLayout, ::testing::ValuesIn(request_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace linktest

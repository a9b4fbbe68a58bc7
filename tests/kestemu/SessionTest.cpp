// Framing, login, box information and the session-time pair, seen from a raw client.
#include <gtest/gtest.h>

#include "RawClient.h"

namespace kestemu::test {
namespace {

TEST(Framing, RepliesRepeatCommandAndSequenceWithAValidChecksum) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    client.login_admin();
    // 70 requests take the sequence number through 63 and back over 0.
    for (int i = 0; i < 70; ++i) {
        const Bytes request = client.next_frame(0x80);
        client.send_bytes(request);
        const auto reply = client.read_frame();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->command(), 0x80);
        EXPECT_EQ(reply->sequence(), request[2]);
        EXPECT_EQ(reply->status(), 1);
        EXPECT_TRUE(reply->checksum_ok());
    }
}

TEST(Framing, FramesSplitAcrossWritesAndSeveralInOneWrite) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    const Bytes login = client.next_frame(0xC0, coded_area("Administrator", "admin1234"));
    for (uint8_t b : login) {
        client.send_bytes({b});
    }
    const auto login_reply = client.read_frame();
    ASSERT_TRUE(login_reply);
    EXPECT_EQ(login_reply->status(), 1);

    Bytes burst;
    std::vector<uint8_t> commands = {0x80, 0x00, 0x11, 0x63, 0x01};
    for (uint8_t command : commands) {
        burst = burst + client.next_frame(command);
    }
    client.send_bytes(burst);
    for (size_t i = 0; i < commands.size(); ++i) {
        const auto reply = client.read_frame();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->command(), commands[i]);
        EXPECT_EQ(reply->sequence(), static_cast<int>(2 + i));
    }
}

TEST(Framing, LengthByteAbove80ClosesTheConnection) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    client.login_admin();
    client.send_bytes({0x80, 81, 0x02});
    EXPECT_TRUE(client.wait_closed());
}

TEST(Framing, BadChecksumAndUnknownCommandsAreRefused) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    client.login_admin();
    Bytes bad = client.next_frame(0x80);
    bad.back() ^= 0x01;
    client.send_bytes(bad);
    const auto reply = client.read_frame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->refusal(), -32);
    EXPECT_EQ(reply->sequence(), bad[2]);
    for (uint8_t command : {0x02, 0x12, 0x61, 0x74, 0x81, 0xA3, 0xC1, 0xD7, 0xDA, 0xFF}) {
        const Frame r = client.request(command);
        EXPECT_EQ(r.command(), command);
        EXPECT_EQ(r.status(), 2);
        EXPECT_EQ(r.refusal(), -30) << std::hex << int(command);
    }
}

TEST(Login, EveryCommandBeforeLoginIsNotPermitted) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    for (uint8_t command :
         {0x80, 0x00, 0x01, 0x10, 0x11, 0x62, 0x63, 0x70, 0x73, 0xA1, 0xD0, 0xD8, 0x55}) {
        const Frame r = client.request(command, Bytes(6, 0));
        EXPECT_EQ(r.refusal(), -12) << std::hex << int(command);
    }
    EXPECT_EQ(client.login_admin().status(), 1);
    EXPECT_EQ(client.request(0x80).status(), 1);
}

TEST(Login, AnswersTheAccountIndexAndLevelOrRefuses) {
    Config config = test_config();
    config.accounts = {{"BasicUser", "basic1234", 3, 1},
                       {"Administrator", "admin1234", 4, 1},
                       {"Sleeper", "zzzzzzzz", 2, 0},
                       {"ABCDEFGHIJKLMNOPQRST", "12345678901234567890", 1, 1}};
    auto box = start_box(config);
    struct Case {
        std::string name;
        std::string password;
        int16_t refusal;
        uint32_t value;
        uint32_t level;
    };
    const std::vector<Case> cases = {
        {"Administrator", "admin1234", 0, 1, 4},
        {"BasicUser", "basic1234", 0, 0, 3},
        {"ABCDEFGHIJKLMNOPQRST", "12345678901234567890", 0, 3, 1},  // no terminators
        {"Administrator", "admin123", -13, 0, 0},
        {"Administrator", "admin12345", -13, 0, 0},
        {"administrator", "admin1234", -13, 0, 0},
        {"Nobody", "admin1234", -13, 0, 0},
        {"", "", -13, 0, 0},
        {"Sleeper", "zzzzzzzz", -14, 0, 0},
        {"Sleeper", "wrong", -13, 0, 0},
    };
    for (const Case& c : cases) {
        RawClient client(box->port());
        const Frame r = client.login(c.name, c.password);
        EXPECT_EQ(r.command(), 0xC0);
        EXPECT_EQ(r.refusal(), c.refusal) << c.name << "/" << c.password;
        if (c.refusal == 0) {
            EXPECT_EQ(r.length(), 8);
            EXPECT_EQ(r.u32(3), c.value) << c.name;
            EXPECT_EQ(r.u32(7), c.level) << c.name;
        } else {
            EXPECT_EQ(client.request(0x80).refusal(), -12) << c.name;
        }
    }
}

TEST(Login, BytesBehindTheCodedTerminatorDoNotMatter) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    Bytes area = coded_area("BasicUser", "basic1234");
    for (size_t k = 10; k < 20; ++k) {
        area[k] = static_cast<uint8_t>(0xA5 + k);  // name field after its terminator at 9
    }
    for (size_t k = 30; k < 40; ++k) {
        area[k] = static_cast<uint8_t>(3 * k);  // password field after its terminator at 29
    }
    const Frame r = client.request(0xC0, area);
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(r.u32(7), 3u);
}

TEST(Login, ShortLoginPayloadIsRefused) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    EXPECT_EQ(client.request(0xC0, Bytes(39, 0x5D)).refusal(), -31);
}

TEST(Login, ARefusedSecondLoginLogsTheSessionOut) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    EXPECT_EQ(client.login_basic().status(), 1);
    EXPECT_EQ(client.login_admin().u32(7), 4u);  // a second login switches the account
    EXPECT_EQ(client.login("Administrator", "nope").refusal(), -13);
    EXPECT_EQ(client.request(0x80).refusal(), -12);
}

TEST(BoxInfo, VersionsSerialAndSleepState) {
    Config config = test_config();
    config.serial = "SN-1234";
    auto box = start_box(config);
    RawClient client(box->port());
    client.login_basic();
    struct Case {
        uint8_t command;
        Bytes payload;
    };
    const std::vector<Case> cases = {
        {0x80, {0x03, 0x02}},
        {0x00, {0x05, 0x01}},
        {0x01, {'S', 'N', '-', '1', '2', '3', '4'}},
        {0x11, {0x00}},
    };
    for (const Case& c : cases) {
        const Frame r = client.request(c.command);
        EXPECT_EQ(r.status(), 1);
        EXPECT_EQ(Bytes(r.bytes.begin() + 3, r.bytes.end() - 1), c.payload) << int(c.command);
    }
}

TEST(BoxInfo, LongSerialIsCutAt80Characters) {
    Config config = test_config();
    config.serial = std::string(100, 'x');
    auto box = start_box(config);
    RawClient client(box->port());
    client.login_basic();
    EXPECT_EQ(client.request(0x01).length(), 80);
}

TEST(SessionTime, DefaultsSetAndReadBoxWide) {
    Config config = test_config();
    config.session_minutes = 25;
    auto box = start_box(config);
    RawClient admin(box->port());
    RawClient basic(box->port());
    admin.login_admin();
    basic.login_basic();

    Frame r = basic.request(0x63);
    EXPECT_EQ(r.length(), 4);
    EXPECT_EQ(r.u16(3), 0);
    EXPECT_EQ(r.u16(5), 25);

    r = admin.request(0x62, le16(7) + le16(30));
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(r.length(), 2);
    EXPECT_EQ(r.s16(3), 0);
    r = basic.request(0x63);
    EXPECT_EQ(r.u16(3), 7);
    EXPECT_EQ(r.u16(5), 30);

    EXPECT_EQ(basic.request(0x62, le16(1) + le16(2)).refusal(), -12);
    EXPECT_EQ(admin.request(0x62, le16(0) + le16(1441)).refusal(), -13);
    EXPECT_EQ(admin.request(0x62, le16(1441) + le16(10)).refusal(), -13);
    EXPECT_EQ(admin.request(0x62, le16(1440) + le16(1440)).status(), 1);
    EXPECT_EQ(admin.request(0x62, le16(5)).refusal(), -31);
    r = basic.request(0x63);
    EXPECT_EQ(r.u16(3), 1440);
    EXPECT_EQ(r.u16(5), 1440);
}

TEST(SessionTime, IdleConnectionsAreClosed) {
    Config config = test_config();
    config.idle_limit_ms = 100;
    auto box = start_box(config);
    RawClient logged_in(box->port());
    logged_in.login_basic();
    RawClient silent(box->port());
    EXPECT_TRUE(logged_in.wait_closed());
    EXPECT_TRUE(silent.wait_closed());
    EXPECT_TRUE(wait_until([&] { return box->open_connections() == 0; }));
}

}  // namespace
}  // namespace kestemu::test

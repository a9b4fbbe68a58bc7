// Connections: numbers, information, kill, session limits, many clients at once, the frame log,
// and the box's start and stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RawClient.h"

namespace kestemu::test {
namespace {

struct ConnectionInfo {
    int16_t refusal;
    Bytes block;
    uint16_t slot() const { return static_cast<uint16_t>(block[0] | block[1] << 8); }
    uint16_t port() const { return static_cast<uint16_t>(block[6] | block[7] << 8); }
    uint16_t account() const { return static_cast<uint16_t>(block[8] | block[9] << 8); }
    uint32_t u32(int at) const {
        return block[at] | block[at + 1] << 8 | block[at + 2] << 16 |
               static_cast<uint32_t>(block[at + 3]) << 24;
    }
    std::string name() const {
        std::string s;
        for (int i = 18; i < 36 && block[i] != 0; ++i) {
            s += static_cast<char>(block[i]);
        }
        return s;
    }
};

ConnectionInfo info(RawClient& client, uint16_t slot) {
    const Frame f = client.request(0xD8, le16(slot));
    ConnectionInfo result{f.refusal(), {}};
    if (result.refusal == 0) {
        EXPECT_EQ(f.length(), 40);
        EXPECT_EQ(f.s16(3), 0);
        EXPECT_EQ(f.u16(5), 0);
        result.block.assign(f.bytes.begin() + 7, f.bytes.begin() + 43);
    }
    return result;
}

Config limited(int max_connections) {
    Config config = test_config();
    config.max_connections = max_connections;
    return config;
}

TEST(Connections, InformationBlock) {
    auto box = start_box(limited(4));
    RawClient admin(box->port());
    admin.login_admin();
    admin.request(0x80);
    RawClient anonymous(box->port());
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 2; }));

    const ConnectionInfo own = info(admin, 0);
    ASSERT_EQ(own.refusal, 0);
    EXPECT_EQ(own.slot(), 0);
    EXPECT_EQ(Bytes(own.block.begin() + 2, own.block.begin() + 6), (Bytes{127, 0, 0, 1}));
    EXPECT_EQ(own.port(), admin.local_port());
    EXPECT_EQ(own.account(), 1);
    EXPECT_LT(own.u32(10), 60u);
    EXPECT_EQ(own.u32(14), 3u);  // login, keep-alive, this request
    EXPECT_EQ(own.name(), "Administrator");

    const ConnectionInfo other = info(admin, 1);
    ASSERT_EQ(other.refusal, 0);
    EXPECT_EQ(other.slot(), 1);
    EXPECT_EQ(other.port(), anonymous.local_port());
    EXPECT_EQ(other.account(), 0xFFFF);
    EXPECT_EQ(other.u32(14), 0u);
    EXPECT_EQ(other.name(), "");

    EXPECT_EQ(info(admin, 2).refusal, -21);
    EXPECT_EQ(info(admin, 3).refusal, -21);
    EXPECT_EQ(info(admin, 4).refusal, -11);
    EXPECT_EQ(admin.request(0xD8).refusal(), -31);
}

TEST(Connections, KillClosesAnotherConnection) {
    auto box = start_box(limited(4));
    RawClient admin(box->port());
    admin.login_admin();
    RawClient victim(box->port());
    victim.login_basic();

    EXPECT_EQ(admin.request(0xD9, le16(0) + le16(0)).refusal(), -22);
    EXPECT_EQ(admin.request(0xD9, le16(2) + le16(0)).refusal(), -21);
    EXPECT_EQ(admin.request(0xD9, le16(4) + le16(0)).refusal(), -11);
    const Frame killed = admin.request(0xD9, le16(1) + le16(1234));
    EXPECT_EQ(killed.status(), 1);
    EXPECT_EQ(killed.length(), 2);
    EXPECT_TRUE(victim.wait_closed());
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 1; }));
    EXPECT_EQ(info(admin, 1).refusal, -21);
    EXPECT_EQ(admin.request(0x80).status(), 1);
}

TEST(Connections, LowestFreeNumberIsReused) {
    auto box = start_box(limited(4));
    RawClient admin(box->port());
    admin.login_admin();
    auto second = std::make_unique<RawClient>(box->port());
    RawClient third(box->port());
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 3; }));
    const uint16_t second_port = static_cast<uint16_t>(second->local_port());
    EXPECT_EQ(info(admin, 1).port(), second_port);
    second.reset();
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 2; }));
    RawClient fourth(box->port());
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 3; }));
    EXPECT_EQ(info(admin, 1).port(), fourth.local_port());
    EXPECT_EQ(info(admin, 2).port(), third.local_port());
    EXPECT_EQ(box->accepted_connections(), 4);
}

TEST(Connections, SessionLimit) {
    auto box = start_box(limited(2));
    RawClient a(box->port());
    RawClient b(box->port());
    RawClient c(box->port());
    EXPECT_EQ(a.login_basic().status(), 1);
    EXPECT_EQ(b.login_basic().status(), 1);
    EXPECT_EQ(c.login_basic().refusal(), -25);
    EXPECT_EQ(b.login_admin().status(), 1);  // a second login of a session still counts once
    a.send_bytes({0x80, 81});                // not a frame: the box closes a
    ASSERT_TRUE(a.wait_closed());
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 2; }));
    RawClient d(box->port());
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 3; }));
    // d took the number a gave up; c, accepted while both numbers were taken, has none.
    EXPECT_EQ(d.login_basic().status(), 1);
    EXPECT_EQ(c.login_basic().refusal(), -25);
}

TEST(Connections, ManyAtOnce) {
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 2048 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    constexpr int kClients = 256;
    auto box = start_box(test_config());
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<RawClient>(box->port()));
        ASSERT_TRUE(clients.back()->connected());
    }
    for (auto& c : clients) {
        c->send_bytes(c->next_frame(0xC0, coded_area("BasicUser", "basic1234")));
    }
    for (auto& c : clients) {
        const auto reply = c->read_frame();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status(), 1);
    }
    EXPECT_EQ(box->open_connections(), kClients);
    for (int round = 0; round < 3; ++round) {
        for (auto& c : clients) {
            c->send_bytes(c->next_frame(0x10, can_payload(8, 0x31, 8, 2)));
        }
        for (auto& c : clients) {
            const auto reply = c->read_frame();
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->status(), 1);
            EXPECT_EQ(reply->length(), 9);
        }
    }
    clients.clear();
    EXPECT_TRUE(wait_until([&] { return box->open_connections() == 0; }));
    EXPECT_EQ(box->accepted_connections(), kClients);
}

TEST(Connections, FrameLogKeepsEveryFrameVerbatim) {
    auto box = start_box(test_config());
    RawClient first(box->port());
    const Bytes login = first.next_frame(0xC0, coded_area("BasicUser", "basic1234"));
    first.send_bytes(login);
    ASSERT_TRUE(first.read_frame());
    RawClient second(box->port());
    Bytes odd = second.next_frame(0x80);
    odd.back() ^= 0xFF;  // a bad checksum is logged all the same
    second.send_bytes(odd);
    ASSERT_TRUE(second.read_frame());
    const Bytes keep_alive = first.next_frame(0x80);
    first.send_bytes(keep_alive);
    ASSERT_TRUE(first.read_frame());

    const auto log = box->received();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].connection, 1);
    EXPECT_EQ(log[0].bytes, login);
    EXPECT_EQ(log[1].connection, 2);
    EXPECT_EQ(log[1].bytes, odd);
    EXPECT_EQ(log[2].connection, 1);
    EXPECT_EQ(log[2].bytes, keep_alive);
    box->clear_received();
    EXPECT_TRUE(box->received().empty());
}

TEST(BoxLifecycle, StartReportsWhatIsWrong) {
    struct Case {
        std::function<void(Config&)> change;
    };
    const std::vector<Case> cases = {
        {[](Config& c) { c.clock = "2024-02-30 10:00"; }},
        {[](Config& c) { c.installed = "yesterday"; }},
        {[](Config& c) { c.installed = "2024-01-01 10:00"; }},
        {[](Config& c) { c.bind = "localhost"; }},
        {[](Config& c) { c.bind = "10.1.2.300"; }},
        {[](Config& c) { c.inverters = "ABX"; }},
        {[](Config& c) { c.inverters = "AA"; }},
        {[](Config& c) { c.max_connections = 0; }},
        {[](Config& c) { c.erase_ms = -1; }},
        {[](Config& c) { c.port = 70000; }},
    };
    for (const Case& c : cases) {
        Config config = test_config();
        c.change(config);
        Emulator box(config);
        std::string error;
        EXPECT_FALSE(box.start(&error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(BoxLifecycle, PortInUseAndRestart) {
    auto first = start_box(test_config());
    Config config = test_config();
    Emulator second(config);
    config.port = first->port();
    Emulator clash(config);
    std::string error;
    EXPECT_FALSE(clash.start(&error));
    EXPECT_NE(error.find("bind"), std::string::npos);
    EXPECT_FALSE(first->start(&error));  // already running
    {
        // The refused second start leaves the running listener serving.
        RawClient late(first->port());
        ASSERT_TRUE(late.connected());
        EXPECT_EQ(late.login_admin().status(), 1);
    }
    first->stop();
    first->stop();
    EXPECT_EQ(first->open_connections(), 0);
}

TEST(BoxLifecycle, StopClosesOpenConnections) {
    auto box = start_box(test_config());
    RawClient a(box->port());
    RawClient b(box->port());
    a.login_basic();
    ASSERT_TRUE(wait_until([&] { return box->open_connections() == 2; }));
    box->stop();
    EXPECT_TRUE(a.wait_closed());
    EXPECT_TRUE(b.wait_closed());
    EXPECT_EQ(box->open_connections(), 0);
}

TEST(BoxLifecycle, ClockRunsOnFromTheGivenStart) {
    auto box = start_box(test_config());
    const CivilTime start = box->now();
    EXPECT_EQ(to_minutes(start), to_minutes({2024, 6, 15, 12, 0, 0}));
    EXPECT_TRUE(wait_until([&] { return !(box->now() == start); }));
    EXPECT_GT(to_minutes(box->now()) * 60 + box->now().second,
              to_minutes(start) * 60 + start.second);
}

}  // namespace
}  // namespace kestemu::test

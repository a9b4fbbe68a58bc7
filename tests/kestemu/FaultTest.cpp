// Deliberate misbehaviour: silence, closing, stale sequence numbers, split, short and garbage
// replies, delays, CAN time-outs and refused logins, set at start and at run time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <tuple>

#include "RawClient.h"

namespace kestemu::test {
namespace {

// Long enough for a reply that is coming on loopback to arrive; used only where the test
// checks that nothing comes.
constexpr int kQuietMs = 300;

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::unique_ptr<Emulator> box_with(const Faults& faults, uint32_t seed = 1) {
    Config config = test_config();
    config.faults = faults;
    config.seed = seed;
    return start_box(config);
}

TEST(Faults, SilentAfterAnswersNothingMore) {
    Faults f;
    f.silent_after = 2;
    auto box = box_with(f);
    RawClient client(box->port());
    EXPECT_EQ(client.login_basic().status(), 1);
    const int64_t asked = monotonic_ns();
    EXPECT_EQ(client.request(0x80).status(), 1);
    client.send_bytes(client.next_frame(0x80));
    ASSERT_TRUE(wait_until([&] { return box->received().size() == 3; }));
    EXPECT_FALSE(client.read_frame(kQuietMs));
    EXPECT_EQ(box->open_connections(), 1);
    // Only the frames answered carry the time of their reply. (The box notes it once the write
    // has returned, which may be after the client has read the reply.)
    const auto log = box->received();
    EXPECT_GT(log[0].replied_ns, 0);
    EXPECT_GE(log[1].replied_ns, asked);
    EXPECT_EQ(log[2].replied_ns, 0);
}

TEST(Faults, CloseAfterClosesOnceThatManyWereAnswered) {
    for (int n : {0, 1, 3}) {
        Faults f;
        f.close_after = n;
        auto box = box_with(f);
        RawClient client(box->port());
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(i == 0 ? client.login_basic().status() : client.request(0x80).status(), 1);
        }
        if (n == 0) {
            client.send_bytes(client.next_frame(0xC0, coded_area("BasicUser", "basic1234")));
        }
        EXPECT_TRUE(client.wait_closed()) << n;
    }
}

TEST(Faults, StaleSequenceComesFirstThenTheRealReply) {
    Faults f;
    f.stale_sequence = true;
    f.skip_frames = 1;
    auto box = box_with(f);
    RawClient client(box->port());
    ASSERT_EQ(client.login_basic().status(), 1);
    for (int i = 0; i < 3; ++i) {
        const Bytes request = client.next_frame(0x80);
        client.send_bytes(request);
        const auto stale = client.read_frame();
        const auto real = client.read_frame();
        ASSERT_TRUE(stale && real);
        EXPECT_EQ(stale->sequence(), (request[2] + 63) % 64);
        EXPECT_EQ(stale->status(), 1);
        EXPECT_TRUE(stale->checksum_ok());
        EXPECT_EQ(real->sequence(), request[2]);
        EXPECT_EQ(real->status(), 1);
        EXPECT_EQ(Bytes(stale->bytes.begin() + 3, stale->bytes.end() - 1),
                  Bytes(real->bytes.begin() + 3, real->bytes.end() - 1));
    }
    // A refused request gets the stale copy with status 1 and then the refusal.
    client.send_bytes(client.next_frame(0xD0));
    const auto stale = client.read_frame();
    const auto real = client.read_frame();
    ASSERT_TRUE(stale && real);
    EXPECT_EQ(stale->status(), 1);
    EXPECT_EQ(real->refusal(), -12);
}

TEST(Faults, SplitReplyArrivesWhole) {
    Faults f;
    f.split_reply = true;
    auto box = box_with(f);
    RawClient client(box->port());
    const Frame login = client.login_admin();
    EXPECT_EQ(login.status(), 1);
    EXPECT_EQ(login.length(), 8);
    EXPECT_TRUE(login.checksum_ok());
    const Frame info = client.request(0xD1, le16(1));
    EXPECT_EQ(info.length(), 52);
    EXPECT_TRUE(info.checksum_ok());
}

TEST(Faults, ShortReplyClaimsTenBytesMore) {
    Faults f;
    f.short_reply = true;
    f.skip_frames = 1;
    auto box = box_with(f);
    RawClient client(box->port());
    ASSERT_EQ(client.login_basic().status(), 1);
    client.send_bytes(client.next_frame(0x80));
    Bytes got;
    ASSERT_TRUE(client.read_at_least(6, &got));
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], 0x80);
    EXPECT_EQ(got[1], 12);
    EXPECT_EQ(got[3], 0x03);
    EXPECT_EQ(got[4], 0x02);
}

Bytes garbage_after_login(uint32_t seed) {
    Faults f;
    f.garbage = true;
    f.skip_frames = 1;
    auto box = box_with(f, seed);
    RawClient client(box->port());
    EXPECT_EQ(client.login_basic().status(), 1);
    Bytes all;
    for (int i = 0; i < 2; ++i) {
        client.send_bytes(client.next_frame(0x80));
        Bytes got;
        EXPECT_TRUE(client.read_at_least(12, &got));
        EXPECT_EQ(got.size(), 12u);
        all = all + got;
    }
    return all;
}

TEST(Faults, GarbageIsTwelveSeededBytes) {
    const Bytes a = garbage_after_login(5);
    EXPECT_EQ(a, garbage_after_login(5));
    EXPECT_NE(a, garbage_after_login(6));
    EXPECT_NE(Bytes(a.begin(), a.begin() + 12), Bytes(a.begin() + 12, a.end()));
}

TEST(Faults, SkipFramesLeavesTheFirstFramesAlone) {
    Faults f;
    f.garbage = true;
    f.skip_frames = 3;
    auto box = box_with(f);
    RawClient client(box->port());
    EXPECT_EQ(client.login_basic().status(), 1);
    EXPECT_EQ(client.request(0x80).status(), 1);
    EXPECT_EQ(client.request(0x00).status(), 1);
    client.send_bytes(client.next_frame(0x80));
    Bytes got;
    ASSERT_TRUE(client.read_at_least(12, &got));
}

TEST(Faults, DelayHoldsEveryReply) {
    Faults f;
    f.delay_ms = 60;
    auto box = box_with(f);
    RawClient client(box->port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.login_basic().status(), 1);
    EXPECT_EQ(client.request(0x80).status(), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
}

TEST(Faults, CanTimeOutsHitInvertersOnly) {
    Faults f;
    f.can_timeout_probability = 1.0;
    auto box = box_with(f);
    RawClient client(box->port());
    client.login_basic();
    for (uint8_t address : {4, 8, 12}) {
        EXPECT_EQ(client.request(0x10, can_payload(address, 0x31, 8, 2)).refusal(), -21);
    }
    EXPECT_EQ(client.request(0x10, can_payload(0, 0x20, 8, 0)).status(), 1);
}

std::vector<int16_t> can_outcomes(uint32_t seed) {
    Faults f;
    f.can_timeout_probability = 0.5;
    auto box = box_with(f, seed);
    RawClient client(box->port());
    client.login_basic();
    std::vector<int16_t> outcomes;
    for (int i = 0; i < 40; ++i) {
        outcomes.push_back(client.request(0x10, can_payload(8, 0x31, 8, 2)).refusal());
    }
    return outcomes;
}

TEST(Faults, CanTimeOutsAreSeeded) {
    const auto a = can_outcomes(3);
    EXPECT_EQ(a, can_outcomes(3));
    EXPECT_GT(std::count(a.begin(), a.end(), -21), 5);
    EXPECT_GT(std::count(a.begin(), a.end(), 0), 5);
}

// A CAN request through the box; the reply frame.
Frame can(RawClient& client, uint8_t address, uint8_t object, const Bytes& data = {}) {
    return client.request(0x10, can_payload(address, object, address == 0 ? 7 : 8, 2, data));
}

// One sample of the monitor's history of module for the current period, as the box sends it.
uint16_t current_sample(RawClient& client, uint8_t module, uint8_t resolution) {
    const Frame f = can(client, 0, 0x41, {module, resolution, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(f.at(5), 1);
    return f.u16(16);
}

// What the box sends for one sample of value v in a block of one.
uint16_t word_of(uint32_t v) {
    return static_cast<uint16_t>(v > 65534 ? std::min<uint32_t>((v + 2) / 4, 65534) : v);
}

TEST(Faults, ZeroInverterAnswersNoughtWattsAndStopsProducing) {
    Config config = test_config();  // 2024-06-15 12:00: midday
    config.faults.zero_inverter = 'a';
    auto box = start_box(config);
    RawClient client(box->port());
    ASSERT_EQ(client.login_basic().status(), 1);
    const Frame zero = can(client, 4, 0x31);
    ASSERT_EQ(zero.status(), 1);
    EXPECT_EQ(zero.at(5), 1);  // confirm
    EXPECT_EQ(zero.at(7), 4);
    EXPECT_EQ(zero.u16(10), 0);
    for (uint8_t address : {8, 12}) {
        EXPECT_GT(can(client, address, 0x31).u16(10), 0) << int(address);
    }
    const CivilTime start = {2024, 6, 15, 12, 0, 0};
    EXPECT_EQ(box->outage().address, 4);
    EXPECT_EQ(box->outage().from, start);
    // The current slot began at the start: A's stays 0 while B's grows with the clock.
    const CivilTime first = box->now();
    const uint16_t b_before = current_sample(client, 8, 36);
    ASSERT_TRUE(wait_until([&] { return box->now() != first; }));
    EXPECT_GT(current_sample(client, 8, 36), b_before);
    EXPECT_EQ(current_sample(client, 4, 36), 0);
    // A's day is what it made before the start; the total is the sum of the three, whose
    // samples are read within one second of the box clock.
    const uint16_t a_day = current_sample(client, 4, 71);
    EXPECT_EQ(a_day, word_of(*box->model().yield(4, 71, start, start)));
    for (int attempt = 0; attempt < 5; ++attempt) {
        const CivilTime now = box->now();
        const uint16_t total = current_sample(client, 128, 36);
        const uint16_t b = current_sample(client, 8, 36);
        const uint16_t c = current_sample(client, 12, 36);
        if (box->now() != now) {
            continue;
        }
        EXPECT_EQ(total, word_of(*box->model().yield(128, 36, start, now, box->outage())));
        EXPECT_NEAR(total, b + c, 1);
        EXPECT_GT(b, 0);
        break;
    }
}

TEST(Faults, SilentInverterTimesOutOnTheBusAndTheOthersAnswer) {
    Config config = test_config();
    config.faults.silent_inverter = 'B';
    auto box = start_box(config);
    RawClient client(box->port());
    ASSERT_EQ(client.login_basic().status(), 1);
    for (uint8_t object : {0x31, 0x41, 0x20, 0x00}) {
        EXPECT_EQ(can(client, 8, object).refusal(), -21) << int(object);
    }
    for (uint8_t address : {4, 12}) {
        const Frame f = can(client, address, 0x31);
        ASSERT_EQ(f.status(), 1);
        EXPECT_GT(f.u16(10), 0) << int(address);
    }
    EXPECT_EQ(can(client, 0, 0x20).status(), 1);
    // Mute, not idle: it is still fitted, the monitor keeps its yield and the total counts it.
    EXPECT_TRUE(box->model().fitted(8));
    const CivilTime day = {2024, 6, 14, 0, 0, 0};
    const Bytes asked = {0, 71, 24, 6, 14, 5, 0, 0, 1};
    uint32_t sum = 0;
    for (uint8_t module : {4, 8, 12}) {
        Bytes q = asked;
        q[0] = module;
        sum += can(client, 0, 0x41, q).u16(16);
    }
    Bytes q = asked;
    q[0] = 128;
    const Frame total = can(client, 0, 0x41, q);
    EXPECT_EQ(total.u16(16), word_of(*box->model().yield(128, 71, day, box->now())));
    EXPECT_GT(sum, 0u);
    if ((total.at(9) & 0x80) == 0) {
        EXPECT_NEAR(total.u16(16), sum, 2);
    }
    // Off at run time: it answers again.
    box->set_faults(Faults{});
    EXPECT_EQ(can(client, 8, 0x31).status(), 1);
}

TEST(Faults, InverterFaultsNeedFittedAndDifferentInverters) {
    for (const auto& [inverters, zero, silent] :
         {std::tuple{"AC", 'B', '\0'}, std::tuple{"ABC", '\0', 'D'}, std::tuple{"ABC", 'C', 'c'}}) {
        Config config = test_config();
        config.inverters = inverters;
        config.faults.zero_inverter = zero;
        config.faults.silent_inverter = silent;
        Emulator box(config);
        std::string error;
        EXPECT_FALSE(box.start(&error));
        EXPECT_NE(error.find("inverter"), std::string::npos) << error;
    }
}

TEST(Faults, RefusedLogins) {
    Faults f;
    f.refuse_logins = true;
    auto box = box_with(f);
    RawClient client(box->port());
    EXPECT_EQ(client.login_admin().refusal(), -13);
}

TEST(Faults, ChangedAtRunTimeForOpenConnections) {
    auto box = start_box(test_config());
    RawClient client(box->port());
    ASSERT_EQ(client.login_basic().status(), 1);

    Faults f;
    f.garbage = true;
    box->set_faults(f);
    EXPECT_TRUE(box->faults().garbage);
    client.send_bytes(client.next_frame(0x80));
    Bytes got;
    ASSERT_TRUE(client.read_at_least(12, &got));

    f = Faults{};
    f.refuse_logins = true;
    box->set_faults(f);
    EXPECT_EQ(client.request(0x80).status(), 1);
    RawClient other(box->port());
    EXPECT_EQ(other.login_basic().refusal(), -13);

    box->set_faults(Faults{});
    EXPECT_EQ(other.login_basic().status(), 1);
}

TEST(Faults, StopDoesNotWaitForADelayedReply) {
    Faults f;
    f.delay_ms = 600000;
    auto box = box_with(f);
    RawClient client(box->port());
    client.send_bytes(client.next_frame(0x80));
    ASSERT_TRUE(wait_until([&] { return box->received().size() == 1; }));
    box->stop();
    EXPECT_TRUE(client.wait_closed());
    box->stop();
}

}  // namespace
}  // namespace kestemu::test

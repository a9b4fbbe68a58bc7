// Links used from several threads: one call at a time per link, a keep-alive that does not wait
// for a busy link, and table changes beside calls on other links. Run these under
// ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LinkFixture.h"

namespace linktest {
namespace {

using namespace std::chrono_literals;

CanMessage numbered_request(uint8_t thread, int n) {
    CanMessage request{};
    request.Header[0] = thread;
    request.Header[1] = 0x31;
    request.Header[2] = 0x08;
    request.Header[3] = 0x02;
    request.Length = 4;
    request.Data[0] = static_cast<uint8_t>(n & 0xFF);
    request.Data[1] = static_cast<uint8_t>(n >> 8);
    request.Data[2] = thread;
    request.Data[3] = 0x5A;
    return request;
}

// The peer echoes CAN requests, so each reply must be the caller's own request.
int failed_echoes(int32_t link, uint8_t thread, int count) {
    int failures = 0;
    for (int n = 0; n < count; ++n) {
        CanMessage request = numbered_request(thread, n);
        CanMessage reply{};
        if (Pc2Lan_Can_Request(link, &request, &reply) != 0 ||
            std::memcmp(&reply, &request, 5 + request.Length) != 0) {
            ++failures;
        }
    }
    return failures;
}

using ConcurrencyTest = LinkTest;

TEST_F(ConcurrencyTest, KeepAliveOnABusyLinkAnswersAtOnceWithoutSending) {
    connect();
    ASSERT_EQ(Pc2Lan_Set_Com_Param(kLink, 2000, 20000), 0);
    peer.push([](const Bytes& r) { return Answer::write(reply_ok(r, {0x5A})).hold(); });
    size_t mark = peer.frame_count();
    auto busy = std::async(std::launch::async, [] {
        uint8_t state = 0;
        int32_t result = Pc2Lan_Get_Sleep(kLink, &state);
        return std::make_pair(result, state);
    });
    ASSERT_TRUE(peer.wait_for_frames(mark + 1));
    auto keep_alive = std::async(std::launch::async, [] { return Pc2Lan_Keep_Alive(kLink); });
    bool answered = keep_alive.wait_for(5s) == std::future_status::ready;
    peer.release();
    EXPECT_TRUE(answered) << "the keep-alive waited for the busy link";
    EXPECT_EQ(keep_alive.get(), 0);
    std::pair<int32_t, uint8_t> sleep = busy.get();
    EXPECT_EQ(sleep.first, 0);
    EXPECT_EQ(sleep.second, 0x5A);
    std::vector<Bytes> frames = frames_since(mark);
    ASSERT_EQ(frames.size(), 1u) << "the keep-alive sent a frame";
    EXPECT_EQ(frames[0].at(0), 0x11);
    expect_still_connected();
}

TEST_F(ConcurrencyTest, TwoThreadsOnOneLinkTakeTurns) {
    connect();
    auto first = std::async(std::launch::async, [] { return failed_echoes(kLink, 1, 200); });
    auto second = std::async(std::launch::async, [] { return failed_echoes(kLink, 2, 200); });
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
    EXPECT_EQ(peer.frame_count(), 401u);
    EXPECT_EQ(peer.connections_accepted(), 1);
}

TEST(Concurrency, TwoThreadsOnTwoLinks) {
    ScriptedPeer peer;
    int32_t level = 0;
    for (int32_t link : {60, 61}) {
        ASSERT_EQ(Pc2Lan_Create(link, "127.0.0.1", peer.port(), kUser, kPassword, "", ""), 0);
        ASSERT_EQ(Pc2Lan_Connect(link, &level, 2), 0);
    }
    auto first = std::async(std::launch::async, [] { return failed_echoes(60, 1, 300); });
    auto second = std::async(std::launch::async, [] { return failed_echoes(61, 2, 300); });
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
    EXPECT_EQ(Pc2Lan_Delete(60), 0);
    EXPECT_EQ(Pc2Lan_Delete(61), 0);
    EXPECT_EQ(peer.connections_accepted(), 2);
    EXPECT_TRUE(peer.wait_for_open_connections(0));
}

TEST(Concurrency, TableChangesBesideCallsOnOtherLinks) {
    ScriptedPeer peer;
    int32_t level = 0;
    ASSERT_EQ(Pc2Lan_Create(63, "127.0.0.1", peer.port(), kUser, kPassword, "", ""), 0);
    ASSERT_EQ(Pc2Lan_Connect(63, &level, 2), 0);
    std::mutex surprises_lock;
    std::vector<std::string> surprises;
    auto expect_in = [&](const char* call, int32_t got, std::initializer_list<int32_t> allowed) {
        if (std::find(allowed.begin(), allowed.end(), got) == allowed.end()) {
            std::lock_guard<std::mutex> lock(surprises_lock);
            surprises.push_back(std::string(call) + " gave " + std::to_string(got));
        }
    };

    std::thread churn([&] {
        for (int i = 0; i < 100; ++i) {
            expect_in("Create(62)",
                      Pc2Lan_Create(62, "127.0.0.1", peer.port(), kUser, kPassword, "", ""), {0});
            expect_in("Set_Com_Param(62)", Pc2Lan_Set_Com_Param(62, 150, 400), {0});
            expect_in("Delete(62)", Pc2Lan_Delete(62), {0});
        }
    });
    std::thread sessions([&] {
        for (int i = 0; i < 20; ++i) {
            int32_t level = 0;
            expect_in("Create(64)",
                      Pc2Lan_Create(64, "127.0.0.1", peer.port(), kUser, kPassword, "", ""), {0});
            expect_in("Connect(64)", Pc2Lan_Connect(64, &level, 2), {0});
            expect_in("Keep_Alive(64)", Pc2Lan_Keep_Alive(64), {0});
            expect_in("Delete(64)", Pc2Lan_Delete(64), {0});
        }
    });
    // A keep-alive on a link that another call holds answers 0: a busy link is alive.
    std::thread bystander([&] {
        for (int i = 0; i < 200; ++i) {
            int32_t io = 0;
            int32_t reply = 0;
            expect_in("Get_Com_Param(62)", Pc2Lan_Get_Com_Param(62, &io, &reply),
                      {0, PC2LAN_EMPTY_ENTRY});
            expect_in("Keep_Alive(62)", Pc2Lan_Keep_Alive(62),
                      {0, PC2LAN_EMPTY_ENTRY, PC2LAN_NOT_CONNECTED});
            expect_in("Keep_Alive(64)", Pc2Lan_Keep_Alive(64),
                      {0, PC2LAN_EMPTY_ENTRY, PC2LAN_NOT_CONNECTED});
        }
    });
    int failures = failed_echoes(63, 3, 300);
    churn.join();
    sessions.join();
    bystander.join();
    EXPECT_EQ(failures, 0);
    for (const std::string& surprise : surprises) {
        ADD_FAILURE() << surprise;
    }
    EXPECT_EQ(Pc2Lan_Delete(63), 0);
    EXPECT_EQ(Pc2Lan_Delete(62), PC2LAN_EMPTY_ENTRY);
    EXPECT_EQ(Pc2Lan_Delete(64), PC2LAN_EMPTY_ENTRY);
}

TEST(Concurrency, DeletingALinkWhileItCarriesARequest) {
    ScriptedPeer peer;
    int32_t level = 0;
    ASSERT_EQ(Pc2Lan_Create(65, "127.0.0.1", peer.port(), kUser, kPassword, "", ""), 0);
    ASSERT_EQ(Pc2Lan_Connect(65, &level, 2), 0);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(65, 2000, 20000), 0);
    peer.push([](const Bytes& r) { return Answer::write(reply_ok(r, {0x01})).hold(); });
    auto busy = std::async(std::launch::async, [] {
        uint8_t state = 0;
        return Pc2Lan_Get_Sleep(65, &state);
    });
    ASSERT_TRUE(peer.wait_for_frames(2));
    auto deleting = std::async(std::launch::async, [] { return Pc2Lan_Delete(65); });
    // Give the delete a chance to meet the request in flight; it may also finish first.
    deleting.wait_for(100ms);
    peer.release();
    int32_t request = busy.get();
    EXPECT_TRUE(request == 0 || request == PC2LAN_NOT_CONNECTED || request == PC2LAN_FAILED ||
                request == PC2LAN_UNEXPECTED)
        << request;
    EXPECT_EQ(deleting.get(), 0);
    EXPECT_EQ(Pc2Lan_Keep_Alive(65), PC2LAN_EMPTY_ENTRY);
    EXPECT_TRUE(peer.wait_for_open_connections(0));
}

}  // namespace
}  // namespace linktest

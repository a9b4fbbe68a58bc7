// Several threads on one box: each with links of its own, and two threads sharing one link.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

namespace integ {
namespace {

class ConcurrencyTest : public BoxTest {
protected:
    // Connects link 0 and starts a serial request that the box answers only after delay_ms;
    // returns once the request has reached the box, so link 0 is inside that call.
    std::thread start_slow_serial(int delay_ms) {
        EXPECT_EQ(Pc2Lan_Create(0, "127.0.0.1", emu->port(), kAdminUser, kAdminPassword, "", ""),
                  0);
        handles.push_back(0);
        EXPECT_EQ(Pc2Lan_Set_Com_Param(0, kNormalIo, 8000), 0);
        int32_t level = 0;
        EXPECT_GE(Pc2Lan_Connect(0, &level, 2), 0);

        kestemu::Faults slow;
        slow.delay_ms = delay_ms;
        emu->set_faults(slow);
        std::thread busy([this] { serial_result = Pc2Lan_Get_Serial(0, serial); });
        const bool sent = wait_until([&] {
            for (const auto& f : emu->received()) {
                if (frame_command(f) == 0x01) {
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(sent);
        return busy;
    }

    std::atomic<int> serial_result{1};
    char serial[81] = {};
};

TEST_F(ConcurrencyTest, ThreadsWithTheirOwnLinksDoNotDisturbEachOther) {
    constexpr int kThreads = 4;
    constexpr int kLinksPerThread = 2;
    constexpr int kRounds = 25;
    for (int h = 10; h < 10 + kThreads * kLinksPerThread; ++h) {
        handles.push_back(h);  // deleted at tear-down should a thread stop early
    }
    const int port = emu->port();
    const std::string serial = config.serial;
    std::atomic<int> failures{0};
    std::atomic<int> requests{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const int first = 10 + t * kLinksPerThread;
            for (int h = first; h < first + kLinksPerThread; ++h) {
                const char* user = h % 2 ? kBasicUser : kAdminUser;
                const char* password = h % 2 ? kBasicPassword : kAdminPassword;
                int32_t level = 0;
                if (Pc2Lan_Create(h, "127.0.0.1", port, user, password, "", "") != 0 ||
                    Pc2Lan_Connect(h, &level, 2) < 0 || level != (h % 2 ? 3 : 4)) {
                    ++failures;
                }
            }
            for (int round = 0; round < kRounds; ++round) {
                for (int h = first; h < first + kLinksPerThread; ++h) {
                    const uint8_t address = static_cast<uint8_t>(4 * (1 + (round + h) % 3));
                    const CanMessage request = can_message(address, 0x31, 8, 2);
                    CanMessage reply{};
                    if (Pc2Lan_Can_Request(h, &request, &reply) != 0 ||
                        reply.Header[0] != address || reply.Header[2] != 1) {
                        ++failures;
                    }
                    char text[81] = {};
                    if (Pc2Lan_Get_Serial(h, text) != 0 || serial != text) {
                        ++failures;
                    }
                    if (Pc2Lan_Keep_Alive(h) != 0) {
                        ++failures;
                    }
                    requests += 3;
                }
            }
            for (int h = first; h < first + kLinksPerThread; ++h) {
                if (Pc2Lan_Delete(h) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(requests.load(), kThreads * kLinksPerThread * kRounds * 3);
    EXPECT_EQ(emu->accepted_connections(), kThreads * kLinksPerThread);
    EXPECT_TRUE(wait_until([&] { return emu->open_connections() == 0; }));
}

TEST_F(ConcurrencyTest, TwoThreadsShareOneLinkOneCallAtATime) {
    open_link(0);
    std::atomic<bool> stop{false};
    std::atomic<int> keep_alive_failures{0};
    std::thread keeper([&] {
        while (!stop) {
            if (Pc2Lan_Keep_Alive(0) != 0) {
                ++keep_alive_failures;
            }
        }
    });
    int failures = 0;
    for (int i = 0; i < 200; ++i) {
        const CanMessage request = can_message(12, 0x31, 8, 2);
        CanMessage reply{};
        if (Pc2Lan_Can_Request(0, &request, &reply) != 0 || reply.Header[0] != 12 ||
            reply.Header[1] != 0x31 || reply.Header[2] != 1) {
            ++failures;
        }
    }
    stop = true;
    keeper.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(keep_alive_failures.load(), 0);

    // Interleaved frames would break the sequence: every frame the box got is one after the
    // other.
    const auto frames = emu->received();
    for (size_t i = 1; i < frames.size(); ++i) {
        ASSERT_EQ(frame_sequence(frames[i]), (frame_sequence(frames[i - 1]) + 1) % 64)
            << "frame " << i;
    }
}

TEST_F(ConcurrencyTest, KeepAliveOnABusyLinkAnswersAtOnceWithoutSending) {
    std::thread busy = start_slow_serial(1500);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
    busy.join();

    EXPECT_EQ(serial_result.load(), 0);
    EXPECT_EQ(std::string(serial), config.serial);
    size_t keep_alives = 0;
    for (const auto& f : emu->received()) {
        keep_alives += frame_command(f) == 0x80;
    }
    EXPECT_EQ(keep_alives, 0u) << "a keep-alive on a busy link sends nothing";

    emu->set_faults({});
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
}

TEST_F(ConcurrencyTest, OneEntryIsCreatedOnceWhenThreadsRaceForIt) {
    handles.push_back(42);
    const int port = emu->port();
    std::atomic<bool> go{false};
    std::atomic<int> created{0}, in_use{0}, other{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            while (!go) {
                std::this_thread::yield();
            }
            const int32_t r =
                Pc2Lan_Create(42, "127.0.0.1", port, kAdminUser, kAdminPassword, "", "");
            (r == 0 ? created : r == -1 ? in_use : other)++;
        });
    }
    go = true;
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(created.load(), 1);
    EXPECT_EQ(in_use.load(), 7);
    EXPECT_EQ(other.load(), 0);
    int32_t level = 0;
    EXPECT_GE(Pc2Lan_Connect(42, &level, 2), 0);
    EXPECT_EQ(level, 4);
}

TEST_F(ConcurrencyTest, DeleteDuringACallOnTheSameLinkIsSafe) {
    std::thread busy = start_slow_serial(600);
    EXPECT_EQ(Pc2Lan_Delete(0), 0);
    busy.join();
    const int32_t r = serial_result.load();
    EXPECT_TRUE(r == 0 || r == -3) << r;
    if (r == 0) {
        EXPECT_EQ(std::string(serial), config.serial);
    }
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), -1) << "the entry is empty afterwards";
    EXPECT_TRUE(wait_until([&] { return emu->open_connections() == 0; }));
}

}  // namespace
}  // namespace integ

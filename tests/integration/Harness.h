// What every integration test needs: a box emulator running in this process on a free port,
// links to it in the library's table, and a few helpers to look at the frames the box received.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/Pc2Lan.h"
#include "tools/kestemu/Emulator.h"

namespace integ {

using namespace std::chrono_literals;

inline constexpr const char* kBasicUser = "BasicUser";
inline constexpr const char* kBasicPassword = "basic1234";
inline constexpr const char* kAdminUser = "Administrator";
inline constexpr const char* kAdminPassword = "admin1234";

inline constexpr const char* kClock = "2026-06-21 13:00";
inline constexpr const char* kInstalled = "2021-03-15";
inline constexpr uint32_t kSeed = 4711;

// Links of tests that wait for the box to give up use these, so a time-out costs little.
inline constexpr int kShortIo = 150;
inline constexpr int kShortReply = 300;
// Everyone else: generous, since nothing is waited for unless something is wrong.
inline constexpr int kNormalIo = 1000;
inline constexpr int kNormalReply = 3000;

// Polls condition until it holds or the limit has passed; returns its last value.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s);

// The box every fixture starts from: a fixed clock, seed and installation date on port 0.
kestemu::Config base_config();

CanMessage can_message(uint8_t address, uint8_t object, uint8_t action, uint8_t auth,
                       const std::vector<uint8_t>& data = {});

inline uint8_t frame_command(const kestemu::ReceivedFrame& f) {
    return f.bytes.at(0);
}
inline uint8_t frame_sequence(const kestemu::ReceivedFrame& f) {
    return f.bytes.at(2) & 0x3F;
}
std::vector<uint8_t> frame_payload(const kestemu::ReceivedFrame& f);

std::string describe(const kestemu::CivilTime& t);

// One box, links to it, and their clean-up. Fixtures override configure() to shape the box.
class BoxTest : public ::testing::Test {
protected:
    virtual void configure(kestemu::Config& config) { (void)config; }

    void SetUp() override;
    void TearDown() override;

    // Creates table entry `handle` for the box with this fixture's time-outs; deleted at
    // tear-down.
    void create_link(int handle, const char* user = kAdminUser,
                     const char* password = kAdminPassword);
    // Creates and connects; returns the access level. A failed connect fails the test.
    int open_link(int handle, const char* user = kAdminUser, const char* password = kAdminPassword);
    void delete_link(int handle);

    // Deletes every link, stops the box and starts a new one with `next` on a new port.
    void restart(const kestemu::Config& next);

    size_t frame_mark() const { return emu->received().size(); }
    std::vector<kestemu::ReceivedFrame> frames_since(size_t mark) const;
    // The box's number for the connection that sent the last login.
    int last_login_connection() const;

    int io_timeout = kNormalIo;
    int reply_timeout = kNormalReply;
    kestemu::Config config;
    std::unique_ptr<kestemu::Emulator> emu;
    std::vector<int> handles;
};

}  // namespace integ

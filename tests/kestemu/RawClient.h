// A raw TCP client of the box: frames are built by hand, byte by byte, so the tests check the
// box against the frame layout and not against another implementation of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Emulator.h"

namespace kestemu::test {

using Bytes = std::vector<uint8_t>;

// Generous limits that only stop a broken test from hanging; nothing is timed against them.
constexpr int kPatienceMs = 10000;

struct Frame {
    Bytes bytes;

    uint8_t command() const { return bytes[0]; }
    int length() const { return bytes[1]; }
    int status() const { return bytes[2] >> 6; }
    int sequence() const { return bytes[2] & 0x3F; }
    uint8_t at(int frame_byte) const { return bytes.at(frame_byte); }
    uint16_t u16(int frame_byte) const {
        return static_cast<uint16_t>(at(frame_byte) | (at(frame_byte + 1) << 8));
    }
    int16_t s16(int frame_byte) const { return static_cast<int16_t>(u16(frame_byte)); }
    uint32_t u32(int frame_byte) const {
        return static_cast<uint32_t>(u16(frame_byte)) |
               (static_cast<uint32_t>(u16(frame_byte + 2)) << 16);
    }
    // The refusal code of a refused reply, 0 for a reply with status 1.
    int16_t refusal() const { return status() == 2 ? s16(3) : 0; }
    bool checksum_ok() const;
};

Bytes seal(uint8_t command, const Bytes& payload, int sequence);
Bytes coded_area(const std::string& name, const std::string& password);
Bytes le16(uint32_t v);
Bytes le32(uint32_t v);
Bytes operator+(Bytes a, const Bytes& b);

class RawClient {
public:
    explicit RawClient(int port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int local_port() const;

    void send_bytes(const Bytes& bytes);
    Bytes next_frame(uint8_t command, const Bytes& payload = {});  // sealed with the next sequence
    // Sends one request and returns the reply; fails the test when none comes.
    Frame request(uint8_t command, const Bytes& payload = {});
    std::optional<Frame> read_frame(int timeout_ms = kPatienceMs);
    // Whatever bytes arrive until timeout_ms passes without more, or the box closes.
    Bytes read_some(int timeout_ms);
    // Collects bytes until at least count have come; false when they do not come in time.
    bool read_at_least(size_t count, Bytes* got);
    bool wait_closed(int timeout_ms = kPatienceMs);  // true once the box has closed the link

    Frame login(const std::string& name, const std::string& password);
    Frame login_admin() { return login("Administrator", "admin1234"); }
    Frame login_basic() { return login("BasicUser", "basic1234"); }

    int sequence = 0;

private:
    int fd_ = -1;
    Bytes pending_;
};

// A box on a free loopback port with quiet logging, started or failing the test.
std::unique_ptr<Emulator> start_box(Config config = {});
Config test_config();  // clock fixed at 2024-06-15 12:00, the defaults otherwise

bool wait_until(const std::function<bool()>& condition, int timeout_ms = kPatienceMs);

// CAN forwarding payload: header, data length, data.
Bytes can_payload(uint8_t address, uint8_t object, uint8_t action, uint8_t auth,
                  const Bytes& data = {});

}  // namespace kestemu::test

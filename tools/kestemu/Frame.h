// Frames of the box protocol: command, payload length, status and sequence, payload, checksum.
// Built in fixed buffers so answering a request allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestemu {

constexpr int kMaxPayload = 80;
constexpr int kMaxFrame = kMaxPayload + 4;
constexpr uint8_t kWireKeyBase = 0x5D;

// Status bits of byte 2.
constexpr uint8_t kStatusDone = 1;
constexpr uint8_t kStatusRefused = 2;

// Refusal codes the box answers in bytes 3-4 of a refused reply.
namespace code {
constexpr int16_t kIndexOutOfRange = -11;
constexpr int16_t kNotPermitted = -12;
constexpr int16_t kLoginRefused = -13;  // also: a session-time value above 1440 minutes
constexpr int16_t kAccountDisabled = -14;
constexpr int16_t kNameEmpty = -15;
constexpr int16_t kNameBadChar = -16;
constexpr int16_t kPasswordEmpty = -17;
constexpr int16_t kPasswordBadChar = -18;
constexpr int16_t kValueOutOfRange = -19;
constexpr int16_t kSlotUsed = -20;
constexpr int16_t kNoSuchEntry = -21;  // also: the CAN module did not answer
constexpr int16_t kConflict = -22;     // name already used; a connection killing itself
constexpr int16_t kLastAdministrator = -23;
constexpr int16_t kBootMode = -24;
constexpr int16_t kTooManySessions = -25;
constexpr int16_t kStoreFailed = -26;
constexpr int16_t kUnknownCommand = -30;
constexpr int16_t kPayloadTooShort = -31;
constexpr int16_t kBadChecksum = -32;
}  // namespace code

inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint8_t checksum(const uint8_t* frame, int count) {
    unsigned sum = 0;
    for (int i = 0; i < count; ++i) {
        sum += frame[i];
    }
    return static_cast<uint8_t>(sum);
}

// Names and passwords travel in a 40-byte area, each byte XOR (0x5D + its position).
inline void wire_code(uint8_t* area, int count) {
    for (int k = 0; k < count; ++k) {
        area[k] ^= static_cast<uint8_t>(kWireKeyBase + k);
    }
}

// A reply under construction: the caller fills the payload, seal() writes the header and the
// checksum.
struct Reply {
    std::array<uint8_t, kMaxFrame> bytes{};
    int length = 0;  // payload length
    bool send = true;

    uint8_t* payload() { return bytes.data() + 3; }
    int size() const { return length + 4; }

    void done(uint8_t command, int payload_length) {
        bytes[0] = command;
        length = payload_length;
        status_ = kStatusDone;
    }
    void refuse(uint8_t command, int16_t refusal) {
        bytes[0] = command;
        length = 2;
        status_ = kStatusRefused;
        put16(payload(), static_cast<uint16_t>(refusal));
    }
    // Result word 0 followed by payload_length - 2 more bytes the caller fills.
    void result(uint8_t command, int payload_length) {
        done(command, payload_length);
        put16(payload(), 0);
    }
    void seal(uint8_t sequence) {
        bytes[1] = static_cast<uint8_t>(length);
        bytes[2] = static_cast<uint8_t>((status_ << 6) | (sequence & 0x3F));
        bytes[3 + length] = checksum(bytes.data(), 3 + length);
    }
    int16_t refusal() const {
        return status_ == kStatusRefused ? static_cast<int16_t>(get16(bytes.data() + 3)) : 0;
    }

private:
    uint8_t status_ = kStatusDone;
};

}  // namespace kestemu

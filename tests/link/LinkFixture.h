// The fixture most link tests share: one link in the library's table, created unconnected and
// pointed at its own scripted peer, with short time-outs so that a silent box costs little.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Pc2Lan.h"
#include "ScriptedPeer.h"

namespace linktest {

inline constexpr uint8_t kWireKeyBase = 0x5D;
inline constexpr int32_t kShortIo = 200;
inline constexpr int32_t kShortReply = 300;
inline constexpr const char* kUser = "BasicUser";
inline constexpr const char* kPassword = "basic1234";

Bytes text_bytes(const std::string& text);
// The box's name and password coding: byte k of the 40-byte area XOR (0x5D + k).
Bytes wire_code(const Bytes& plain, int first_position);
Bytes payload_of(const Bytes& frame);
std::string hex(const Bytes& bytes);
// What a well-formed request looks like; empty when it is one.
std::string request_fault(const Bytes& frame);

class LinkTest : public ::testing::Test {
protected:
    static constexpr int32_t kLink = 17;

    void SetUp() override;
    void TearDown() override;

    // Connects and logs in with the peer's default answer (login value 0, access level 4).
    void connect();
    // Whether the link passes the library's connection check; sends nothing.
    bool link_connected();
    std::vector<Bytes> frames_since(size_t mark);
    // The one frame received since mark; fails the test when there is not exactly one.
    Bytes only_frame_since(size_t mark);
    // On a connected link: a keep-alive must be the only frame that arrives after mark.
    void expect_nothing_sent_since(size_t mark);
    // The link kept its one connection and still carries requests.
    void expect_still_connected();
    // The link dropped its connection: the peer sees it closed and the exports answer -3.
    void expect_dropped();

    ScriptedPeer peer;
};

}  // namespace linktest

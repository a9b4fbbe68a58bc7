#include "LinkFixture.h"

#include <cstdio>

namespace linktest {

Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes wire_code(const Bytes& plain, int first_position) {
    Bytes coded;
    for (size_t i = 0; i < plain.size(); ++i) {
        coded.push_back(static_cast<uint8_t>(plain[i] ^ (kWireKeyBase + first_position + i)));
    }
    return coded;
}

Bytes payload_of(const Bytes& frame) {
    if (frame.size() < 4) {
        return {};
    }
    return Bytes(frame.begin() + 3, frame.end() - 1);
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", b);
        text += digits;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

std::string request_fault(const Bytes& frame) {
    if (frame.size() < 4) {
        return "shorter than a frame";
    }
    if (frame[1] > 80) {
        return "payload above 80 bytes";
    }
    if (frame.size() != static_cast<size_t>(frame[1]) + 4) {
        return "size does not match the length byte";
    }
    if ((frame[2] & 0xC0) != 0) {
        return "status bits set in a request";
    }
    Bytes body(frame.begin(), frame.end() - 1);
    if (checksum(body) != frame.back()) {
        return "wrong checksum";
    }
    return {};
}

void LinkTest::SetUp() {
    ASSERT_EQ(peer.error(), "");
    ASSERT_EQ(Pc2Lan_Create(kLink, "127.0.0.1", peer.port(), kUser, kPassword, "", ""), 0);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(kLink, kShortIo, kShortReply), 0);
}

void LinkTest::TearDown() {
    Pc2Lan_Delete(kLink);
    for (const Received& frame : peer.frames()) {
        EXPECT_EQ(request_fault(frame.bytes), "") << hex(frame.bytes);
    }
}

void LinkTest::connect() {
    int32_t level = -1;
    ASSERT_EQ(Pc2Lan_Connect(kLink, &level, 2), 0);
    ASSERT_EQ(level, 4);
}

bool LinkTest::link_connected() {
    return Pc2Lan_Can_Monitor_Request(kLink, nullptr, 0, 0) == 0;
}

std::vector<Bytes> LinkTest::frames_since(size_t mark) {
    std::vector<Bytes> frames;
    std::vector<Received> all = peer.frames();
    for (size_t i = mark; i < all.size(); ++i) {
        frames.push_back(all[i].bytes);
    }
    return frames;
}

Bytes LinkTest::only_frame_since(size_t mark) {
    std::vector<Bytes> frames = frames_since(mark);
    EXPECT_EQ(frames.size(), 1u);
    return frames.empty() ? Bytes{} : frames.front();
}

void LinkTest::expect_nothing_sent_since(size_t mark) {
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    std::vector<Bytes> frames = frames_since(mark);
    ASSERT_EQ(frames.size(), 1u) << "frames were sent where none should be";
    EXPECT_EQ(frames[0].at(0), 0x80) << hex(frames[0]);
}

void LinkTest::expect_still_connected() {
    EXPECT_TRUE(link_connected());
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    EXPECT_EQ(peer.connections_accepted(), 1);
    EXPECT_EQ(peer.open_connections(), 1);
}

void LinkTest::expect_dropped() {
    EXPECT_TRUE(peer.wait_for_open_connections(0)) << "the link kept its connection";
    EXPECT_FALSE(link_connected());
    size_t mark = peer.frame_count();
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    EXPECT_EQ(peer.frame_count(), mark);
}

}  // namespace linktest

// The box's list of open connections: the 36-byte information block of each, and killing one.
#include <cstring>
#include <memory>
#include <string>

#include "Harness.h"

namespace integ {
namespace {

constexpr int kMaxConnections = 6;

// This box's information block: connection number, peer address (four bytes, most significant
// first), peer port, account index, seconds connected, frames received, then the user name.
struct Block {
    uint16_t number;
    uint8_t ip[4];
    uint16_t account;
    uint32_t frames;
    std::string user;
};

Block parse(const uint8_t* b) {
    Block out{};
    out.number = static_cast<uint16_t>(b[0] | (b[1] << 8));
    std::memcpy(out.ip, b + 2, 4);
    out.account = static_cast<uint16_t>(b[8] | (b[9] << 8));
    out.frames = static_cast<uint32_t>(b[14] | (b[15] << 8) | (b[16] << 16)) |
                 (static_cast<uint32_t>(b[17]) << 24);
    out.user.assign(reinterpret_cast<const char*>(b + 18),
                    strnlen(reinterpret_cast<const char*>(b + 18), 18));
    return out;
}

class ConnectionTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override { c.max_connections = kMaxConnections; }
    void SetUp() override {
        BoxTest::SetUp();
        open_link(0);                              // connection number 0
        open_link(1, kBasicUser, kBasicPassword);  // connection number 1
    }

    // Fills a heap block of exactly 36 bytes, preset so untouched bytes show.
    int32_t info(int32_t connection, std::unique_ptr<uint8_t[]>& block) {
        block = std::make_unique<uint8_t[]>(36);
        std::memset(block.get(), 0xCC, 36);
        return Pc2Lan_Connection_Info(0, connection, block.get());
    }
};

TEST_F(ConnectionTest, EachOpenConnectionHasItsBlock) {
    ASSERT_EQ(Pc2Lan_Keep_Alive(1), 0);
    struct Row {
        int32_t connection;
        uint16_t account;
        const char* user;
        uint32_t min_frames;
    };
    const Row rows[] = {{0, 1, kAdminUser, 1}, {1, 0, kBasicUser, 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.connection);
        std::unique_ptr<uint8_t[]> block;
        ASSERT_EQ(info(row.connection, block), 0);
        const Block b = parse(block.get());
        EXPECT_EQ(b.number, row.connection);
        EXPECT_EQ(b.ip[0], 127);
        EXPECT_EQ(b.ip[1], 0);
        EXPECT_EQ(b.ip[2], 0);
        EXPECT_EQ(b.ip[3], 1);
        EXPECT_EQ(b.account, row.account);
        EXPECT_EQ(b.user, row.user);
        EXPECT_GE(b.frames, row.min_frames);
    }
}

TEST_F(ConnectionTest, InfoRefusals) {
    struct Row {
        const char* what;
        int32_t connection;
        int32_t result;
    };
    const Row rows[] = {
        {"free connection number", 3, -10},
        {"beyond the box's connections", kMaxConnections, -12},
        {"far beyond", 0xFFFF, -12},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::unique_ptr<uint8_t[]> block;
        EXPECT_EQ(info(row.connection, block), row.result);
        for (int i = 0; i < 36; ++i) {
            ASSERT_EQ(block[i], 0xCC) << "a refused call leaves the block alone";
        }
    }
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
}

TEST_F(ConnectionTest, KilledLinkIsNotConnectedAnyMore) {
    EXPECT_EQ(Pc2Lan_Connection_Kill(0, 1, 0), 0);
    ASSERT_TRUE(wait_until([&] { return emu->open_connections() == 1; }));
    EXPECT_EQ(Pc2Lan_Keep_Alive(1), -3);
    EXPECT_EQ(Pc2Lan_Keep_Alive(1), -3);
    std::unique_ptr<uint8_t[]> block;
    EXPECT_EQ(info(1, block), -10) << "the number is free again";
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0) << "the killer stays connected";

    int32_t level = -1;
    ASSERT_GE(Pc2Lan_Connect(1, &level, 2), 0) << "a killed link can connect again";
    EXPECT_EQ(level, 3);
    EXPECT_EQ(info(1, block), 0);
    EXPECT_EQ(parse(block.get()).user, kBasicUser);
}

TEST_F(ConnectionTest, KillRefusals) {
    struct Row {
        const char* what;
        int32_t first;
        int32_t result;
    };
    const Row rows[] = {
        {"own connection", 0, -14},
        {"free connection number", 4, -13},
        {"beyond the box's connections", kMaxConnections, -12},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Pc2Lan_Connection_Kill(0, row.first, 0), row.result);
    }
    EXPECT_EQ(emu->open_connections(), 2);
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
    EXPECT_EQ(Pc2Lan_Keep_Alive(1), 0);
}

}  // namespace
}  // namespace integ

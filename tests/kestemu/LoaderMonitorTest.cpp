// The loader (enter boot, erase, program, read back, reboot) and the CAN monitor log.
#include <gtest/gtest.h>

#include "RawClient.h"

namespace kestemu::test {
namespace {

class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        Config config = test_config();
        config.erase_ms = 1;
        box = start_box(config);
        client = std::make_unique<RawClient>(box->port());
        ASSERT_EQ(client->login_basic().status(), 1);
    }
    uint8_t answer(uint8_t command, const Bytes& payload = {}) {
        const Frame f = client->request(command, payload);
        EXPECT_EQ(f.status(), 1);
        EXPECT_EQ(f.length(), 1);
        return f.at(3);
    }
    Frame program(uint8_t command, uint16_t address, const Bytes& data) {
        const Frame f = client->request(command, le16(address) + data);
        EXPECT_EQ(f.length(), 3);
        EXPECT_EQ(f.u16(3), address);
        return f;
    }
    std::unique_ptr<Emulator> box;
    std::unique_ptr<RawClient> client;
};

TEST_F(Loader, EnterBootOnlyWithTheConfirmationBytes) {
    for (const Bytes& wrong :
         {Bytes{}, Bytes{0x6B}, Bytes{0x6B, 0x95}, Bytes{0x94, 0x6B}, Bytes{0x00, 0x00}}) {
        EXPECT_EQ(answer(0x70, wrong), 1);
    }
    EXPECT_EQ(program(0x72, 0, {1}).at(5), 1);  // still not in boot mode
    EXPECT_EQ(answer(0x70, {0x6B, 0x94}), 0);
    EXPECT_EQ(program(0x72, 0, {1}).at(5), 0);
}

TEST_F(Loader, NothingChangesOutsideBootMode) {
    EXPECT_EQ(answer(0x71, {3}), 0xFF);
    EXPECT_EQ(program(0x72, 0x0C00, {1, 2, 3}).at(5), 1);
    EXPECT_EQ(program(0x79, 0x0C00, {1, 2, 3}).at(5), 1);
    EXPECT_EQ(box->flash(0x0C00, 3), (Bytes{0xFF, 0xFF, 0xFF}));
}

TEST_F(Loader, EraseProgramReadBackReboot) {
    ASSERT_EQ(answer(0x70, {0x6B, 0x94}), 0);
    Bytes data(78);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    EXPECT_EQ(program(0x72, 0x0400, data).at(5), 0);
    EXPECT_EQ(box->flash(0x0400, 78), data);
    EXPECT_EQ(program(0x79, 0x0800, {9, 8, 7}).at(5), 0);

    Frame back = client->request(0x78, le16(0x0400) + Bytes{16});
    EXPECT_EQ(back.length(), 18);
    EXPECT_EQ(back.u16(3), 0x0400);
    EXPECT_EQ(Bytes(back.bytes.begin() + 5, back.bytes.end() - 1),
              Bytes(data.begin(), data.begin() + 16));
    back = client->request(0x78, le16(0x0400) + Bytes{200});
    EXPECT_EQ(back.length(), 80);
    back = client->request(0x78, le16(0xFFFC) + Bytes{16});
    EXPECT_EQ(back.length(), 6);  // the flash ends at 0xFFFF

    EXPECT_EQ(answer(0x71, {1}), 1);  // block 1 is 0x0400..0x07FF
    EXPECT_EQ(box->flash(0x0400, 1024), Bytes(1024, 0xFF));
    EXPECT_EQ(box->flash(0x0800, 3), (Bytes{9, 8, 7}));
    EXPECT_EQ(answer(0x71, {63}), 63);
    EXPECT_EQ(answer(0x71, {64}), 0xFF);
    EXPECT_EQ(answer(0x71, {0xFF}), 0xFF);

    EXPECT_EQ(program(0x72, 0xFFF0, Bytes(16, 1)).at(5), 0);
    EXPECT_EQ(program(0x72, 0xFFF1, Bytes(16, 1)).at(5), 2);
    EXPECT_EQ(program(0x79, 0xFFFF, Bytes(2, 1)).at(5), 2);

    EXPECT_EQ(answer(0x73), 0);
    EXPECT_EQ(program(0x72, 0, {1}).at(5), 1);
    EXPECT_EQ(client->request(0x71).refusal(), -31);
    EXPECT_EQ(client->request(0x72, {0}).refusal(), -31);
    EXPECT_EQ(client->request(0x78, {0, 0}).refusal(), -31);
}

TEST_F(Loader, NoLoginWhileInBootMode) {
    ASSERT_EQ(answer(0x70, {0x6B, 0x94}), 0);
    RawClient other(box->port());
    EXPECT_EQ(other.login_admin().refusal(), -24);
    EXPECT_EQ(answer(0x73), 0);
    EXPECT_EQ(other.login_admin().status(), 1);
}

TEST(LoaderErase, StopDoesNotWaitForALongErase) {
    Config config = test_config();
    config.erase_ms = 600000;
    auto box = start_box(config);
    RawClient client(box->port());
    client.login_basic();
    ASSERT_EQ(client.request(0x70, {0x6B, 0x94}).at(3), 0);
    client.send_bytes(client.next_frame(0x71, {2}));
    ASSERT_TRUE(wait_until([&] { return box->received().size() == 3; }));
    box->stop();
    EXPECT_TRUE(client.wait_closed());
}

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        box = start_box(test_config());
        client = std::make_unique<RawClient>(box->port());
        ASSERT_EQ(client->login_basic().status(), 1);
    }
    std::array<int, 3> state() {
        const Frame f = client->request(0xA1);
        EXPECT_EQ(f.length(), 4);
        return {f.at(3), f.at(4), f.u16(5)};
    }
    std::vector<Bytes> records(uint16_t wanted) {
        const Frame f = client->request(0xA2, le16(wanted));
        EXPECT_EQ(f.length() % 16, 0);
        std::vector<Bytes> out;
        for (int i = 0; i < f.length() / 16; ++i) {
            out.emplace_back(f.bytes.begin() + 3 + 16 * i, f.bytes.begin() + 19 + 16 * i);
        }
        return out;
    }
    std::unique_ptr<Emulator> box;
    std::unique_ptr<RawClient> client;
};

TEST_F(Monitor, RecordsRequestsAndReplies) {
    EXPECT_EQ(state(), (std::array<int, 3>{1, 0, 0}));
    const Frame reply = client->request(0x10, can_payload(4, 0x31, 8, 2));
    ASSERT_EQ(reply.status(), 1);
    EXPECT_EQ(state()[2], 2);

    const auto got = records(5);
    ASSERT_EQ(got.size(), 2u);
    const Bytes& request = got[0];
    EXPECT_EQ(request[4], 0);  // to the bus
    EXPECT_EQ(Bytes(request.begin() + 5, request.begin() + 10), (Bytes{4, 0x31, 8, 2, 0}));
    const Bytes& answer = got[1];
    EXPECT_EQ(answer[4], 1);  // from the bus
    EXPECT_EQ(Bytes(answer.begin() + 5, answer.begin() + 10), (Bytes{4, 0x31, 1, 2, 4}));
    EXPECT_EQ(Bytes(answer.begin() + 10, answer.begin() + 14),
              Bytes(reply.bytes.begin() + 8, reply.bytes.begin() + 12));
    EXPECT_EQ(Bytes(answer.begin() + 14, answer.end()), Bytes(2, 0));
    const uint32_t t0 = request[0] | request[1] << 8 | request[2] << 16 | request[3] << 24;
    const uint32_t t1 = answer[0] | answer[1] << 8 | answer[2] << 16 | answer[3] << 24;
    EXPECT_LE(t0, t1);
    EXPECT_EQ(state()[2], 0);
    EXPECT_TRUE(records(5).empty());
}

TEST_F(Monitor, ServesAtMostFiveRecordsPerRequest) {
    for (int i = 0; i < 6; ++i) {
        client->request(0x10, can_payload(0, 0x20, 8, 0));
    }
    EXPECT_EQ(records(7).size(), 5u);
    EXPECT_EQ(records(2).size(), 2u);
    EXPECT_EQ(records(0).size(), 0u);
    EXPECT_EQ(state()[2], 5);
    EXPECT_EQ(client->request(0xA2).refusal(), -31);
}

TEST_F(Monitor, TimeOutsLeaveOnlyTheRequestAndStateZeroStopsRecording) {
    ASSERT_EQ(client->request(0x10, can_payload(1, 0x31, 8, 2)).refusal(), -21);
    const auto got = records(5);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][4], 0);

    const Frame set = client->request(0xA0, {0, 7});
    EXPECT_EQ(set.length(), 2);
    EXPECT_EQ(set.at(3), 0);
    EXPECT_EQ(set.at(4), 7);
    client->request(0x10, can_payload(0, 0x20, 8, 0));
    EXPECT_EQ(state(), (std::array<int, 3>{0, 7, 0}));
    EXPECT_EQ(client->request(0xA0, {1}).refusal(), -31);
}

TEST_F(Monitor, KeepsTheNewest1024Records) {
    for (int i = 0; i < 520; ++i) {
        client->request(0x10, can_payload(0, 0x20, 8, 0));
    }
    EXPECT_EQ(state()[2], 1024);
}

}  // namespace
}  // namespace kestemu::test

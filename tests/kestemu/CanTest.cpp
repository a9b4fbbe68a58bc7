// CAN forwarding: the monitor's clock and yield history, the inverters' live power.
#include <gtest/gtest.h>

#include <optional>

#include "RawClient.h"

namespace kestemu::test {
namespace {

constexpr uint8_t kCan = 0x10;

struct CanReply {
    int16_t refusal = 0;
    uint8_t address = 0, object = 0, action = 0, auth = 0, data_length = 0;
    Bytes data;
};

CanReply can(RawClient& client, const Bytes& payload) {
    const Frame f = client.request(kCan, payload);
    CanReply r;
    EXPECT_EQ(f.command(), kCan);
    r.refusal = f.refusal();
    if (r.refusal != 0) {
        return r;
    }
    EXPECT_GE(f.length(), 5);
    r.address = f.at(3);
    r.object = f.at(4);
    r.action = f.at(5);
    r.auth = f.at(6);
    r.data_length = f.at(7);
    EXPECT_EQ(f.length(), r.data_length + 5);
    r.data.assign(f.bytes.begin() + 8, f.bytes.end() - 1);
    return r;
}

Bytes history_request(uint8_t module, uint8_t resolution, std::optional<CivilTime> t,
                      uint8_t count) {
    Bytes data = {module, resolution, 0, 0, 0, 0, 0, 0, count};
    if (t) {
        data[2] = static_cast<uint8_t>(t->year - 2000);
        data[3] = static_cast<uint8_t>(t->month);
        data[4] = static_cast<uint8_t>(t->day);
        data[5] = static_cast<uint8_t>(iso_weekday(*t));
        data[6] = static_cast<uint8_t>(t->hour);
        data[7] = static_cast<uint8_t>(t->minute);
    }
    return can_payload(0, 0x41, 7, 2, data);
}

CivilTime step_back(uint8_t resolution, const CivilTime& newest, int i) {
    switch (resolution) {
        case 36:
            return from_minutes(to_minutes(newest) - 10 * i);
        case 71:
            return from_minutes(to_minutes(newest) - 1440 * i);
        case 106: {
            const int index = newest.year * 12 + newest.month - 1 - i;
            return {index / 12, index % 12 + 1, 1, 0, 0, 0};
        }
        default:
            return {newest.year - i, 1, 1, 0, 0, 0};
    }
}

// The data bytes a history reply must carry, computed from the box's own model.
Bytes expected_history(const Emulator& box, uint8_t module, uint8_t resolution,
                       const CivilTime& newest, int count, const CivilTime& now) {
    std::vector<std::optional<uint32_t>> values;
    bool fours = false;
    for (int i = 0; i < count; ++i) {
        values.push_back(
            box.model().yield(module, resolution, step_back(resolution, newest, i), now));
        fours = fours || (values.back() && *values.back() > 65534);
    }
    Bytes data = {module,
                  static_cast<uint8_t>(resolution | (fours ? 0x80 : 0)),
                  static_cast<uint8_t>(newest.year - 1792),
                  static_cast<uint8_t>(newest.month),
                  static_cast<uint8_t>(newest.day),
                  static_cast<uint8_t>(iso_weekday(newest)),
                  static_cast<uint8_t>(newest.hour),
                  static_cast<uint8_t>(newest.minute)};
    for (const auto& v : values) {
        uint32_t word = 65535;
        if (v) {
            word = fours ? std::min<uint32_t>((*v + 2) / 4, 65534) : *v;
        }
        data = data + le16(word);
    }
    return data;
}

class Can : public ::testing::Test {
protected:
    void SetUp() override {
        box = start_box(config());
        client = std::make_unique<RawClient>(box->port());
        ASSERT_EQ(client->login_basic().status(), 1);
    }
    virtual Config config() { return test_config(); }

    std::unique_ptr<Emulator> box;
    std::unique_ptr<RawClient> client;
};

TEST_F(Can, MonitorClock) {
    const CivilTime before = box->now();
    const CanReply r = can(*client, can_payload(0, 0x20, 8, 0));
    const CivilTime after = box->now();
    ASSERT_EQ(r.refusal, 0);
    EXPECT_EQ(r.address, 0);
    EXPECT_EQ(r.object, 0x20);
    EXPECT_EQ(r.action, 1);
    EXPECT_EQ(r.auth, 0);
    ASSERT_EQ(r.data.size(), 9u);
    EXPECT_EQ(r.data[0], 0);
    EXPECT_EQ(r.data[1], 0);
    const CivilTime t = {r.data[2] + 1792, r.data[3], r.data[4], r.data[6], r.data[7], r.data[8]};
    EXPECT_TRUE(t == before || t == after);
    EXPECT_EQ(r.data[5], iso_weekday(t));
    // The clock was set to 2024-06-15 12:00, a Saturday, and runs on from there.
    EXPECT_EQ(r.data[2], 2024 - 1792);
    EXPECT_EQ(r.data[5], 6);
    EXPECT_GE(to_minutes(t), to_minutes({2024, 6, 15, 12, 0, 0}));
}

TEST_F(Can, InverterPowerFollowsTheModel) {
    for (uint8_t address : {4, 8, 12}) {
        const CivilTime before = box->now();
        const CanReply r = can(*client, can_payload(address, 0x31, 8, 2));
        const CivilTime after = box->now();
        ASSERT_EQ(r.refusal, 0);
        EXPECT_EQ(r.address, address);
        EXPECT_EQ(r.object, 0x31);
        EXPECT_EQ(r.action, 1);
        EXPECT_EQ(r.auth, 2);
        ASSERT_EQ(r.data.size(), 4u);
        EXPECT_EQ(r.data[0], 0);
        EXPECT_EQ(r.data[1], 0);
        const uint16_t power = static_cast<uint16_t>(r.data[2] | (r.data[3] << 8));
        EXPECT_GT(power, 0);  // noon in June
        EXPECT_TRUE(power == box->model().power(address, before) ||
                    power == box->model().power(address, after));
    }
}

TEST_F(Can, UnknownObjectsAnswerActionTwo) {
    struct Case {
        uint8_t address, object, action;
    };
    for (const Case& c : {Case{4, 0x32, 8}, Case{12, 0x20, 8}, Case{0, 0x31, 8}, Case{0, 0x42, 7},
                          Case{0, 0x41, 8}}) {
        const CanReply r = can(*client, can_payload(c.address, c.object, c.action, 2));
        ASSERT_EQ(r.refusal, 0);
        EXPECT_EQ(r.address, c.address);
        EXPECT_EQ(r.object, c.object);
        EXPECT_EQ(r.action, 2) << int(c.address) << " " << int(c.object);
        EXPECT_EQ(r.data_length, 0);
    }
}

TEST_F(Can, AuthLevelIsEchoedWithinZeroToThree) {
    for (uint8_t auth : {0, 1, 2, 3, 4, 200}) {
        EXPECT_EQ(can(*client, can_payload(8, 0x31, 8, auth)).auth, std::min<uint8_t>(auth, 3));
    }
}

TEST_F(Can, MalformedCanPayloadIsRefused) {
    EXPECT_EQ(client->request(kCan, {0, 0x20, 8, 0}).refusal(), -31);
    EXPECT_EQ(client->request(kCan, {0, 0x20, 8, 0, 3, 1, 2}).refusal(), -31);
}

TEST_F(Can, HistoryBlocksCarryTheModelValuesNewestFirst) {
    struct Case {
        uint8_t module;
        uint8_t resolution;
        CivilTime asked;
        CivilTime newest;
        uint8_t count;
    };
    const std::vector<Case> cases = {
        {4, 36, {2024, 6, 14, 13, 0}, {2024, 6, 14, 13, 0}, 12},
        {4, 36, {2024, 6, 14, 13, 7}, {2024, 6, 14, 13, 0}, 3},  // rounded down to its slot
        {128, 36, {2024, 6, 14, 0, 20}, {2024, 6, 14, 0, 20}, 3},
        {128, 36, {2024, 6, 14, 3, 0}, {2024, 6, 14, 3, 0}, 10},  // night
        {8, 71, {2024, 6, 10, 0, 0}, {2024, 6, 10, 0, 0}, 10},
        {12, 71, {2024, 3, 1, 0, 0}, {2024, 3, 1, 0, 0}, 5},  // back over 29 February
        {128, 106, {2024, 5, 1, 0, 0}, {2024, 5, 1, 0, 0}, 12},
        {4, 106, {2024, 5, 17, 0, 0}, {2024, 5, 1, 0, 0}, 1},
        {128, 125, {2023, 1, 1, 0, 0}, {2023, 1, 1, 0, 0}, 5},  // 2021 and before: no value
        {12, 125, {2023, 7, 4, 0, 0}, {2023, 1, 1, 0, 0}, 2},
        {128, 71, {2021, 3, 17, 0, 0}, {2021, 3, 17, 0, 0}, 5},  // installed 2021-03-15
    };
    for (const Case& c : cases) {
        const CanReply r = can(*client, history_request(c.module, c.resolution, c.asked, c.count));
        ASSERT_EQ(r.refusal, 0);
        EXPECT_EQ(r.address, 0);
        EXPECT_EQ(r.object, 0x41);
        EXPECT_EQ(r.action, 1);
        EXPECT_EQ(r.auth, 2);
        EXPECT_EQ(r.data_length, 8 + 2 * c.count);
        const Bytes expected =
            expected_history(*box, c.module, c.resolution, c.newest, c.count, box->now());
        EXPECT_EQ(r.data, expected) << int(c.module) << " " << int(c.resolution) << " "
                                    << c.asked.year << "-" << c.asked.month << "-" << c.asked.day;
    }
}

TEST_F(Can, HistoryUsesTheTimesFourScaleWhenASampleDoesNotFit) {
    // Find a sunny early afternoon in June, when ten minutes of inverter A exceed 16 bits.
    CivilTime noon = {2024, 6, 1, 13, 0, 0};
    std::optional<uint32_t> raw;
    for (; noon.day < 15; ++noon.day) {
        raw = box->model().yield(4, 36, noon, box->now());
        if (raw && *raw > 65534u) {
            break;
        }
    }
    ASSERT_LT(noon.day, 15) << "no June slot needs the times-4 scale";
    const CanReply r = can(*client, history_request(4, 36, noon, 12));
    ASSERT_EQ(r.data.size(), 32u);
    EXPECT_EQ(r.data[1], 36 | 0x80);
    EXPECT_EQ(r.data[8] | (r.data[9] << 8), static_cast<int>((*raw + 2) / 4));

    const CanReply night =
        can(*client, history_request(4, 36, CivilTime{2024, 6, 14, 2, 0, 0}, 12));
    EXPECT_EQ(night.data[1], 36);
}

TEST_F(Can, HistoryBeforeInstallationIsNoValue) {
    const CanReply r = can(*client, history_request(4, 71, CivilTime{2021, 3, 16, 0, 0, 0}, 4));
    ASSERT_EQ(r.data.size(), 16u);
    EXPECT_NE(r.data[8] | (r.data[9] << 8), 65535);    // 16 March
    EXPECT_NE(r.data[10] | (r.data[11] << 8), 65535);  // 15 March, the installation day
    EXPECT_EQ(r.data[12] | (r.data[13] << 8), 65535);  // 14 March
    EXPECT_EQ(r.data[14] | (r.data[15] << 8), 65535);
}

TEST_F(Can, HistoryOfTheCurrentPeriodWhenTheTimeIsZero) {
    for (uint8_t resolution : {36, 71, 106, 125}) {
        // The current period keeps growing; retry until the clock stood still across the call.
        for (int attempt = 0; attempt < 20; ++attempt) {
            const CivilTime before = box->now();
            const CanReply r = can(*client, history_request(128, resolution, std::nullopt, 3));
            const CivilTime now = box->now();
            if (!(before == now)) {
                continue;
            }
            CivilTime newest = {now.year, now.month, now.day, now.hour, now.minute / 10 * 10, 0};
            if (resolution != 36) {
                newest.hour = newest.minute = 0;
            }
            if (resolution == 106 || resolution == 125) {
                newest.day = 1;
            }
            if (resolution == 125) {
                newest.month = 1;
            }
            EXPECT_EQ(r.data, expected_history(*box, 128, resolution, newest, 3, now))
                << int(resolution);
            break;
        }
    }
}

TEST_F(Can, HistoryCountIsOneToTwelve) {
    const CivilTime t = {2024, 6, 1, 0, 0, 0};
    EXPECT_EQ(can(*client, history_request(4, 71, t, 0)).data_length, 10);
    EXPECT_EQ(can(*client, history_request(4, 71, t, 1)).data_length, 10);
    EXPECT_EQ(can(*client, history_request(4, 71, t, 12)).data_length, 32);
    EXPECT_EQ(can(*client, history_request(4, 71, t, 13)).data_length, 32);
    EXPECT_EQ(can(*client, history_request(4, 71, t, 255)).data_length, 32);
}

TEST_F(Can, HistoryRequestsTheMonitorDoesNotKnow) {
    const CivilTime t = {2024, 6, 1, 0, 0, 0};
    Bytes bad_date = history_request(4, 71, t, 2);
    bad_date[5 + 3] = 13;  // month 13
    Bytes short_data = history_request(4, 71, t, 2);
    short_data.pop_back();
    short_data[4] = 8;
    for (const Bytes& request :
         {history_request(5, 71, t, 2), history_request(0, 71, t, 2), history_request(4, 37, t, 2),
          history_request(4, 71 | 0x80, t, 2), short_data}) {
        const CanReply r = can(*client, request);
        ASSERT_EQ(r.refusal, 0);
        EXPECT_EQ(r.action, 2);
        EXPECT_EQ(r.data_length, 0);
    }
    // A date that does not exist is an error in a request the monitor understands.
    const CanReply r = can(*client, bad_date);
    ASSERT_EQ(r.refusal, 0);
    EXPECT_EQ(r.action, 3);
    EXPECT_EQ(r.data_length, 0);
}

class CanWithInverterAOnly : public Can {
protected:
    Config config() override {
        Config c = test_config();
        c.inverters = "A";
        return c;
    }
};

TEST_F(CanWithInverterAOnly, MissingModulesTimeOut) {
    EXPECT_EQ(can(*client, can_payload(4, 0x31, 8, 2)).refusal, 0);
    for (uint8_t address : {8, 12, 1, 2, 3, 5, 16, 32, 63, 64, 255}) {
        EXPECT_EQ(can(*client, can_payload(address, 0x31, 8, 2)).refusal, -21) << int(address);
    }
}

TEST_F(CanWithInverterAOnly, HistoryOfAMissingInverterHasNoValues) {
    const CanReply r = can(*client, history_request(8, 71, CivilTime{2024, 6, 1, 0, 0, 0}, 3));
    ASSERT_EQ(r.action, 1);
    ASSERT_EQ(r.data.size(), 14u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(r.data[8 + 2 * i] | (r.data[9 + 2 * i] << 8), 65535);
    }
    // The box total counts inverter A alone.
    const CanReply total =
        can(*client, history_request(128, 71, CivilTime{2024, 6, 1, 0, 0, 0}, 1));
    const CanReply a = can(*client, history_request(4, 71, CivilTime{2024, 6, 1, 0, 0, 0}, 1));
    EXPECT_EQ(total.data[1], a.data[1]);
    EXPECT_EQ(Bytes(total.data.begin() + 2, total.data.end()),
              Bytes(a.data.begin() + 2, a.data.end()));
}

}  // namespace
}  // namespace kestemu::test

// The box information calls: the two version values, the serial number and the sleep state.
#include <cstring>
#include <memory>
#include <string>

#include "Harness.h"

namespace integ {
namespace {

// The box's documented answers.
constexpr int32_t kFirmwareVersion = 0x0203;
constexpr int32_t kHardwareVersion = 0x0105;
constexpr uint8_t kAwake = 0;

class InfoTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override { c.serial = "KEST-TEST-0815"; }
    void SetUp() override {
        BoxTest::SetUp();
        open_link(0, kBasicUser, kBasicPassword);
    }

    std::vector<uint8_t> commands_since(size_t mark) const {
        std::vector<uint8_t> out;
        for (const auto& f : frames_since(mark)) {
            out.push_back(frame_command(f));
        }
        return out;
    }
};

TEST_F(InfoTest, VersionAsksForEachValueItsOwnCommand) {
    struct Row {
        bool first, second;
        std::vector<uint8_t> commands;
    };
    const Row rows[] = {
        {true, true, {0x80, 0x00}},
        {true, false, {0x80}},
        {false, true, {0x00}},
        {false, false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.first << row.second);
        int32_t first = -1, second = -1;
        const size_t mark = frame_mark();
        EXPECT_EQ(
            Pc2Lan_Get_Version(0, row.first ? &first : nullptr, row.second ? &second : nullptr), 0);
        EXPECT_EQ(commands_since(mark), row.commands);
        EXPECT_EQ(first, row.first ? kFirmwareVersion : -1);
        EXPECT_EQ(second, row.second ? kHardwareVersion : -1);
    }
}

TEST_F(InfoTest, SerialIsTheBoxSerial) {
    char serial[81];
    std::memset(serial, 'x', sizeof serial);
    EXPECT_EQ(Pc2Lan_Get_Serial(0, serial), 0);
    EXPECT_STREQ(serial, "KEST-TEST-0815");

    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Get_Serial(0, nullptr), 0);
    EXPECT_TRUE(frames_since(mark).empty());
}

TEST_F(InfoTest, SleepStateIsOneByte) {
    uint8_t state = 0xEE;
    EXPECT_EQ(Pc2Lan_Get_Sleep(0, &state), 0);
    EXPECT_EQ(state, kAwake);

    const size_t mark = frame_mark();
    EXPECT_EQ(Pc2Lan_Get_Sleep(0, nullptr), -10);
    EXPECT_TRUE(frames_since(mark).empty());
    EXPECT_EQ(Pc2Lan_Get_Sleep(0, &state), 0) << "the refused call leaves the link usable";
}

class LongSerialTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override { c.serial = std::string(80, 'S'); }
};

TEST_F(LongSerialTest, EightyCharactersFillTheWholeBuffer) {
    open_link(0);
    // Exactly the 81 bytes the caller must provide, on the heap so an overrun is caught.
    auto serial = std::make_unique<char[]>(81);
    EXPECT_EQ(Pc2Lan_Get_Serial(0, serial.get()), 0);
    EXPECT_EQ(std::string(serial.get()), config.serial);
}

}  // namespace
}  // namespace integ

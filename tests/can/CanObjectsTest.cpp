// The protocol vocabulary: the reply test, the byte order and the name tables.
#include "ChannelHarness.h"
#include "monitor/can/CanObjects.h"

namespace cantest {
namespace {

struct ReplyCase {
    const char* label;
    uint8_t address, object, action, auth, length;
    bool valid;
};

TEST(CanObjects, IsValidReplyAcceptsExactlyTheModuleRanges) {
    const ReplyCase cases[] = {
        {"all zero", 0, 0, 0, 0, 0, true},
        {"every field at its limit", 63, 128, 7, 3, 32, true},
        {"address 64", 64, 0x31, 1, 2, 4, false},
        {"object 129", 4, 129, 1, 2, 4, false},
        {"action 8 (a request echoed)", 4, 0x31, 8, 2, 4, false},
        {"auth level 4", 4, 0x31, 1, 4, 4, false},
        {"length 33", 0, 0x41, 1, 2, 33, false},
        {"address 255", 255, 0x31, 1, 2, 4, false},
    };
    for (const ReplyCase& c : cases) {
        CanMessage reply = Message(c.address, c.object, c.action, c.auth);
        reply.Length = c.length;
        EXPECT_EQ(IsValidReply(reply), c.valid) << c.label;
    }
}

TEST(CanObjects, MakeWordTakesTheLowByteFirst) {
    EXPECT_EQ(MakeWord(0x10, 0x27), 10000);
    EXPECT_EQ(MakeWord(0x34, 0x12), 0x1234);
    EXPECT_EQ(MakeWord(0xFF, 0xFF), 65535);
    EXPECT_EQ(MakeWord(0x01, 0x00), 1);
}

TEST(CanObjects, ModuleNamesCoverTheFourAddressRanges) {
    const struct {
        uint8_t address;
        const char* description;
        const char* typeName;
    } cases[] = {
        {0, "Monitor", "MONITOR "},
        {1, "Safety", "UNKNOWN "},
        {3, "Unallocated Inverter", "UNKNOWN "},
        {4, "Inverter A", "INVRT.A "},
        {7, "Inverter A", "UNKNOWN "},
        {8, "Inverter B", "INVRT.B "},
        {12, "Inverter C", "INVRT.C "},
        {15, "Inverter C", "UNKNOWN "},
        {16, "", "UNKNOWN "},
        {32, "Display and Key", "DKM     "},
        {36, "Option 1", "OPTION 1"},
        {41, "Option 2", "UNKNOWN "},
        {61, "Non-inverter broadcast", "UNKNOWN "},
        {63, "General broadcast", "UNKNOWN "},
        {128, "", "UNKNOWN "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ModuleDescription(c.address), QString(c.description)) << int(c.address);
        EXPECT_EQ(ModuleTypeName(c.address), QString(c.typeName)) << int(c.address);
        EXPECT_EQ(ModuleTypeName(c.address).size(), 8) << int(c.address);
    }
}

TEST(CanObjects, ObjectAndActionNames) {
    EXPECT_EQ(CanObjectName(0x20), "Monitor Date/Time / PV Panel Configuration");
    EXPECT_EQ(CanObjectName(0x31), "Inverter actual Power / Monitor Residual Current");
    EXPECT_EQ(CanObjectName(0x41), "Yield History data");
    EXPECT_EQ(CanObjectName(0x61), "Region of Operation Options");
    EXPECT_EQ(CanObjectName(0x44), "UNKNOWN ");
    EXPECT_EQ(CanObjectName(0xFF), "UNKNOWN ");

    const char* labels[] = {"rmt/wr ", "confirm", "unknown", "errresp",
                            "wr+conf", "",        "",        "rd-ngen"};
    for (int action = 0; action < 8; ++action) {
        EXPECT_EQ(ActionLabel(uint8_t(action)), QString(labels[action])) << action;
    }
    EXPECT_EQ(ActionLabel(8), QString());
}

}  // namespace
}  // namespace cantest

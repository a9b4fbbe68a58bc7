// The password change of a box account, against kestemu's account table.
#include "DataHarness.h"
#include "monitor/can/CANMessages.h"
#include "monitor/data/KestPassword.h"

namespace datatest {
namespace {

constexpr uint8_t Cmd_Account_Numbers = 0xD0;
constexpr uint8_t Cmd_Account_Get_Info = 0xD1;
constexpr uint8_t Cmd_Account_Modify = 0xD4;
constexpr uint8_t Cmd_Account_Store = 0xD6;

class PasswordTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        Box = &StartBox();
    }

    int32_t AddBox(const QString& user, const QString& password) {
        KestSpec spec;
        spec.Port = Box->port();
        spec.UserName = user;
        spec.Password = password;
        return AddKest(spec);
    }

    int Frames(uint8_t command) const {
        int count = 0;
        for (const auto& frame : Box->received()) {
            count += frame.bytes.at(0) == command ? 1 : 0;
        }
        return count;
    }

    // The account indices the box was asked about, in order.
    std::vector<int> InfoIndices() const {
        std::vector<int> indices;
        for (const auto& frame : Box->received()) {
            if (frame.bytes.at(0) == Cmd_Account_Get_Info && frame.bytes.size() >= 5) {
                indices.push_back(frame.bytes[3] | (frame.bytes[4] << 8));
            }
        }
        return indices;
    }

    // Time-outs of the box's session link that differ from the library's defaults.
    void SetTimeouts(int32_t kestId) {
        Sessions->ConnectKest(kestId);
        ASSERT_TRUE(Sessions->IsKestConnected(kestId));
        ASSERT_EQ(Pc2Lan_Set_Com_Param(Sessions->ChannelOfKest(kestId)->LinkHandle(), 1200, 1700),
                  0);
    }

    void ExpectTimeouts(int32_t kestId) {
        int32_t io = 0;
        int32_t reply = 0;
        ASSERT_EQ(Pc2Lan_Get_Com_Param(Sessions->ChannelOfKest(kestId)->LinkHandle(), &io, &reply),
                  0);
        EXPECT_EQ(io, 1200);
        EXPECT_EQ(reply, 1700);
    }

    kestemu::Emulator* Box = nullptr;
};

TEST_F(PasswordTest, ALevel3SessionIsRefusedWithoutAccountRequests) {
    const int32_t roof = AddBox("BasicUser", "basic1234");
    EXPECT_EQ(ChangeKestPassword(*Sessions, roof, "BasicUser", "fresh5678"), Password_Not_Allowed);
    EXPECT_TRUE(Sessions->IsKestConnected(roof));  // connected on demand
    EXPECT_EQ(Frames(Cmd_Account_Numbers), 0);
    EXPECT_EQ(Frames(Cmd_Account_Get_Info), 0);
    EXPECT_EQ(Frames(Cmd_Account_Modify), 0);
    EXPECT_FALSE(View.WaitTexts.contains("Please wait"));
    EXPECT_FALSE(View.WaitShowing);
    EXPECT_EQ(Box->accounts().at(0).password, "basic1234");
}

TEST_F(PasswordTest, NamesAreComparedExactlyUpToOnePastTheCount) {
    const int32_t roof = AddBox("Administrator", "admin1234");
    SetTimeouts(roof);
    EXPECT_EQ(ChangeKestPassword(*Sessions, roof, "administrator", "fresh5678"), Password_Failed);
    EXPECT_EQ(Frames(Cmd_Account_Numbers), 1);
    // Two accounts, no match: index 2 is asked for too, and the box refuses it.
    EXPECT_EQ(InfoIndices(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Frames(Cmd_Account_Modify), 0);
    EXPECT_EQ(Frames(Cmd_Account_Store), 0);
    ExpectTimeouts(roof);
    EXPECT_TRUE(View.WaitTexts.contains("Please wait"));
    EXPECT_FALSE(View.WaitShowing);
    EXPECT_EQ(Box->accounts().at(1).password, "admin1234");
}

TEST_F(PasswordTest, AChangeIsStoredOnTheBoxOnly) {
    const int32_t roof = AddBox("Administrator", "admin1234");
    SetTimeouts(roof);
    EXPECT_EQ(ChangeKestPassword(*Sessions, roof, "BasicUser", "fresh5678"), Password_Changed);
    const kestemu::Account changed = Box->accounts().at(0);
    EXPECT_EQ(changed.name, "BasicUser");
    EXPECT_EQ(changed.password, "fresh5678");
    EXPECT_EQ(changed.value, 3);  // level and flag written back as read
    EXPECT_EQ(changed.flag, 1);
    EXPECT_EQ(InfoIndices(), std::vector<int>{0});
    EXPECT_EQ(Frames(Cmd_Account_Store), 1);
    ExpectTimeouts(roof);
    TKestRow row;
    ASSERT_TRUE(UserData->FindKest(roof, &row));
    EXPECT_EQ(row.Password, "admin1234");
    EXPECT_FALSE(View.WaitShowing);
}

TEST_F(PasswordTest, ARefusedModifyStillRestoresTheTimeouts) {
    const int32_t roof = AddBox("Administrator", "admin1234");
    SetTimeouts(roof);
    EXPECT_EQ(ChangeKestPassword(*Sessions, roof, "BasicUser", "has space"), Password_Failed);
    EXPECT_EQ(Frames(Cmd_Account_Modify), 1);
    EXPECT_EQ(Frames(Cmd_Account_Store), 1);
    ExpectTimeouts(roof);
    EXPECT_EQ(Box->accounts().at(0).password, "basic1234");
    EXPECT_FALSE(View.WaitShowing);
}

TEST_F(PasswordTest, TextsTheBoxCannotTakeAreNotSent) {
    const int32_t roof = AddBox("Administrator", "admin1234");
    EXPECT_EQ(
        ChangeKestPassword(*Sessions, roof, "BasicUser", QString::fromUtf8("fresh\u20ac5678")),
        Password_Failed);
    EXPECT_EQ(Frames(Cmd_Account_Numbers), 0);
    EXPECT_EQ(Box->accounts().at(0).password, "basic1234");
    EXPECT_FALSE(View.WaitShowing);
}

TEST_F(PasswordTest, BoxesWithoutAWorkingLinkFail) {
    const int32_t unreachable = [&] {
        kestemu::Emulator gone(DefaultBoxConfig());
        EXPECT_TRUE(gone.start());
        KestSpec spec;
        spec.Name = "Shed";
        spec.Port = gone.port();
        gone.stop();
        return AddKest(spec);
    }();
    EXPECT_EQ(ChangeKestPassword(*Sessions, unreachable, "BasicUser", "fresh5678"),
              Password_Failed);
    EXPECT_EQ(View.Notifications, QStringList{"No response Shed Check the connection"});
    EXPECT_FALSE(View.WaitShowing);

    const ReplayBox replay("[00-20-08-00-00]\nREQ0000=0-32-1-0-9-0-0-232-6-20-4-23-0-0\n");
    KestSpec spec;
    spec.Name = "Cellar";
    spec.Ip = Replay_Prefix + replay.Path();
    const int32_t cellar = AddKest(spec);
    EXPECT_EQ(ChangeKestPassword(*Sessions, cellar, "Administrator", "fresh5678"), Password_Failed);
    EXPECT_TRUE(Sessions->IsKestConnected(cellar));
    EXPECT_EQ(Sessions->NextLinkHandle, 0);
    EXPECT_FALSE(View.WaitShowing);
}

}  // namespace
}  // namespace datatest

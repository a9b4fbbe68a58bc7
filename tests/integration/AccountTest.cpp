// The box's account table through the seven account calls: reading, adding, changing and
// removing accounts, every refusal as each call reports it, and keeping the table across runs.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Exports.h"
#include "Harness.h"

namespace integ {
namespace {

struct Info {
    int32_t result = 0;
    std::string name;
    std::string password;
    int32_t value = -1;
    int32_t flag = -1;
};

// Reads one account into buffers of exactly 21 bytes, on the heap so an overrun is caught.
Info get_info(int link, int32_t account) {
    auto name = std::make_unique<char[]>(21);
    auto password = std::make_unique<char[]>(21);
    std::memset(name.get(), '#', 21);
    std::memset(password.get(), '#', 21);
    Info info;
    info.result =
        Pc2Lan_Account_Get_Info(link, account, name.get(), password.get(), &info.value, &info.flag);
    info.name.assign(name.get(), strnlen(name.get(), 21));
    info.password.assign(password.get(), strnlen(password.get(), 21));
    return info;
}

int32_t account_count(int link) {
    int32_t first = -1, count = -1;
    EXPECT_EQ(Pc2Lan_Account_Numbers(link, &first, &count), 0);
    EXPECT_EQ(first, 0);
    return count;
}

class AccountTest : public BoxTest {
protected:
    void SetUp() override {
        BoxTest::SetUp();
        open_link(0);
    }

    int32_t login_as(int handle, const char* user, const char* password) {
        create_link(handle, user, password);
        int32_t level = -1;
        const int32_t r = Pc2Lan_Connect(handle, &level, 2);
        return r < 0 ? r : level;
    }
};

TEST_F(AccountTest, DefaultAccountsAreReadBack) {
    EXPECT_EQ(account_count(0), 2);
    EXPECT_EQ(Pc2Lan_Account_Numbers(0, nullptr, nullptr), 0);

    const Info basic = get_info(0, 0);
    EXPECT_EQ(basic.result, 0);
    EXPECT_EQ(basic.name, kBasicUser);
    EXPECT_EQ(basic.password, kBasicPassword);
    EXPECT_EQ(basic.value, 3);
    EXPECT_EQ(basic.flag, 1);

    const Info admin = get_info(0, 1);
    EXPECT_EQ(admin.result, 0);
    EXPECT_EQ(admin.name, kAdminUser);
    EXPECT_EQ(admin.password, kAdminPassword);
    EXPECT_EQ(admin.value, 4);
    EXPECT_EQ(admin.flag, 1);

    EXPECT_EQ(Pc2Lan_Account_Get_Info(0, 1, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST_F(AccountTest, IndexAtOrBeyondTheCountIsRefused) {
    for (int32_t index : {2, 15, 16, 300}) {
        SCOPED_TRACE(index);
        const Info info = get_info(0, index);
        EXPECT_EQ(info.result, -12);
        EXPECT_EQ(info.name, std::string(21, '#')) << "outputs stay untouched";
        EXPECT_EQ(info.value, -1);
        EXPECT_EQ(info.flag, -1);
    }
}

TEST_F(AccountTest, AddedAccountIsReadBackAndLogsIn) {
    ASSERT_EQ(Pc2Lan_Account_Add(0, 4, "Operator", "oper5678", 2, 5), 0);
    EXPECT_EQ(account_count(0), 5) << "the count runs to the highest used slot";

    const Info op = get_info(0, 4);
    EXPECT_EQ(op.result, 0);
    EXPECT_EQ(op.name, "Operator");
    EXPECT_EQ(op.password, "oper5678");
    EXPECT_EQ(op.value, 2);
    EXPECT_EQ(op.flag, 1) << "any non-zero flag travels as 1";

    const auto accounts = emu->accounts();
    ASSERT_EQ(accounts.size(), 5u);
    EXPECT_EQ(accounts[4].name, "Operator");
    EXPECT_EQ(accounts[4].flag, 1);

    const Info gap = get_info(0, 3);
    EXPECT_EQ(gap.result, 0);
    EXPECT_EQ(gap.name, "");
    EXPECT_EQ(gap.password, "");

    EXPECT_EQ(login_as(1, "Operator", "oper5678"), 2);
}

TEST_F(AccountTest, TwentyCharactersAreTheLimit) {
    const std::string name20 = "OperatorWithLongName";
    const std::string password20 = "PasswordOfTwentyChrs";
    ASSERT_EQ(name20.size(), 20u);
    ASSERT_EQ(password20.size(), 20u);
    ASSERT_EQ(Pc2Lan_Account_Add(0, 2, name20.c_str(), password20.c_str(), 3, 1), 0);
    const Info info = get_info(0, 2);
    EXPECT_EQ(info.name, name20);
    EXPECT_EQ(info.password, password20);
    EXPECT_EQ(login_as(1, name20.c_str(), password20.c_str()), 3);

    ASSERT_EQ(Pc2Lan_Account_Add(0, 3, (name20 + "Extra").c_str(), "short1", 3, 1), -10)
        << "cut to twenty characters the name is the one of slot 2";
    ASSERT_EQ(Pc2Lan_Account_Add(0, 3, "Other", (password20 + "Extra").c_str(), 3, 1), 0);
    EXPECT_EQ(get_info(0, 3).password, password20);
}

TEST_F(AccountTest, ModifiedAccountTakesEffect) {
    ASSERT_EQ(Pc2Lan_Account_Add(0, 2, "Operator", "oper5678", 3, 1), 0);
    ASSERT_EQ(Pc2Lan_Account_Modify(0, 2, "Operator2", "other5678", 1, 0), 0);
    const Info info = get_info(0, 2);
    EXPECT_EQ(info.name, "Operator2");
    EXPECT_EQ(info.password, "other5678");
    EXPECT_EQ(info.value, 1);
    EXPECT_EQ(info.flag, 0);
    EXPECT_EQ(login_as(1, "Operator2", "other5678"), -13) << "the account is now disabled";
    EXPECT_EQ(login_as(2, "Operator", "oper5678"), -12);

    EXPECT_EQ(Pc2Lan_Account_Modify(0, 2, "Operator2", "other5678", 1, 1), 0)
        << "an account may keep its own name";
    EXPECT_EQ(login_as(3, "Operator2", "other5678"), 1);
}

TEST_F(AccountTest, RemovedAccountIsGone) {
    ASSERT_EQ(Pc2Lan_Account_Add(0, 5, "Operator", "oper5678", 3, 1), 0);
    EXPECT_EQ(account_count(0), 6);
    EXPECT_EQ(Pc2Lan_Account_Remove(0, 5), 0);
    EXPECT_EQ(account_count(0), 2);
    EXPECT_EQ(login_as(1, "Operator", "oper5678"), -12);
    EXPECT_EQ(Pc2Lan_Account_Remove(0, 0), 0);
    EXPECT_EQ(login_as(2, kBasicUser, kBasicPassword), -12);
}

struct Refusal {
    const char* what;
    int32_t account;
    const char* name;
    const char* password;
    int32_t value;
    int32_t result;
};

TEST_F(AccountTest, AddRefusalsMapToAddCodes) {
    const Refusal rows[] = {
        {"used slot", 0, "Fresh", "fresh123", 3, -13},
        {"slot beyond the table", 16, "Fresh", "fresh123", 3, -12},
        {"empty name", 3, "", "fresh123", 3, -14},
        {"space in name", 3, "Fresh Man", "fresh123", 3, -15},
        {"control character in name", 3, "Fresh\x7F", "fresh123", 3, -15},
        {"empty password", 3, "Fresh", "", 3, -16},
        {"space in password", 3, "Fresh", "fresh 123", 3, -17},
        {"level above 4", 3, "Fresh", "fresh123", 5, -18},
        {"negative level", 3, "Fresh", "fresh123", -1, -18},
        {"name of another account", 3, kBasicUser, "fresh123", 3, -10},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Pc2Lan_Account_Add(0, row.account, row.name, row.password, row.value, 1),
                  row.result);
    }
    EXPECT_EQ(account_count(0), 2) << "no refused add changed the table";
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
}

TEST_F(AccountTest, ModifyRefusalsMapToModifyCodes) {
    const Refusal rows[] = {
        {"name of another account", 0, kAdminUser, "fresh123", 3, -19},
        {"empty slot", 5, "Fresh", "fresh123", 3, -13},
        {"slot beyond the table", 16, "Fresh", "fresh123", 3, -12},
        {"empty name", 0, "", "fresh123", 3, -14},
        {"space in name", 0, "Fresh Man", "fresh123", 3, -15},
        {"empty password", 0, "Fresh", "", 3, -16},
        {"space in password", 0, "Fresh", "fresh 123", 3, -17},
        {"level above 4", 0, "Fresh", "fresh123", 7, -18},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Pc2Lan_Account_Modify(0, row.account, row.name, row.password, row.value, 1),
                  row.result);
    }
    const Info basic = get_info(0, 0);
    EXPECT_EQ(basic.name, kBasicUser) << "no refused modify changed the account";
    EXPECT_EQ(basic.password, kBasicPassword);
}

TEST_F(AccountTest, RemoveRefusalsMapToRemoveCodes) {
    EXPECT_EQ(Pc2Lan_Account_Remove(0, 1), -20) << "own account";
    EXPECT_EQ(Pc2Lan_Account_Remove(0, 5), -13) << "empty slot";
    EXPECT_EQ(Pc2Lan_Account_Remove(0, 16), -12) << "slot beyond the table";

    // Demote our own account: the session keeps its level, and the other administrator is
    // then the last one the box has.
    ASSERT_EQ(Pc2Lan_Account_Add(0, 2, "Admin2", "second12", 4, 1), 0);
    ASSERT_EQ(Pc2Lan_Account_Modify(0, 1, kAdminUser, kAdminPassword, 3, 1), 0);
    EXPECT_EQ(Pc2Lan_Account_Remove(0, 2), -20) << "last administrator";
    EXPECT_EQ(account_count(0), 3);
}

TEST_F(AccountTest, LevelThreeMayNotTouchAccountsOrConnections) {
    ASSERT_EQ(login_as(1, kBasicUser, kBasicPassword), 3);
    for (const auto& e : account_exports()) {
        EXPECT_EQ(e.call(1), -11) << e.name;
    }
    EXPECT_EQ(emu->accounts().size(), 2u);
    EXPECT_EQ(get_info(0, 0).password, kBasicPassword);
    EXPECT_EQ(Pc2Lan_Keep_Alive(1), 0);
}

TEST_F(AccountTest, UpdateGoesBackToTheStoredTable) {
    ASSERT_EQ(Pc2Lan_Account_Add(0, 3, "Operator", "oper5678", 3, 1), 0);
    EXPECT_EQ(Pc2Lan_Account_Update(0), 0);
    EXPECT_EQ(account_count(0), 2) << "an add that was not stored is undone";

    ASSERT_EQ(Pc2Lan_Account_Add(0, 3, "Operator", "oper5678", 3, 1), 0);
    EXPECT_EQ(Pc2Lan_Account_Store(0), 0);
    EXPECT_EQ(Pc2Lan_Account_Update(0), 0);
    EXPECT_EQ(account_count(0), 4);
    EXPECT_EQ(get_info(0, 3).name, "Operator");
}

TEST_F(AccountTest, PasswordChangeAsTheMonitorProgramDoesIt) {
    const int32_t count = account_count(0);
    int32_t found = -1;
    Info target;
    for (int32_t i = 0; i < count && found < 0; ++i) {
        target = get_info(0, i);
        if (target.result == 0 && target.name == kBasicUser) {
            found = i;
        }
    }
    ASSERT_EQ(found, 0);
    ASSERT_EQ(Pc2Lan_Account_Modify(0, found, target.name.c_str(), "changed99", target.value,
                                    target.flag),
              0);
    ASSERT_EQ(Pc2Lan_Account_Store(0), 0);
    EXPECT_EQ(login_as(1, kBasicUser, "changed99"), 3);
    EXPECT_EQ(login_as(2, kBasicUser, kBasicPassword), -12);
}

class StateFileTest : public BoxTest {
protected:
    void configure(kestemu::Config& c) override {
        path_ = testing::TempDir() + "kestemu-accounts-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(path_.c_str());
        c.state_file = path_;
    }
    void TearDown() override {
        BoxTest::TearDown();
        std::remove(path_.c_str());
    }

    std::string path_;
};

TEST_F(StateFileTest, StoredAccountsSurviveARestart) {
    open_link(0);
    ASSERT_EQ(Pc2Lan_Account_Add(0, 2, "Operator", "oper5678", 3, 1), 0);
    ASSERT_EQ(Pc2Lan_Account_Modify(0, 0, kBasicUser, "renewed1", 3, 1), 0);
    ASSERT_EQ(Pc2Lan_Account_Store(0), 0);

    restart(config);
    const auto accounts = emu->accounts();
    ASSERT_EQ(accounts.size(), 3u);
    EXPECT_EQ(accounts[2].name, "Operator");
    EXPECT_EQ(accounts[2].password, "oper5678");
    EXPECT_EQ(accounts[0].password, "renewed1");

    create_link(1, "Operator", "oper5678");
    int32_t level = -1;
    EXPECT_GE(Pc2Lan_Connect(1, &level, 2), 0);
    EXPECT_EQ(level, 3);
    create_link(2, kBasicUser, "renewed1");
    EXPECT_GE(Pc2Lan_Connect(2, &level, 2), 0);
}

TEST_F(StateFileTest, ChangesThatWereNotStoredAreLost) {
    open_link(0);
    ASSERT_EQ(Pc2Lan_Account_Add(0, 2, "Operator", "oper5678", 3, 1), 0);
    restart(config);
    EXPECT_EQ(emu->accounts().size(), 2u);
    create_link(1, "Operator", "oper5678");
    int32_t level = -1;
    EXPECT_EQ(Pc2Lan_Connect(1, &level, 2), -12);
}

TEST_F(StateFileTest, UpdateReadsTheStateFile) {
    open_link(0);
    ASSERT_EQ(Pc2Lan_Account_Add(0, 2, "Operator", "oper5678", 3, 1), 0);
    ASSERT_EQ(Pc2Lan_Account_Store(0), 0);
    ASSERT_EQ(Pc2Lan_Account_Remove(0, 2), 0);
    EXPECT_EQ(account_count(0), 2);
    EXPECT_EQ(Pc2Lan_Account_Update(0), 0);
    EXPECT_EQ(account_count(0), 3);
    EXPECT_EQ(get_info(0, 2).name, "Operator");
}

}  // namespace
}  // namespace integ

// The account table: numbers, info, add, modify, remove, update, store and the state file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "RawClient.h"

namespace kestemu::test {
namespace {

Bytes account_payload(uint16_t index, const std::string& name, const std::string& password,
                      int32_t value, int32_t flag) {
    return le16(index) + coded_area(name, password) + le32(static_cast<uint32_t>(value)) +
           le32(static_cast<uint32_t>(flag));
}

struct Info {
    int16_t refusal;
    std::string name;
    std::string password;
    int32_t value;
    int32_t flag;
};

Info get_info(RawClient& client, uint16_t index) {
    const Frame f = client.request(0xD1, le16(index));
    Info info{f.refusal(), "", "", 0, 0};
    if (info.refusal != 0) {
        return info;
    }
    EXPECT_EQ(f.length(), 52);
    EXPECT_EQ(f.s16(3), 0);
    EXPECT_EQ(f.u16(5), 0);
    Bytes area(f.bytes.begin() + 7, f.bytes.begin() + 47);
    for (size_t k = 0; k < area.size(); ++k) {
        area[k] ^= static_cast<uint8_t>(0x5D + k);
    }
    auto text = [&](size_t from) {
        std::string s;
        for (size_t i = from; i < from + 20 && area[i] != 0; ++i) {
            s += static_cast<char>(area[i]);
        }
        return s;
    };
    info.name = text(0);
    info.password = text(20);
    info.value = static_cast<int32_t>(f.u32(47));
    info.flag = static_cast<int32_t>(f.u32(51));
    return info;
}

int account_count(RawClient& client) {
    const Frame f = client.request(0xD0);
    EXPECT_EQ(f.status(), 1);
    EXPECT_EQ(f.length(), 4);
    EXPECT_EQ(f.s16(3), 0);
    return f.u16(5);
}

std::string temporary_path(const std::string& name) {
    return ::testing::TempDir() + "kestemu-" + std::to_string(::getpid()) + "-" + name;
}

class Accounts : public ::testing::Test {
protected:
    void SetUp() override {
        box = start_box(config);
        admin = std::make_unique<RawClient>(box->port());
        ASSERT_EQ(admin->login_admin().status(), 1);
    }
    Config config = test_config();
    std::unique_ptr<Emulator> box;
    std::unique_ptr<RawClient> admin;
};

TEST_F(Accounts, BelowLevelFourEveryAccountCommandIsNotPermitted) {
    RawClient basic(box->port());
    basic.login_basic();
    for (uint8_t command : {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD8, 0xD9}) {
        EXPECT_EQ(basic.request(command, account_payload(0, "X", "Y", 1, 1)).refusal(), -12)
            << std::hex << int(command);
    }
    EXPECT_EQ(box->accounts().size(), 2u);
}

TEST_F(Accounts, DefaultTable) {
    EXPECT_EQ(account_count(*admin), 2);
    const Info basic = get_info(*admin, 0);
    EXPECT_EQ(basic.refusal, 0);
    EXPECT_EQ(basic.name, "BasicUser");
    EXPECT_EQ(basic.password, "basic1234");
    EXPECT_EQ(basic.value, 3);
    EXPECT_EQ(basic.flag, 1);
    const Info administrator = get_info(*admin, 1);
    EXPECT_EQ(administrator.name, "Administrator");
    EXPECT_EQ(administrator.password, "admin1234");
    EXPECT_EQ(administrator.value, 4);
    EXPECT_EQ(get_info(*admin, 2).refusal, -11);
    EXPECT_EQ(get_info(*admin, 0xFFFF).refusal, -11);
    EXPECT_EQ(admin->request(0xD1).refusal(), -31);
}

TEST_F(Accounts, AddChecksEachField) {
    struct Case {
        uint16_t index;
        std::string name;
        std::string password;
        int32_t value;
        int16_t refusal;
    };
    const std::vector<Case> cases = {
        {16, "Fred", "secret12", 2, -11},
        {1, "Fred", "secret12", 2, -20},
        {3, "", "secret12", 2, -15},
        {3, "Fr ed", "secret12", 2, -16},
        {3,
         "Fr\x7F"
         "ed",
         "secret12", 2, -16},
        {3, "Fred", "", 2, -17},
        {3, "Fred", "sec ret", 2, -18},
        {3, "Fred", "sec\x80ret", 2, -18},
        {3, "Fred", "secret12", 5, -19},
        {3, "Fred", "secret12", -1, -19},
        {3, "BasicUser", "secret12", 2, -22},
        {3, "Fred", "secret12", 2, 0},
        {2, "ABCDEFGHIJKLMNOPQRST", "!~!~!~!~!~!~!~!~!~!~", 0, 0},
    };
    for (const Case& c : cases) {
        const Frame r =
            admin->request(0xD2, account_payload(c.index, c.name, c.password, c.value, 1));
        EXPECT_EQ(r.refusal(), c.refusal)
            << c.index << " '" << c.name << "' '" << c.password << "'";
        if (c.refusal == 0) {
            EXPECT_EQ(r.length(), 2);
            EXPECT_EQ(r.s16(3), 0);
        }
    }
    EXPECT_EQ(account_count(*admin), 4);
    const Info fred = get_info(*admin, 3);
    EXPECT_EQ(fred.name, "Fred");
    EXPECT_EQ(fred.password, "secret12");
    EXPECT_EQ(fred.value, 2);
    EXPECT_EQ(get_info(*admin, 2).name, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(admin->request(0xD2, Bytes(49, 0)).refusal(), -31);

    RawClient client(box->port());
    const Frame login = client.login("Fred", "secret12");
    EXPECT_EQ(login.u32(3), 3u);
    EXPECT_EQ(login.u32(7), 2u);
}

TEST_F(Accounts, EmptySlotsBelowTheCountReadAsEmpty) {
    ASSERT_EQ(admin->request(0xD2, account_payload(5, "Far", "awaypass", 1, 1)).status(), 1);
    EXPECT_EQ(account_count(*admin), 6);
    const Info empty = get_info(*admin, 3);
    EXPECT_EQ(empty.refusal, 0);
    EXPECT_EQ(empty.name, "");
    EXPECT_EQ(empty.password, "");
    EXPECT_EQ(empty.value, 0);
    EXPECT_EQ(empty.flag, 0);
    EXPECT_EQ(get_info(*admin, 6).refusal, -11);
    ASSERT_EQ(box->accounts().size(), 6u);
    EXPECT_EQ(box->accounts()[5].name, "Far");
    EXPECT_EQ(box->accounts()[4].name, "");
}

TEST_F(Accounts, ModifyChecksTheSlotAndTheName) {
    EXPECT_EQ(admin->request(0xD4, account_payload(16, "X", "Y", 1, 1)).refusal(), -11);
    EXPECT_EQ(admin->request(0xD4, account_payload(3, "X", "Y", 1, 1)).refusal(), -21);
    EXPECT_EQ(admin->request(0xD4, account_payload(0, "Administrator", "Y", 1, 1)).refusal(), -22);
    EXPECT_EQ(admin->request(0xD4, account_payload(0, "Basic User", "Y", 1, 1)).refusal(), -16);
    EXPECT_EQ(admin->request(0xD4, account_payload(0, "BasicUser", "", 1, 1)).refusal(), -17);
    EXPECT_EQ(admin->request(0xD4, account_payload(0, "BasicUser", "Y", 9, 1)).refusal(), -19);
    EXPECT_EQ(get_info(*admin, 0).password, "basic1234");

    ASSERT_EQ(admin->request(0xD4, account_payload(0, "BasicUser", "newpass99", 3, 1)).status(), 1);
    EXPECT_EQ(get_info(*admin, 0).password, "newpass99");
    RawClient client(box->port());
    EXPECT_EQ(client.login("BasicUser", "basic1234").refusal(), -13);
    EXPECT_EQ(client.login("BasicUser", "newpass99").status(), 1);

    ASSERT_EQ(admin->request(0xD4, account_payload(0, "BasicUser", "newpass99", 3, 0)).status(), 1);
    RawClient disabled(box->port());
    EXPECT_EQ(disabled.login("BasicUser", "newpass99").refusal(), -14);
}

TEST_F(Accounts, RemoveProtectsTheOwnAndTheLastAdministratorAccount) {
    EXPECT_EQ(admin->request(0xD3, le16(16)).refusal(), -11);
    EXPECT_EQ(admin->request(0xD3, le16(4)).refusal(), -21);
    EXPECT_EQ(admin->request(0xD3, le16(1)).refusal(), -23);  // its own account
    EXPECT_EQ(admin->request(0xD3).refusal(), -31);

    // A second administrator logs in; once it is disabled, account 1 is the last enabled one.
    ASSERT_EQ(admin->request(0xD2, account_payload(2, "Second", "second12", 4, 1)).status(), 1);
    RawClient second(box->port());
    ASSERT_EQ(second.login("Second", "second12").u32(7), 4u);
    ASSERT_EQ(admin->request(0xD4, account_payload(2, "Second", "second12", 4, 0)).status(), 1);
    EXPECT_EQ(second.request(0xD3, le16(1)).refusal(), -23);
    ASSERT_EQ(admin->request(0xD4, account_payload(2, "Second", "second12", 4, 1)).status(), 1);
    EXPECT_EQ(second.request(0xD3, le16(1)).status(), 1);

    EXPECT_EQ(second.request(0xD3, le16(0)).status(), 1);
    EXPECT_EQ(account_count(second), 3);  // slot 2 is still used
    EXPECT_EQ(get_info(second, 0).name, "");
    EXPECT_EQ(get_info(second, 1).name, "");
}

TEST_F(Accounts, UpdateReturnsToTheStoredTable) {
    ASSERT_EQ(admin->request(0xD4, account_payload(0, "BasicUser", "changed1", 3, 1)).status(), 1);
    Frame r = admin->request(0xD5);
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(r.length(), 2);
    EXPECT_EQ(get_info(*admin, 0).password, "basic1234");

    ASSERT_EQ(admin->request(0xD4, account_payload(0, "BasicUser", "changed2", 3, 1)).status(), 1);
    r = admin->request(0xD6);
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(r.length(), 2);
    ASSERT_EQ(admin->request(0xD2, account_payload(2, "Later", "later123", 1, 1)).status(), 1);
    ASSERT_EQ(admin->request(0xD5).status(), 1);
    EXPECT_EQ(get_info(*admin, 0).password, "changed2");
    EXPECT_EQ(account_count(*admin), 2);
}

TEST(AccountStateFile, KeepsTheTableAcrossRuns) {
    const std::string path = temporary_path("state");
    std::remove(path.c_str());
    Config config = test_config();
    config.state_file = path;
    {
        auto box = start_box(config);
        RawClient admin(box->port());
        admin.login_admin();
        ASSERT_EQ(admin.request(0xD2, account_payload(4, "Kept", "kept1234", 2, 1)).status(), 1);
        ASSERT_EQ(admin.request(0xD6).status(), 1);
        ASSERT_EQ(admin.request(0xD2, account_payload(5, "Lost", "lost1234", 2, 1)).status(), 1);
    }
    {
        auto box = start_box(config);
        const auto accounts = box->accounts();
        ASSERT_EQ(accounts.size(), 5u);
        EXPECT_EQ(accounts[4].name, "Kept");
        EXPECT_EQ(accounts[4].password, "kept1234");
        EXPECT_EQ(accounts[4].value, 2);
        RawClient client(box->port());
        EXPECT_EQ(client.login("Kept", "kept1234").u32(3), 4u);

        // Update reads the file: a table written there by hand is what the box takes.
        std::ofstream(path)
            << "kestemu accounts 1\n1 Administrator admin1234 4 1\n7 Hand made 1 1\n";
        RawClient admin(box->port());
        admin.login_admin();
        ASSERT_EQ(admin.request(0xD5).status(), 1);
        ASSERT_EQ(box->accounts().size(), 8u);
        EXPECT_EQ(box->accounts()[7].name, "Hand");
        EXPECT_EQ(box->accounts()[0].name, "");
    }
    std::remove(path.c_str());
}

TEST(AccountStateFile, MalformedFileFallsBackToTheDefaults) {
    const std::string path = temporary_path("malformed");
    for (const char* text :
         {"", "wrong header\n", "kestemu accounts 1\n0 OnlyName\n",
          "kestemu accounts 1\n99 Name pass 1 1\n", "kestemu accounts 1\n0 Name pass 7 1\n",
          "kestemu accounts 1\n0 A pass 1 1\n0 B pass 1 1\n",
          "kestemu accounts 1\n0 A pass 1 1\n1 A pass 1 1\n",
          "kestemu accounts 1\n0 A pass 1 1 extra\n"}) {
        std::ofstream(path) << text;
        Config config = test_config();
        config.state_file = path;
        auto box = start_box(config);
        const auto accounts = box->accounts();
        ASSERT_EQ(accounts.size(), 2u) << text;
        EXPECT_EQ(accounts[0].name, "BasicUser");
        EXPECT_EQ(accounts[1].name, "Administrator");
    }
    std::remove(path.c_str());
}

TEST(AccountStateFile, StoreThatCannotWriteIsRefused) {
    Config config = test_config();
    config.state_file = "/nonexistent-folder-for-kestemu/state";
    auto box = start_box(config);
    RawClient admin(box->port());
    admin.login_admin();
    EXPECT_EQ(admin.request(0xD6).refusal(), -26);
}

TEST(AccountConfig, ExtraAccountsFollowTheDefaultsAndBadOnesStopTheStart) {
    Config config = test_config();
    config.accounts = {{"Only", "only1234", 4, 1}};
    auto box = start_box(config);
    ASSERT_EQ(box->accounts().size(), 1u);
    RawClient client(box->port());
    EXPECT_EQ(client.login("Only", "only1234").u32(3), 0u);

    for (const std::vector<Account>& bad :
         {std::vector<Account>{{"", "x", 1, 1}}, std::vector<Account>{{"a b", "x", 1, 1}},
          std::vector<Account>{{"a", "x", 5, 1}},
          std::vector<Account>{{"a", "x", 1, 1}, {"a", "y", 1, 1}},
          std::vector<Account>(17, Account{"a", "b", 1, 1})}) {
        Config c = test_config();
        c.accounts = bad;
        Emulator emulator(c);
        std::string error;
        EXPECT_FALSE(emulator.start(&error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace kestemu::test

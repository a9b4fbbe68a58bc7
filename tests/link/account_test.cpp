// Account and connection administration: the reply fields each call takes apart.
#include <gtest/gtest.h>

#include <cstring>

#include "LinkFixture.h"

namespace linktest {
namespace {

Bytes padded(const std::string& text, size_t width) {
    Bytes field = text_bytes(text);
    field.resize(width, 0);
    return field;
}

// The payload of a 0xD1 reply: result word, two unused bytes, the coded area, value and flags.
Bytes account_reply(const Bytes& name_field, const Bytes& password_field, int32_t value,
                    int32_t flags) {
    return concat({le16(0),
                   {0x77, 0x88},
                   wire_code(concat({name_field, password_field}), 0),
                   le32(value),
                   le32(flags)});
}

struct AccountOut {
    char name[32];
    char password[32];
    int32_t value = -77;
    int32_t flag = -77;

    AccountOut() {
        std::memset(name, 'X', sizeof name);
        std::memset(password, 'X', sizeof password);
    }
    int32_t get(int32_t link, int32_t account) {
        return Pc2Lan_Account_Get_Info(link, account, name, password, &value, &flag);
    }
    bool untouched() const {
        for (size_t i = 0; i < sizeof name; ++i) {
            if (name[i] != 'X' || password[i] != 'X') {
                return false;
            }
        }
        return value == -77 && flag == -77;
    }
};

using AccountTest = LinkTest;

TEST_F(AccountTest, NumbersGivesResultWordAndCount) {
    connect();
    peer.push_ok({0x00, 0x00, 0x03, 0x00});
    int32_t first = -1;
    int32_t count = -1;
    ASSERT_EQ(Pc2Lan_Account_Numbers(kLink, &first, &count), 0);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 3);
    peer.push_ok({0x00, 0x00, 0xFF, 0xFF});
    count = -1;
    ASSERT_EQ(Pc2Lan_Account_Numbers(kLink, nullptr, &count), 0);
    EXPECT_EQ(count, 65535);
}

TEST_F(AccountTest, GetInfoDecodesNamePasswordValueAndFlag) {
    connect();
    peer.push_ok(account_reply(padded("alice", 20), padded("s3cret", 20), 0x01020304,
                               static_cast<int32_t>(0xFFFFFFFE)));
    AccountOut out;
    ASSERT_EQ(out.get(kLink, 1), 0);
    EXPECT_STREQ(out.name, "alice");
    EXPECT_STREQ(out.password, "s3cret");
    EXPECT_EQ(out.value, 0x01020304);
    EXPECT_EQ(out.flag, 0) << "only bit 0 of the flags counts";
}

TEST_F(AccountTest, GetInfoCutsAtTheFirstZeroAndAt20Characters) {
    connect();
    Bytes name = text_bytes("ABCDEFGHIJKLMNOPQRST");
    Bytes password = padded("x", 20);
    password[2] = 'g';
    password[3] = 'g';
    peer.push_ok(account_reply(name, password, -5, 3));
    AccountOut out;
    ASSERT_EQ(out.get(kLink, 1), 0);
    EXPECT_EQ(std::string(out.name, 21), std::string("ABCDEFGHIJKLMNOPQRST") + '\0');
    EXPECT_EQ(out.name[21], 'X');
    EXPECT_STREQ(out.password, "x");
    EXPECT_EQ(out.value, -5);
    EXPECT_EQ(out.flag, 1);
}

TEST_F(AccountTest, GetInfoSkipsNullOutputs) {
    connect();
    peer.push_ok(account_reply(padded("bob", 20), padded("pw", 20), 9, 1));
    int32_t flag = -1;
    EXPECT_EQ(Pc2Lan_Account_Get_Info(kLink, 0, nullptr, nullptr, nullptr, &flag), 0);
    EXPECT_EQ(flag, 1);
}

TEST_F(AccountTest, ARefusedGetInfoWritesNothing) {
    connect();
    for (bool as_result_word : {true, false}) {
        SCOPED_TRACE(as_result_word ? "result word" : "refused reply");
        if (as_result_word) {
            Bytes reply = account_reply(padded("eve", 20), padded("pw", 20), 1, 1);
            reply[0] = 0xF5;
            reply[1] = 0xFF;
            peer.push_ok(reply);
        } else {
            peer.push_refused(-11);
        }
        AccountOut out;
        EXPECT_EQ(out.get(kLink, 4), -12);
        EXPECT_TRUE(out.untouched());
    }
}

TEST_F(AccountTest, ConnectionInfoCopiesTheBlockBehindTheResultWord) {
    connect();
    Bytes block;
    for (int i = 0; i < 36; ++i) {
        block.push_back(static_cast<uint8_t>(0xC0 + i));
    }
    for (size_t extra : {0u, 40u}) {
        SCOPED_TRACE(extra);
        peer.push_ok(concat({le16(0), {0x11, 0x22}, block, Bytes(extra, 0x99)}));
        uint8_t info[48];
        std::memset(info, 0xEE, sizeof info);
        ASSERT_EQ(Pc2Lan_Connection_Info(kLink, 1, info), 0);
        EXPECT_EQ(hex(Bytes(info, info + 36)), hex(block));
        EXPECT_EQ(info[36], 0xEE) << "copied past the 36-byte block";
    }
}

TEST_F(AccountTest, ConnectionInfoNeedsForty) {
    connect();
    peer.push_ok(concat({le16(0), {0x11, 0x22}, Bytes(35, 0x42)}));
    uint8_t info[36];
    std::memset(info, 0xEE, sizeof info);
    EXPECT_EQ(Pc2Lan_Connection_Info(kLink, 1, info), PC2LAN_FAILED);
    EXPECT_EQ(info[0], 0xEE);
    EXPECT_EQ(info[35], 0xEE);
    expect_still_connected();
}

}  // namespace
}  // namespace linktest

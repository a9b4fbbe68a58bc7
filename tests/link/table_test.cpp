// The link table: handles, creating and deleting entries, and what every export answers before
// a link is connected.
#include <gtest/gtest.h>

#include <climits>

#include "ExportCalls.h"
#include "LinkFixture.h"

namespace linktest {
namespace {

TEST(LinkTable, DllVersionIs10001) {
    EXPECT_EQ(Pc2Lan_Dll_Version(), 10001);
}

TEST(LinkTable, HandlesZeroTo255AreTheTable) {
    for (int32_t link : {0, 255}) {
        SCOPED_TRACE(link);
        EXPECT_EQ(Pc2Lan_Create(link, "127.0.0.1", 7777, "u", "p", "", ""), 0);
        EXPECT_EQ(Pc2Lan_Delete(link), 0);
    }
    for (int32_t link : {256, 1000, INT32_MAX, -1, -2, INT32_MIN}) {
        SCOPED_TRACE(link);
        EXPECT_EQ(Pc2Lan_Create(link, "127.0.0.1", 7777, "u", "p", "", ""), PC2LAN_BAD_HANDLE);
        EXPECT_EQ(Pc2Lan_Delete(link), PC2LAN_BAD_HANDLE);
    }
}

TEST(LinkTable, EveryHandleCanBeCreatedAtOnce) {
    for (int32_t link = 0; link < 256; ++link) {
        ASSERT_EQ(Pc2Lan_Create(link, "127.0.0.1", 7777, nullptr, nullptr, nullptr, nullptr), 0)
            << link;
    }
    for (int32_t link = 0; link < 256; ++link) {
        EXPECT_EQ(Pc2Lan_Delete(link), 0) << link;
    }
    for (int32_t link = 0; link < 256; ++link) {
        EXPECT_EQ(Pc2Lan_Delete(link), PC2LAN_EMPTY_ENTRY) << link;
    }
}

TEST(LinkTable, DeletingAnEmptyEntryAnswersMinusOne) {
    EXPECT_EQ(Pc2Lan_Delete(42), PC2LAN_EMPTY_ENTRY);
    ASSERT_EQ(Pc2Lan_Create(42, "127.0.0.1", 7777, "u", "p", "", ""), 0);
    EXPECT_EQ(Pc2Lan_Delete(42), 0);
    EXPECT_EQ(Pc2Lan_Delete(42), PC2LAN_EMPTY_ENTRY);
}

TEST(LinkTable, CreatingTwiceKeepsTheFirstLink) {
    ScriptedPeer first;
    ScriptedPeer second;
    ASSERT_EQ(Pc2Lan_Create(43, "127.0.0.1", first.port(), "alice", "a", "", ""), 0);
    EXPECT_EQ(Pc2Lan_Create(43, "127.0.0.1", second.port(), "bob", "b", "", ""),
              PC2LAN_EMPTY_ENTRY);
    int32_t level = 0;
    EXPECT_EQ(Pc2Lan_Connect(43, &level, 2), 0);
    EXPECT_EQ(Pc2Lan_Delete(43), 0);
    ASSERT_EQ(first.frame_count(), 1u);
    EXPECT_EQ(second.connections_accepted(), 0);
    Bytes login = first.frames()[0].bytes;
    EXPECT_EQ(Bytes(login.begin() + 3, login.begin() + 9),
              wire_code(text_bytes(std::string("alice") + '\0'), 0));
}

TEST(LinkTable, ADeletedHandleCanBeCreatedAgain) {
    ScriptedPeer first;
    ScriptedPeer second;
    ASSERT_EQ(Pc2Lan_Create(44, "127.0.0.1", first.port(), "alice", "a", "", ""), 0);
    int32_t level = 0;
    ASSERT_EQ(Pc2Lan_Connect(44, &level, 2), 0);
    EXPECT_EQ(Pc2Lan_Delete(44), 0);
    EXPECT_TRUE(first.wait_for_open_connections(0)) << "deleting a link closes its connection";

    ASSERT_EQ(Pc2Lan_Create(44, "127.0.0.1", second.port(), "bob", "b", "", ""), 0);
    int32_t io = 0;
    int32_t reply = 0;
    EXPECT_EQ(Pc2Lan_Get_Com_Param(44, &io, &reply), 0);
    EXPECT_EQ(io, 2500);
    EXPECT_EQ(reply, 2500);
    EXPECT_EQ(Pc2Lan_Keep_Alive(44), PC2LAN_NOT_CONNECTED);
    ASSERT_EQ(Pc2Lan_Connect(44, &level, 2), 0);
    EXPECT_EQ(Pc2Lan_Delete(44), 0);
    ASSERT_EQ(second.frame_count(), 1u);
    Bytes login = second.frames()[0].bytes;
    EXPECT_EQ(sequence_of(login), 1) << "a new link object starts its sequence afresh";
    EXPECT_EQ(Bytes(login.begin() + 3, login.begin() + 7),
              wire_code(text_bytes(std::string("bob") + '\0'), 0));
}

class EveryExport : public ::testing::TestWithParam<ExportCall> {};

TEST_P(EveryExport, RefusesHandlesOutsideTheTable) {
    for (int32_t link : {256, 4096, INT32_MAX, -1, -255, INT32_MIN}) {
        EXPECT_EQ(GetParam().call(link), PC2LAN_BAD_HANDLE) << "link " << link;
    }
}

TEST_P(EveryExport, AnswersMinusOneOnAnEmptyEntry) {
    ASSERT_EQ(Pc2Lan_Delete(200), PC2LAN_EMPTY_ENTRY);
    EXPECT_EQ(GetParam().call(200), PC2LAN_EMPTY_ENTRY);
}

INSTANTIATE_TEST_SUITE_P(Exports, EveryExport, ::testing::ValuesIn(handle_exports()),
                         [](const auto& info) { return info.param.name; });

// Every export but Pc2Lan_Connect, whose business it is to connect.
class UnconnectedLink : public ::testing::TestWithParam<ExportCall> {};

TEST_P(UnconnectedLink, SendsNothing) {
    const ExportCall& e = GetParam();
    ScriptedPeer peer;
    ASSERT_EQ(Pc2Lan_Create(45, "127.0.0.1", peer.port(), "u", "p", "", ""), 0);
    EXPECT_EQ(e.call(45), e.unconnected);
    EXPECT_EQ(Pc2Lan_Delete(45), 0);
    EXPECT_EQ(peer.connections_accepted(), 0);
    EXPECT_EQ(peer.frame_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Exports, UnconnectedLink,
                         ::testing::ValuesIn(exports_where([](const ExportCall& e) {
                             return e.name != "Connect";
                         })),
                         [](const auto& info) { return info.param.name; });

// A link whose connection was lost answers -3 until it connects again.
class LostLink : public LinkTest, public ::testing::WithParamInterface<ExportCall> {};

TEST_P(LostLink, AnswersMinusThreeAndSendsNothing) {
    connect();
    peer.push(Answer::close());
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    ASSERT_TRUE(peer.wait_for_open_connections(0));
    size_t mark = peer.frame_count();
    EXPECT_EQ(GetParam().call(kLink), GetParam().unconnected);
    EXPECT_EQ(peer.frame_count(), mark);
    EXPECT_EQ(peer.connections_accepted(), 1);
}

INSTANTIATE_TEST_SUITE_P(Exports, LostLink, ::testing::ValuesIn(command_exports()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace linktest

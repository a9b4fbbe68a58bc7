// Every command export against the same misbehaving box: how each translates the box's refusal
// codes, a reply without verdict, and a box that closes the connection.
#include <gtest/gtest.h>

#include "ExportCalls.h"
#include "LinkFixture.h"

namespace linktest {
namespace {

// Codes the box may send, including the values the library uses for its own failures.
const int32_t kBoxCodes[] = {-1,  -2,  -3,  -4,  -5,   -6,   -10,  -11,   -12,   -13,
                             -14, -15, -16, -17, -18,  -19,  -20,  -21,   -22,   -23,
                             -24, -25, -26, -99, -100, -255, -256, -1000, -32768};

class CommandExport : public LinkTest, public ::testing::WithParamInterface<ExportCall> {};

TEST_P(CommandExport, TranslatesRefusedReplies) {
    const ExportCall& e = GetParam();
    connect();
    for (int status : {2, 3}) {
        for (int32_t code : kBoxCodes) {
            SCOPED_TRACE(testing::Message() << "status " << status << " code " << code);
            peer.push_refused(static_cast<int16_t>(code), status);
            EXPECT_EQ(e.call(kLink), translated(e, code));
            ASSERT_TRUE(link_connected()) << "a refusal keeps the connection";
        }
    }
    EXPECT_EQ(peer.script_left(), 0u);
    expect_still_connected();
}

TEST_P(CommandExport, SucceedsWithAWellBehavedBox) {
    connect();
    EXPECT_GE(GetParam().call(kLink), 0);
    expect_still_connected();
}

TEST_P(CommandExport, AReplyWithoutVerdictFailsWhileConnected) {
    connect();
    peer.push([](const Bytes& r) {
        return Answer::write(make_frame(r.at(0), sequence_of(r), default_payload(r)));
    });
    EXPECT_EQ(GetParam().call(kLink), PC2LAN_FAILED);
    expect_still_connected();
}

TEST_P(CommandExport, ABoxThatClosesGivesMinus3) {
    connect();
    peer.push(Answer::close());
    EXPECT_EQ(GetParam().call(kLink), PC2LAN_NOT_CONNECTED);
    expect_dropped();
}

INSTANTIATE_TEST_SUITE_P(Exports, CommandExport, ::testing::ValuesIn(command_exports()),
                         [](const auto& info) { return info.param.name; });

// Replies whose first payload word is the box's result.
class ResultWordExport : public LinkTest, public ::testing::WithParamInterface<ExportCall> {};

TEST_P(ResultWordExport, TranslatesANonZeroResultWordAsARefusal) {
    const ExportCall& e = GetParam();
    connect();
    for (int32_t code : kBoxCodes) {
        SCOPED_TRACE(code);
        Bytes payload = le16(code);
        payload.resize(52, 0);
        peer.push_ok(payload);
        EXPECT_EQ(e.call(kLink), translated(e, code));
    }
    expect_still_connected();
}

INSTANTIATE_TEST_SUITE_P(Exports, ResultWordExport,
                         ::testing::ValuesIn(exports_where([](const ExportCall& e) {
                             return e.result_word;
                         })),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace linktest

// How one exchange accepts a reply: status bits, short and overlong replies, a stale sequence
// number, silence and a box that goes away.
#include <gtest/gtest.h>

#include <csignal>
#include <optional>

#include "LinkFixture.h"

namespace linktest {
namespace {

using Build = std::function<Answer(const Bytes& request)>;

Bytes with_sequence(uint8_t command, uint8_t status, uint8_t sequence, const Bytes& payload) {
    return make_frame(command, static_cast<uint8_t>((status << 6) | sequence), payload);
}

// The first `count` bytes of a frame whose length byte says `length`.
Bytes truncated_frame(const Bytes& request, uint8_t length, size_t count) {
    Bytes frame{request.at(0), length, static_cast<uint8_t>(0x40 | sequence_of(request))};
    frame.resize(count, 0);
    return frame;
}

// Set_Session_Time shows the verdict: box code -13 becomes -4, -12 becomes -11, and every
// other failure -10 while connected or -3 once the link has dropped.
struct ShapeCase {
    const char* label;
    Build answer;
    int32_t result;
    bool stays_connected;
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
    *os << c.label;
}

class ReplyShape : public LinkTest, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(ReplyShape, DecidesTheResultAndTheConnection) {
    const ShapeCase& c = GetParam();
    connect();
    peer.push(c.answer);
    EXPECT_EQ(Pc2Lan_Set_Session_Time(kLink, 1, 10), c.result);
    if (c.stays_connected) {
        expect_still_connected();
    } else {
        expect_dropped();
    }
}

std::vector<ShapeCase> shape_cases() {
    return {
        {"Done",
         [](const Bytes& r) {
             return Answer::write(reply_ok(r, {0, 0}));
         },
         0, true},
        {"DoneWithWrongChecksum",
         [](const Bytes& r) {
             Bytes reply = reply_ok(r, {0, 0});
             reply.back() ^= 0xFF;
             return Answer::write(reply);
         },
         0, true},
        {"DoneWithAnotherCommandByte",
         [](const Bytes& r) {
             return Answer::write(with_sequence(0x55, 1, sequence_of(r), {0, 0}));
         },
         0, true},
        {"RefusedF3FF",
         [](const Bytes& r) {
             return Answer::write(with_sequence(0x62, 2, sequence_of(r), {0xF3, 0xFF}));
         },
         -4, true},
        {"RefusedWithStatus3",
         [](const Bytes& r) { return Answer::write(reply_refused(r, -12, 3)); }, -11, true},
        {"RefusedWithCodeZeroCountsAsDone",
         [](const Bytes& r) { return Answer::write(reply_refused(r, 0, 2)); }, 0, true},
        {"NoVerdict",
         [](const Bytes& r) {
             return Answer::write(with_sequence(0x62, 0, sequence_of(r), {0, 0}));
         },
         -10, true},
        {"OneByte", [](const Bytes&) { return Answer::write({0x62}); }, -10, true},
        {"TwoBytes", [](const Bytes& r) { return Answer::write(truncated_frame(r, 2, 2)); }, -10,
         true},
        {"ThreeBytes", [](const Bytes& r) { return Answer::write(truncated_frame(r, 2, 3)); }, -10,
         true},
        {"TenBytesUnderLengthByte12",
         [](const Bytes& r) { return Answer::write(truncated_frame(r, 12, 10)); }, -10, true},
        {"TenBytesOverLengthByte8",
         [](const Bytes& r) { return Answer::write(truncated_frame(r, 8, 10)); }, 0, true},
        {"LengthByte81", [](const Bytes& r) { return Answer::write(truncated_frame(r, 81, 84)); },
         -10, true},
        {"LengthByte255", [](const Bytes& r) { return Answer::write(truncated_frame(r, 255, 84)); },
         -10, true},
        {"PayloadTooShortForTheCommand",
         [](const Bytes& r) { return Answer::write(reply_ok(r, {0})); }, -10, true},
        {"BytesBehindTheFrameAreDropped",
         [](const Bytes& r) {
             return Answer::write(concat({reply_ok(r, {0, 0}), Bytes(10, 0xAA)}));
         },
         0, true},
        {"BoxClosesTheConnection", [](const Bytes&) { return Answer::close(); }, -3, false},
        {"BoxAbortsTheConnection", [](const Bytes&) { return Answer::reset(); }, -3, false},
        {"Silence", [](const Bytes&) { return Answer::silence(); }, -3, false},
    };
}

INSTANTIATE_TEST_SUITE_P(Transfer, ReplyShape, ::testing::ValuesIn(shape_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

// A reply with a stale sequence number: the library reads once more; a frame there decides,
// otherwise the stale frame's own status does.
enum class Probe { GetSessionTime, SetSessionTime, KeepAlive };

struct StaleCase {
    const char* label;
    Build answer;
    Probe probe;
    int32_t result;
    std::optional<std::pair<int32_t, int32_t>> values;  // Get_Session_Time's outputs
    int32_t io_timeout;
};

void PrintTo(const StaleCase& c, std::ostream* os) {
    *os << c.label;
}

class StaleSequence : public LinkTest, public ::testing::WithParamInterface<StaleCase> {};

TEST_P(StaleSequence, OneMoreReadDecides) {
    const StaleCase& c = GetParam();
    ASSERT_EQ(Pc2Lan_Set_Com_Param(kLink, c.io_timeout, kShortReply), 0);
    connect();
    peer.push(c.answer);
    int32_t first = -1;
    int32_t second = -1;
    switch (c.probe) {
        case Probe::GetSessionTime:
            EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), c.result);
            break;
        case Probe::SetSessionTime:
            EXPECT_EQ(Pc2Lan_Set_Session_Time(kLink, 1, 10), c.result);
            break;
        case Probe::KeepAlive:
            EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), c.result);
            break;
    }
    if (c.values) {
        EXPECT_EQ(first, c.values->first);
        EXPECT_EQ(second, c.values->second);
    }
    expect_still_connected();
}

// The second frame follows after a pause, so that it arrives in a read of its own.
constexpr int kPause = 100;

Bytes stale(const Bytes& request, uint8_t status, const Bytes& payload) {
    return with_sequence(request.at(0), status, stale_sequence(request), payload);
}

Bytes session_values(int first, int second) {
    return concat({le16(first), le16(second)});
}

std::vector<StaleCase> stale_cases() {
    return {
        {"DoneThenDone",
         [](const Bytes& r) {
             return Answer::write(stale(r, 1, session_values(1, 2)))
                 .then(kPause, reply_ok(r, session_values(3, 4)));
         },
         Probe::GetSessionTime, 0, std::make_pair(3, 4), 2000},
        {"NoVerdictThenDone",
         [](const Bytes& r) {
             return Answer::write(stale(r, 0, session_values(1, 2)))
                 .then(kPause, reply_ok(r, session_values(3, 4)));
         },
         Probe::GetSessionTime, 0, std::make_pair(3, 4), 2000},
        {"DoneThenRefused",
         [](const Bytes& r) {
             return Answer::write(stale(r, 1, {0, 0})).then(kPause, reply_refused(r, -12, 2));
         },
         Probe::SetSessionTime, -11, std::nullopt, 2000},
        {"SecondSequenceIsNotCompared",
         [](const Bytes& r) {
             return Answer::write(stale(r, 0, session_values(1, 2)))
                 .then(kPause, stale(r, 1, session_values(5, 6)));
         },
         Probe::GetSessionTime, 0, std::make_pair(5, 6), 2000},
        {"DoneThenSilence",
         [](const Bytes& r) { return Answer::write(stale(r, 1, session_values(1, 2))); },
         Probe::GetSessionTime, 0, std::make_pair(1, 2), kShortIo},
        {"NoVerdictThenSilence",
         [](const Bytes& r) { return Answer::write(stale(r, 0, session_values(1, 2))); },
         Probe::GetSessionTime, -10, std::make_pair(-1, -1), kShortIo},
        {"RefusedThenSilence", [](const Bytes& r) { return Answer::write(stale(r, 2, le16(-13))); },
         Probe::SetSessionTime, -4, std::nullopt, kShortIo},
        {"NoVerdictThenShortFrame",
         [](const Bytes& r) {
             return Answer::write(stale(r, 0, session_values(1, 2)))
                 .then(kPause, truncated_frame(r, 12, 10));
         },
         Probe::GetSessionTime, -10, std::nullopt, 2000},
        {"DoneThenTwoBytes",
         [](const Bytes& r) {
             return Answer::write(stale(r, 1, {0, 0})).then(kPause, Bytes{0x80, 0x02});
         },
         Probe::KeepAlive, 0, std::nullopt, 2000},
    };
}

INSTANTIATE_TEST_SUITE_P(Transfer, StaleSequence, ::testing::ValuesIn(stale_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

using TransferTest = LinkTest;

// TCP may deliver a frame in pieces: the link reads on within Io_Timeout until it is whole, so no
// tail is left behind to be taken for the next reply. A rest that comes too late leaves a reply
// shorter than its length byte.
TEST_F(TransferTest, AReplySplitOverTwoSegmentsIsReadWholeWithinTheIoTimeout) {
    connect();
    const auto split = [](int pause_ms) {
        return [pause_ms](const Bytes& r) {
            Bytes reply = reply_ok(r, {5, 0, 10, 0});
            Bytes head(reply.begin(), reply.begin() + 3);
            Bytes tail(reply.begin() + 3, reply.end());
            return Answer::write(head).then(pause_ms, tail);
        };
    };
    int32_t first = -1;
    int32_t second = -1;
    peer.push(split(20));
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), PC2LAN_OK);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(second, 10);
    first = second = -1;
    peer.push(split(20));
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), PC2LAN_OK)
        << "a tail was left for the next reply";
    EXPECT_EQ(second, 10);

    first = second = -1;
    peer.push(split(kShortIo + 300));
    EXPECT_EQ(Pc2Lan_Get_Session_Time(kLink, &first, &second), PC2LAN_FAILED);
    EXPECT_EQ(first, -1);
    EXPECT_TRUE(link_connected());
    EXPECT_EQ(peer.open_connections(), 1);
}

TEST_F(TransferTest, TheReplyTimeoutGovernsTheWaitForTheFirstByte) {
    ASSERT_EQ(Pc2Lan_Set_Com_Param(kLink, 150, 2000), 0);
    connect();
    peer.push([](const Bytes& r) { return Answer{}.then(600, reply_ok(r, {0, 0})); });
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    expect_still_connected();
}

TEST_F(TransferTest, SilenceForTheReplyTimeoutDropsTheLink) {
    connect();
    peer.push(Answer::silence());
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    expect_dropped();
    int32_t level = 0;
    EXPECT_EQ(Pc2Lan_Connect(kLink, &level, 2), 0) << "a dropped link connects again";
    EXPECT_EQ(peer.connections_accepted(), 2);
}

TEST_F(TransferTest, AnAbortedConnectionRaisesNoSigpipe) {
    std::signal(SIGPIPE, SIG_DFL);
    connect();
    peer.push([](const Bytes& r) {
        Answer answer = Answer::write(reply_ok(r, {0, 0}));
        Answer::Piece abort = Answer::reset().pieces.front();
        abort.delay_ms = 100;
        answer.pieces.push_back(abort);
        return answer;
    });
    ASSERT_EQ(Pc2Lan_Keep_Alive(kLink), 0);
    ASSERT_TRUE(peer.wait_for_open_connections(0));
    for (int i = 0; i < 4; ++i) {
        EXPECT_LT(Pc2Lan_Keep_Alive(kLink), 0) << "call " << i + 1;
        CanMessage request{{0, 0x20, 8, 0}, 0, {}};
        CanMessage reply{};
        EXPECT_LT(Pc2Lan_Can_Request(kLink, &request, &reply), 0) << "call " << i + 1;
    }
}

TEST_F(TransferTest, ABoxThatGoesAwayMidRequestRaisesNoSigpipe) {
    std::signal(SIGPIPE, SIG_DFL);
    connect();
    peer.push(Answer::reset());
    EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Pc2Lan_Keep_Alive(kLink), PC2LAN_NOT_CONNECTED);
    }
}

}  // namespace
}  // namespace linktest

// The replay-file box: recorded replies, their counters, and channels served from a file.
#include <QSettings>

#include "ChannelHarness.h"
#include "monitor/can/VirtualKest.h"

namespace cantest {
namespace {

const CanMessage PowerA = Message(4, 0x31, 8, 2);
const CanMessage Clock = Message(0, 0x20, 8, 0);

CanMessage Untouched() {
    CanMessage m = Message(0xEE, 0xEE, 0xEE, 0xEE, {0xEE, 0xEE});
    return m;
}

bool IsUntouched(const CanMessage& m) {
    const CanMessage u = Untouched();
    return std::memcmp(&m, &u, sizeof m) == 0;
}

std::vector<uint8_t> DataOf(const CanMessage& m) {
    return {m.Data, m.Data + m.Length};
}

TEST(ReplayFile, QtKeepsSectionsKeysAndValuesIntact) {
    ReplayBox box(
        "; recorded on site\n"
        "[00-20-08-00-00]\n"
        "REQ0000=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n"
        "REQ0001=[LOOP]\n"
        "[04-31-08-02-00]\n"
        "REQ0000=0-49-1-2-4-0-0-16-39\n"
        "REQ000A=$04-$31-$01-$02-$00\n"
        "REQ000B=[END]\n"
        "REQ000C=Timeout\n"
        "[00-41-07-02-09-04-24-08-05-0E-03-0D-1E-0A]\n"
        "REQ0001=0-65-1-2-10-4-36-216-5-14-3-13-30-$10-$27\n");
    TVirtualKest kest(0, box.Path());
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        {"00-20-08-00-00", "REQ0000", "0-32-1-0-9-0-0-216-5-14-3-13-40-0"},
        {"00-20-08-00-00", "REQ0001", "[LOOP]"},
        {"04-31-08-02-00", "REQ0000", "0-49-1-2-4-0-0-16-39"},
        {"04-31-08-02-00", "REQ000A", "$04-$31-$01-$02-$00"},
        {"04-31-08-02-00", "REQ000B", "[END]"},
        {"04-31-08-02-00", "REQ000C", "Timeout"},
        {"00-41-07-02-09-04-24-08-05-0E-03-0D-1E-0A", "REQ0001",
         "0-65-1-2-10-4-36-216-5-14-3-13-30-$10-$27"},
        {"04-31-08-02-00", "REQ0001", "missing"},
        {"04-31-08-02-01", "REQ0000", "missing"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kest.Value(c.section, c.key, "missing"), QString(c.value))
            << c.section << " " << c.key;
    }
}

TEST(ReplayFile, LoopStartsTheRepliesAgain) {
    ReplayBox box(
        "[04-31-08-02-00]\n"
        "REQ0000=4-49-1-2-4-0-0-1-0\n"
        "REQ0001=4-49-1-2-4-0-0-2-0\n"
        "REQ0002=[LOOP]\n");
    std::vector<int> seen;
    for (int i = 0; i < 5; ++i) {
        CanMessage reply = Untouched();
        ASSERT_EQ(SimulateRequest(PowerA, reply, 0), 0);
        seen.push_back(reply.Data[2]);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 1, 2, 1}));
    EXPECT_EQ(ReplayCounters::Counter(PowerA), 1u);
}

TEST(ReplayFile, EndAndTimeoutAnswerLikeATimeOutAndKeepTheCounter) {
    ReplayBox box(
        "[04-31-08-02-00]\n"
        "REQ0000=4-49-1-2-4-0-0-1-0\n"
        "REQ0001=[END]\n"
        "[00-20-08-00-00]\n"
        "REQ0000=Timeout\n");
    CanMessage reply = Untouched();
    EXPECT_EQ(SimulateRequest(PowerA, reply, 0), 0);
    for (int i = 0; i < 3; ++i) {
        reply = Untouched();
        EXPECT_EQ(SimulateRequest(PowerA, reply, 0), -11);
        EXPECT_TRUE(IsUntouched(reply));
        EXPECT_EQ(SimulateRequest(Clock, reply, 0), -11);
        EXPECT_TRUE(IsUntouched(reply));
        // A section that is not in the file at all.
        EXPECT_EQ(SimulateRequest(Message(8, 0x31, 8, 2), reply, 0), -11);
        EXPECT_TRUE(IsUntouched(reply));
    }
    EXPECT_EQ(ReplayCounters::Counter(PowerA), 1u);
    EXPECT_EQ(ReplayCounters::Counter(Clock), 0u);
}

TEST(ReplayFile, RequestsWithOneHeaderShareOneCounter) {
    // Successive history blocks differ in their data, so each reads its own section, but the
    // n-th request of the run is answered from key n - 1.
    ReplayBox box(
        "[00-41-07-02-09-04-24-00-00-00-00-00-00-01]\n"
        "REQ0000=0-65-1-2-10-4-36-216-5-14-3-13-40-1-0\n"
        "REQ0001=0-65-1-2-10-4-36-216-5-14-3-13-40-99-0\n"
        "[00-41-07-02-09-04-24-08-05-0E-03-0D-1E-0A]\n"
        "REQ0000=0-65-1-2-10-4-36-216-5-14-3-13-30-98-0\n"
        "REQ0001=0-65-1-2-10-4-36-216-5-14-3-13-30-2-0\n");
    const CanMessage first = Message(0, 0x41, 7, 2, {4, 36, 0, 0, 0, 0, 0, 0, 1});
    const CanMessage second = Message(0, 0x41, 7, 2, {4, 36, 8, 5, 14, 3, 13, 30, 10});
    CanMessage reply = Untouched();
    ASSERT_EQ(SimulateRequest(first, reply, 0), 0);
    EXPECT_EQ(reply.Data[8], 1);
    ASSERT_EQ(SimulateRequest(second, reply, 0), 0);
    EXPECT_EQ(reply.Data[8], 2);
    EXPECT_EQ(ReplayCounters::Counter(first), 2u);
    EXPECT_EQ(ReplayCounters::Count(), 1);
}

TEST(ReplayFile, RecordedRefusalsAndMissingBoxes) {
    ReplayBox box(
        "[04-31-08-02-00]\n"
        "REQ0000=4-49-2-2-0\n"
        "REQ0001=4-49-3-2-0\n"
        "REQ0002=$04-$31-$01-$02-$04-$00-$00-$10-$27\n"
        "REQ0003=260-305-257-258-4-0-0-16-39\n");
    CanMessage reply = Untouched();
    EXPECT_EQ(SimulateRequest(PowerA, reply, 0), -2);
    EXPECT_EQ(reply.Header[Hdr_Action], 2);
    EXPECT_EQ(SimulateRequest(PowerA, reply, 0), -10);
    EXPECT_EQ(reply.Header[Hdr_Action], 3);
    // Hexadecimal fields, and decimal ones of which only the low eight bits count.
    for (int i = 0; i < 2; ++i) {
        reply = Untouched();
        ASSERT_EQ(SimulateRequest(PowerA, reply, 0), 0) << i;
        EXPECT_EQ(reply.Header[Hdr_Address], 4);
        EXPECT_EQ(reply.Header[Hdr_Object], 0x31);
        EXPECT_EQ(reply.Header[Hdr_Action], 1);
        EXPECT_EQ(reply.Header[Hdr_AuthLevel], 2);
        EXPECT_EQ(DataOf(reply), (std::vector<uint8_t>{0, 0, 0x10, 0x27}));
    }
    reply = Untouched();
    EXPECT_EQ(SimulateRequest(PowerA, reply, 1), -100);
    EXPECT_TRUE(IsUntouched(reply));
    EXPECT_EQ(ReplayCounters::Counter(PowerA), 4u);
}

TEST(ReplayFile, BoxesAreFoundByTheLowEightBitsOfTheirId) {
    ReplayBox box("[04-31-08-02-00]\nREQ0000=[LOOP]\n");
    ReplayBox other("[04-31-08-02-00]\nREQ0000=4-49-1-2-4-0-0-7-0\nREQ0001=[LOOP]\n");
    SimulatedKests::Add(0x105, other.Path());
    CanMessage reply = Untouched();
    EXPECT_EQ(SimulateRequest(PowerA, reply, 5), 0);
    EXPECT_EQ(reply.Data[2], 7);
    // Adding id 5 again replaces the box rather than adding a second one.
    const int before = SimulatedKests::Count();
    SimulatedKests::Add(5, other.Path());
    EXPECT_EQ(SimulatedKests::Count(), before);
    SimulatedKests::Remove(5);
    EXPECT_EQ(SimulateRequest(PowerA, reply, 5), -100);
}

TEST(ReplayFile, MalformedValuesRaiseAndDoNotAdvance) {
    const char* values[] = {
        "4-49-1-2-4-0-0-x-0",  // a field that is no number
        "4-49-1-2-4-0-0-16",   // fewer data fields than the length announces
        "4-49-1-2",            // no length
        "",                    // nothing
        "4-49--2-0",           // an empty field
        "4-49-1-$-0",          // a "$" without digits
        "[LOOP]",              // a loop that loops to itself
    };
    for (const char* value : values) {
        ReplayBox box(QString("[04-31-08-02-00]\nREQ0000=%1\n").arg(value));
        CanMessage reply = Untouched();
        EXPECT_THROW(SimulateRequest(PowerA, reply, 0), TConversionError) << value;
        EXPECT_EQ(ReplayCounters::Counter(PowerA), 0u) << value;
    }
    // 38 fields are more than a reply record holds.
    QStringList fields = {"4", "49", "1", "2", "32"};
    for (int i = 0; i < 33; ++i) {
        fields << "1";
    }
    ReplayBox box("[04-31-08-02-00]\nREQ0000=" + fields.join('-') + "\n");
    CanMessage reply = Untouched();
    EXPECT_THROW(SimulateRequest(PowerA, reply, 0), TConversionError);
    fields.removeLast();
    box.Rewrite("[04-31-08-02-00]\nREQ0001=" + fields.join('-') + "\n");
    EXPECT_EQ(SimulateRequest(PowerA, reply, 0), -11);  // REQ0000 is gone from the new file
}

TEST(ReplayFile, ValuesAreTakenAsWrittenAndNeverDecodedAsStoredObjects) {
    // Settings-file conventions (lists at commas, "@" type prefixes, backslash escapes) would
    // turn a hostile recording into a list or a deserialised object instead of plain text.
    ReplayBox box(
        "[04-31-08-02-00]\n"
        "REQ0000=4,49,1,2,0\n"
        "REQ0001=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1)\n"
        "REQ0002=@ByteArray(4-49-1-2-0)\n"
        "REQ0003=4-49-1-2-0\\\n"
        "# a comment\n"
        "REQ0004 = \"4-49-1-2-0\"\n");
    TVirtualKest kest(0, box.Path());
    EXPECT_EQ(kest.Value("04-31-08-02-00", "REQ0000", "missing"), "4,49,1,2,0");
    EXPECT_EQ(kest.Value("04-31-08-02-00", "REQ0001", "missing"),
              "@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1)");
    EXPECT_EQ(kest.Value("04-31-08-02-00", "REQ0002", "missing"), "@ByteArray(4-49-1-2-0)");
    EXPECT_EQ(kest.Value("04-31-08-02-00", "REQ0003", "missing"), "4-49-1-2-0\\");
    EXPECT_EQ(kest.Value("04-31-08-02-00", "REQ0004", "missing"), "4-49-1-2-0");
    EXPECT_EQ(kest.Value("04-31-08-02-00", "# a comment", "missing"), "missing");
    for (const char* key : {"REQ0000", "REQ0001", "REQ0002", "REQ0003"}) {
        box.Rewrite(
            QString("[04-31-08-02-00]\nREQ0000=%1\n").arg(kest.Value("04-31-08-02-00", key, "")));
        CanMessage reply = Untouched();
        EXPECT_THROW(SimulateRequest(PowerA, reply, 0), TConversionError) << key;
        EXPECT_TRUE(IsUntouched(reply)) << key;
    }
}

TEST(ReplayFile, AFileThatCannotBeReadAnswersLikeAnEmptyOne) {
    ReplayBox box("[04-31-08-02-00]\nREQ0000=4-49-1-2-0\n");
    SimulatedKests::Add(0, box.Path() + ".missing");
    CanMessage reply = Untouched();
    EXPECT_EQ(SimulateRequest(PowerA, reply, 0), -11);
    EXPECT_TRUE(IsUntouched(reply));
}

// Channels served by the replay box: their requests are decoded as with a real box.
class ReplayChannel : public ::testing::Test {
protected:
    std::unique_ptr<TCANMessages> Open() {
        auto channel = std::make_unique<TCANMessages>(9, 2, 0);
        channel->RequestDelay = 1;
        return channel;
    }
    static bool RingEmpty(const TCANMessages& c) { return c.RingRead == c.RingWrite; }
};

TEST_F(ReplayChannel, AReplyFromAnotherAddressCountsForTheInverterAsked) {
    ReplayBox box("[04-31-08-02-00]\nREQ0000=0-49-1-2-4-0-0-16-39\n");
    auto channel = Open();
    channel->Enqueue(PowerA);
    ASSERT_TRUE(WaitFor([&] { return channel->PowerA == 10000; }));
    EXPECT_EQ(channel->PowerTotal, 10000u);
    EXPECT_TRUE(RingEmpty(*channel));
}

TEST_F(ReplayChannel, ActionZeroIsRemovedWithoutDecoding) {
    ReplayBox box(
        "[04-31-08-02-00]\n"
        "REQ0000=4-49-1-2-4-0-0-16-39\n"
        "REQ0001=4-49-0-2-4-0-0-1-0\n");
    auto channel = Open();
    channel->Enqueue(PowerA);
    channel->Enqueue(PowerA);
    ASSERT_TRUE(
        WaitFor([&] { return ReplayCounters::Counter(PowerA) == 2 && RingEmpty(*channel); }));
    RunEvents(20ms);
    EXPECT_EQ(channel->PowerA, 10000);
    EXPECT_EQ(ReplayCounters::Counter(PowerA), 2u);
}

TEST_F(ReplayChannel, AReplyWithLength33IsSentAgain) {
    QStringList tooLong = {"4", "49", "1", "2", "33"};
    for (int i = 0; i < 32; ++i) {
        tooLong << "7";
    }
    const QString history = "00-41-07-02-09-08-24-00-00-00-00-00-00-01";
    ReplayBox box("[04-31-08-02-00]\nREQ0000=" + tooLong.join('-') +
                  "\nREQ0001=4-49-1-2-4-0-0-16-39\n"
                  "[00-20-08-00-00]\nREQ0000=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n"
                  "[" +
                  history + "]\nREQ0000=0-65-1-2-33-" + QStringList(tooLong.mid(5)).join('-') +
                  "\nREQ0001=0-65-1-2-10-8-36-216-5-14-3-13-40-5-0\n");
    auto channel = Open();
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    channel->Enqueue(PowerA);
    ASSERT_TRUE(WaitFor([&] { return channel->PowerA == 10000; }));
    EXPECT_EQ(ReplayCounters::Counter(PowerA), 2u);

    channel->StartHistory(false, false, true, false, Res_Ten_Minutes, QDate(2008, 5, 14));
    ASSERT_TRUE(WaitFor([&] { return samples.size() == 1; }));
    EXPECT_EQ(samples[0].time, At(2008, 5, 14, 13, 40));
    EXPECT_EQ(samples[0].value, 5);
    EXPECT_FALSE(channel->LinkError);
}

TEST_F(ReplayChannel, ATimeOutDropsAPlainRequestButKeepsAHistoryRequest) {
    ReplayBox box(
        "[04-31-08-02-00]\nREQ0000=4-49-1-2-4-0-0-16-39\nREQ0001=Timeout\n"
        "[00-20-08-00-00]\nREQ0000=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n"
        "[00-41-07-02-09-80-47-00-00-00-00-00-00-01]\nREQ0000=Timeout\n"
        "REQ0001=Timeout\nREQ0002=0-65-1-2-10-128-71-216-5-14-3-0-0-44-1\n");
    auto channel = Open();
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    channel->Enqueue(PowerA);
    ASSERT_TRUE(WaitFor([&] { return channel->PowerA == 10000; }));
    channel->Enqueue(PowerA);  // times out: decoded as not valid, then dropped
    ASSERT_TRUE(WaitFor([&] { return channel->PowerA == 0 && RingEmpty(*channel); }));
    EXPECT_EQ(ReplayCounters::Counter(PowerA), 1u);  // a time-out does not move the counter

    // The history request stays pending through its time-outs. Its counter stays too, so
    // make the file answer from now on.
    channel->StartHistory(true, false, false, false, Res_Day, QDate(2008, 5, 14));
    RunEvents(30ms);
    EXPECT_TRUE(channel->HistoryPending);
    EXPECT_TRUE(samples.empty());
    box.Rewrite(
        "[00-20-08-00-00]\nREQ0000=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n"
        "[00-41-07-02-09-80-47-00-00-00-00-00-00-01]\n"
        "REQ0000=0-65-1-2-10-128-71-216-5-14-3-0-0-44-1\n");
    ASSERT_TRUE(WaitFor([&] { return samples.size() == 1; }));
    EXPECT_EQ(samples[0].value, 300);
    EXPECT_EQ(samples[0].time, At(2008, 5, 14));
    EXPECT_FALSE(channel->LinkError);
}

TEST_F(ReplayChannel, ARecordedRefusalIsALinkError) {
    ReplayBox box(
        "[08-31-08-02-00]\nREQ0000=8-49-2-2-0\nREQ0001=8-49-1-2-4-0-0-16-39\n"
        "[00-20-08-00-00]\nREQ0000=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n"
        "[00-41-07-02-09-0C-7D-00-00-00-00-00-00-01]\nREQ0000=0-65-3-2-0\n"
        "REQ0001=0-65-1-2-10-12-125-216-1-1-2-0-0-9-0\n");
    auto channel = Open();
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    // The plain request stays at the head and is answered by the next recorded reply.
    channel->Enqueue(Message(8, 0x31, 8, 2));
    ASSERT_TRUE(WaitFor([&] { return channel->PowerB == 10000; }));
    EXPECT_EQ(ReplayCounters::Counter(Message(8, 0x31, 8, 2)), 2u);

    DebugCapture debug;
    channel->StartHistory(false, false, false, true, Res_Year, QDate(2008, 5, 14));
    ASSERT_TRUE(WaitFor([&] { return samples.size() == 1; }));
    EXPECT_TRUE(channel->LinkError);
    EXPECT_EQ(samples[0].time, At(2008, 1, 1));
    // A refusal recorded with Action 3 came back as a result of -10, not as an error
    // response, so no request/reply lines were written.
    EXPECT_FALSE(debug.Lines().join('\n').contains("ADR:$"));
}

TEST_F(ReplayChannel, TheClockGateHoldsHistoryUntilAConfirmedClockReply) {
    ReplayBox box(
        "[00-20-08-00-00]\nREQ0000=0-32-2-0-0\nREQ0001=0-32-0-0-0\n"
        "REQ0002=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n"
        "[00-41-07-02-09-04-6A-00-00-00-00-00-00-01]\n"
        "REQ0000=0-65-1-2-10-4-106-216-5-14-3-0-0-1-0\n");
    auto channel = Open();
    const CanMessage history = Message(0, 0x41, 7, 2, {4, 106, 0, 0, 0, 0, 0, 0, 1});
    channel->StartHistory(false, true, false, false, Res_Month, QDate(2008, 5, 14));
    // The clock request is answered "unknown", a link error for a plain request, so it is
    // sent again; then with Action 0, which removes it without decoding.
    ASSERT_TRUE(WaitFor([&] { return RingEmpty(*channel); }));
    RunEvents(30ms);
    EXPECT_EQ(ReplayCounters::Counter(Clock), 2u);
    EXPECT_FALSE(channel->MonitorClockValid);
    EXPECT_EQ(ReplayCounters::Counter(history), 0u);
    EXPECT_TRUE(channel->HistoryPending);

    channel->RequestMonitorClock();
    ASSERT_TRUE(WaitFor([&] { return !channel->HistoryPending; }));
    EXPECT_TRUE(channel->MonitorClockValid);
    EXPECT_EQ(ReplayCounters::Counter(history), 1u);
}

TEST_F(ReplayChannel, StartingWithoutModulesSendsOnlyTheClockRequest) {
    ReplayBox box("[00-20-08-00-00]\nREQ0000=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n");
    auto channel = Open();
    channel->StartHistory(false, false, false, false, Res_Ten_Minutes, QDate(2008, 5, 14));
    ASSERT_TRUE(WaitFor([&] { return channel->MonitorClockValid.load(); }));
    RunEvents(20ms);
    EXPECT_EQ(ReplayCounters::Count(), 1);
    EXPECT_FALSE(channel->Downloading);
}

TEST_F(ReplayChannel, AnImpossibleDateEndsTheWorkerInOrder) {
    ReplayBox box(
        "[00-20-08-00-00]\nREQ0000=0-32-1-0-9-0-0-216-5-14-3-13-40-0\n"
        "[00-41-07-02-09-80-24-00-00-00-00-00-00-01]\n"
        "REQ0000=0-65-1-2-10-128-36-216-13-14-3-13-40-1-0\n");
    DebugCapture debug;
    auto channel = Open();
    int ended = 0;
    channel->OnThreadEnded = [&](TCANMessages* c) {
        EXPECT_EQ(c, channel.get());
        ++ended;
    };
    channel->StartHistory(true, false, false, false, Res_Ten_Minutes, QDate(2008, 5, 14));
    ASSERT_TRUE(WaitFor([&] { return ended == 1; }));
    EXPECT_EQ(channel->Thread, nullptr);
    const int freeing = debug.IndexOf("***Freeing thread for TIVREL 0");
    const int freed = debug.IndexOf("***Thread Terminated and Freed for TIVREL 0");
    const int driver = debug.IndexOf("***Disconnected Hardware Driver");
    EXPECT_GE(freeing, 0);
    EXPECT_LT(freeing, freed);
    EXPECT_LT(freed, driver);
    // Nothing more is queued once the worker has gone.
    const uint8_t write = channel->RingWrite;
    channel->Enqueue(PowerA);
    EXPECT_EQ(channel->RingWrite, write);
}

TEST_F(ReplayChannel, AMalformedRecordingEndsTheWorker) {
    ReplayBox box("[04-31-08-02-00]\nREQ0000=4-49-one-2-0\n");
    auto channel = Open();
    bool ended = false;
    channel->OnThreadEnded = [&](TCANMessages*) { ended = true; };
    channel->Enqueue(PowerA);
    ASSERT_TRUE(WaitFor([&] { return ended; }));
}

TEST_F(ReplayChannel, SeveralChannelsShareTheBoxOneCallAtATime) {
    ReplayBox box(
        "[04-31-08-02-00]\nREQ0000=4-49-1-2-4-0-0-1-0\nREQ0001=4-49-1-2-4-0-0-2-0\n"
        "REQ0002=[LOOP]\n"
        "[08-31-08-02-00]\nREQ0000=8-49-1-2-4-0-0-3-0\nREQ0001=[LOOP]\n");
    std::vector<std::unique_ptr<TCANMessages>> channels;
    for (int i = 0; i < 4; ++i) {
        channels.push_back(Open());
        channels.back()->RequestDelay = 0;
    }
    for (int round = 0; round < 40; ++round) {
        for (auto& c : channels) {
            c->Enqueue(PowerA);
            c->Enqueue(Message(8, 0x31, 8, 2));
        }
        ASSERT_TRUE(WaitFor([&] {
            return std::all_of(channels.begin(), channels.end(),
                               [](const auto& c) { return RingEmpty(*c); });
        }));
    }
    for (auto& c : channels) {
        EXPECT_EQ(c->PowerB, 3);
        EXPECT_TRUE(c->PowerA == 1 || c->PowerA == 2);
    }
    // 160 requests of A in all, an even number: the last one read the second reply.
    EXPECT_EQ(ReplayCounters::Counter(PowerA), 2u);
}

}  // namespace
}  // namespace cantest

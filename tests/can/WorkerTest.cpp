// The worker against a real link and box: how it classifies results, how it stops, and how the
// channel ends it.
#include <thread>

#include "ChannelHarness.h"

namespace cantest {
namespace {

const CanMessage PowerA = Message(4, 0x31, 8, 2);

bool RingEmpty(const TCANMessages& c) {
    return c.RingRead == c.RingWrite;
}

using Worker = BoxChannelTest;

TEST_F(Worker, LivePowerOfTheThreeInvertersArrives) {
    auto channel = OpenChannel();
    for (uint8_t address : {4, 8, 12}) {
        channel->Enqueue(Message(address, 0x31, 8, 2));
    }
    ASSERT_TRUE(WaitFor([&] { return RingEmpty(*channel) && CanFramesReceived() == 3; }));
    // At 23:00 in June the sun has set: the box answers 0 W, confirmed.
    EXPECT_EQ(channel->PowerTotal, 0u);
}

class SunnyWorker : public BoxChannelTest {
    void Configure(kestemu::Config& config) override { config.clock = "2024-06-20 13:00"; }
};

TEST_F(SunnyWorker, PowerIsTheBoxModelsValue) {
    auto channel = OpenChannel();
    channel->Enqueue(PowerA);
    channel->Enqueue(Message(8, 0x31, 8, 2));
    ASSERT_TRUE(WaitFor([&] { return channel->PowerA > 0 && channel->PowerB > 0; }));
    EXPECT_EQ(channel->PowerTotal, uint32_t(channel->PowerA) + channel->PowerB);
    EXPECT_LE(channel->PowerA, 46000);
}

class TimingOutBox : public BoxChannelTest {
    void Configure(kestemu::Config& config) override {
        config.clock = "2024-06-20 13:00";
        config.faults.can_timeout_probability = 1.0;
    }
};

TEST_F(TimingOutBox, ACanTimeOutDropsThePlainRequestAndZeroesThePower) {
    auto channel = OpenChannel();
    channel->PowerA = 1234;
    channel->Enqueue(PowerA);
    ASSERT_TRUE(WaitFor([&] { return RingEmpty(*channel); }));
    RunEvents(20ms);
    EXPECT_EQ(CanFramesReceived(), 1);
    EXPECT_EQ(channel->PowerA, 0);
    EXPECT_FALSE(channel->ReplyValid);
    EXPECT_FALSE(channel->LinkError);
}

class ClosingBox : public BoxChannelTest {
    // The box hangs up after the login.
    void Configure(kestemu::Config& config) override { config.faults.close_after = 1; }
};

TEST_F(ClosingBox, ALinkErrorKeepsThePlainRequestAtTheHeadAndMarksTheLinkLost) {
    auto channel = OpenChannel();
    channel->PowerA = 1234;
    channel->Enqueue(PowerA);
    channel->Enqueue(Message(8, 0x31, 8, 2));
    // Every retry hands a not-valid reply over; the requests behind it wait.
    ASSERT_TRUE(WaitFor([&] { return channel->PowerA == 0; }));
    RunEvents(30ms);
    EXPECT_EQ(uint8_t(channel->RingWrite - channel->RingRead), 2);
    EXPECT_TRUE(channel->LinkError);
}

TEST_F(ClosingBox, ALinkErrorOnHistorySetsLinkErrorAndKeepsItPending) {
    auto channel = OpenChannel();
    channel->MonitorClockValid = true;
    channel->DownloadResolution = Res_Day;
    channel->RequestHistoryBlock(128, 0, QDateTime(), 1);
    ASSERT_TRUE(WaitFor([&] { return channel->LinkError.load(); }));
    EXPECT_TRUE(channel->HistoryPending);
    EXPECT_TRUE(channel->Downloading);
}

TEST_F(Worker, HistoryWaitsForTheClockAndAnErrorResponseIsLogged) {
    DebugCapture debug;
    auto channel = OpenChannel();
    std::vector<Sample> samples;
    RecordSamples(*channel, samples);
    // Resolution 37 is none the box knows: it ends the request with Action 2, no samples.
    channel->DownloadResolution = 37;
    channel->RequestHistoryBlock(4, 0, QDateTime(), 1);
    RunEvents(30ms);
    EXPECT_EQ(CanFramesReceived(), 0);
    channel->RequestMonitorClock();
    ASSERT_TRUE(WaitFor([&] { return !channel->Downloading; }));
    EXPECT_EQ(CanFramesReceived(), 2);
    EXPECT_TRUE(samples.empty());
    EXPECT_FALSE(channel->HistoryPending);
    // Action 2 is no error response: no request/reply lines.
    EXPECT_FALSE(debug.Lines().join('\n').contains("ADR:$"));
}

TEST_F(Worker, AnErrorResponseToHistoryWritesTheRequestAndTheReply) {
    DebugCapture debug;
    auto channel = OpenChannel();
    channel->DownloadResolution = Res_Day;
    channel->RequestHistoryBlock(4, 2, At(2024, 6, 1), 1);
    channel->HistoryRequest.Data[3] = 13;  // no such month: the box answers with Action 3
    channel->RequestMonitorClock();
    ASSERT_TRUE(WaitFor([&] { return !channel->Downloading; }));
    EXPECT_FALSE(channel->HistoryPending);
    const QStringList lines = debug.Lines();
    const int request = int(lines.indexOf(
        "7-> ADR:$00 ACT:$07 OBJ:$41 AUT:2 LEN:9  DATA: 04 47 18 0D 01 02 00 00 01 "));
    ASSERT_GE(request, 0) << lines.join('\n').toStdString();
    ASSERT_LT(request + 1, lines.size());
    EXPECT_EQ(lines[request + 1], "7-> ADR:$00 ACT:$03 OBJ:$41 AUT:2 LEN:0  DATA: ");
}

TEST_F(Worker, StoppingEndsTheWorkerWithoutWaitingOutThePause) {
    DebugCapture debug;
    auto channel = OpenChannel(60000);
    bool ended = false;
    channel->OnThreadEnded = [&](TCANMessages* c) {
        EXPECT_EQ(c, channel.get());
        ended = true;
    };
    channel->Enqueue(PowerA);
    ASSERT_TRUE(WaitFor([&] { return RingEmpty(*channel); }));
    // The worker now pauses a minute after its request; the stop ends the pause.
    channel->TerminateThread();
    ASSERT_TRUE(WaitFor([&] { return ended; }, 20s));
    EXPECT_EQ(channel->Thread, nullptr);
    const QStringList expected = {
        "***Terminating thread for TIVREL 7", "***Freeing thread for TIVREL 7",
        "***Thread Terminated and Freed for TIVREL 7", "***Disconnected Hardware Driver"};
    int last = -1;
    for (const QString& line : expected) {
        const int at = debug.IndexOf(line);
        EXPECT_GT(at, last) << line.toStdString();
        last = at;
    }
    // The link has been disconnected and deleted.
    EXPECT_EQ(Pc2Lan_Keep_Alive(Link), -1);

    channel->TerminateThread();
    EXPECT_TRUE(debug.Contains("***Thread not present for TIVREL 7"));
    const uint8_t write = channel->RingWrite;
    channel->Enqueue(PowerA);
    EXPECT_EQ(channel->RingWrite, write);
}

TEST_F(Worker, AnIdleWorkerStopsAndTheDestructorLogs) {
    DebugCapture debug;
    {
        auto channel = OpenChannel(60000);
        EXPECT_TRUE(debug.Contains("!!!Object created for SID 3 TID 7"));
        EndWorker(*channel);
    }
    EXPECT_TRUE(debug.Contains("***Destroying CAN object for SID 3"));
}

TEST_F(Worker, DestroyingAChannelWhoseWorkerWaitsForAStepDoesNotHang) {
    int ended = 0;
    {
        auto channel = OpenChannel();
        channel->OnThreadEnded = [&](TCANMessages*) { ++ended; };
        channel->Enqueue(PowerA);
        // Without the event loop running, the worker's step cannot run: once the box has the
        // request, the worker is in the exchange or waiting for the main thread.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (CanFramesReceived() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(CanFramesReceived(), 1);
        std::this_thread::sleep_for(20ms);  // lets the reply reach the worker; not required
    }
    // The termination handler ran during destruction.
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(Pc2Lan_Keep_Alive(Link), -1);
}

TEST_F(Worker, TheRingKeepsItsOrderAcrossTheWrap) {
    auto channel = OpenChannel(0);
    // Requests told apart by two data bytes carrying their number; the box does not mind.
    auto numbered = [](int i) { return Message(4, 0x33, 8, 2, {uint8_t(i), uint8_t(i >> 8)}); };
    for (int i = 0; i < 200; ++i) {
        channel->Enqueue(numbered(i));
    }
    ASSERT_TRUE(WaitFor([&] { return CanFramesReceived() >= 150; }));
    for (int i = 200; i < 400; ++i) {
        channel->Enqueue(numbered(i));
    }
    ASSERT_TRUE(WaitFor([&] { return RingEmpty(*channel); }));
    std::vector<int> order;
    for (const auto& frame : Box->received()) {
        if (frame.bytes.at(0) == 0x10) {
            order.push_back(frame.bytes.at(8) | frame.bytes.at(9) << 8);
        }
    }
    ASSERT_EQ(order.size(), 400u);
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(order[i], i);
    }
}

TEST_F(Worker, AFullRingRefusesTheRequestAndStillReadsAsFull) {
    DebugCapture debug;
    auto channel = OpenChannel(0);
    // The main thread does not run its event loop here, so no request leaves the ring.
    for (int i = 0; i < 300; ++i) {
        channel->Enqueue(PowerA);
    }
    EXPECT_EQ(uint8_t(channel->RingWrite - channel->RingRead), 255);
    EXPECT_EQ(debug.Lines().count("***Request ring full, request dropped for TIVREL 7"), 45);
    ASSERT_TRUE(WaitFor([&] { return RingEmpty(*channel); }));
    EXPECT_EQ(CanFramesReceived(), 255);
}

}  // namespace
}  // namespace cantest

// What the channel tests share: the event loop the workers' main-thread steps need, a capture
// of the diagnostic lines, replay files in a temporary folder, and a box emulator with a link.
#pragma once

#include <gtest/gtest.h>

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "link/Pc2Lan.h"
#include "monitor/can/CANMessages.h"
#include "tools/kestemu/Emulator.h"

namespace cantest {

using namespace std::chrono_literals;

// Runs the main thread's event loop until condition holds or the limit has passed.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s);

// Lets the event loop run for a while, for tests that check that something does not happen.
void RunEvents(std::chrono::milliseconds span);

CanMessage Message(uint8_t address, uint8_t object, uint8_t action, uint8_t auth,
                   const std::vector<uint8_t>& data = {});

QDateTime At(int year, int month, int day, int hour = 0, int minute = 0);

// Collects the lines of the diagnostic channel while it lives.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    QStringList Lines() const;
    bool Contains(const QString& line) const;
    int IndexOf(const QString& line) const;  // -1 when absent

private:
    static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& text);
    static DebugCapture* Current;
    static std::mutex Guard;
    QtMessageHandler Previous = nullptr;
    QStringList Collected;
};

// A channel whose worker has already ended, for the arithmetic that must send nothing.
std::unique_ptr<TCANMessages> StoppedChannel(int32_t kestId = 1);

// Stops the channel's worker and waits until its termination handler has run.
void EndWorker(TCANMessages& channel);

// A replay file registered as replay box 0 while it lives; the reply counters start afresh.
class ReplayBox {
public:
    explicit ReplayBox(const QString& text);
    ~ReplayBox();
    QString Path() const { return File; }
    void Rewrite(const QString& text);

private:
    QTemporaryDir Dir;
    QString File;
};

// Every sample a channel hands to OnSample.
struct Sample {
    uint8_t module;
    uint8_t resolution;
    QDateTime time;
    int32_t value;
};
void RecordSamples(TCANMessages& channel, std::vector<Sample>& samples);

// A box emulator on a free port and one logged-in link to it.
class BoxChannelTest : public ::testing::Test {
protected:
    static constexpr int32_t Link = 7;
    static constexpr int32_t Kest = 3;

    virtual void Configure(kestemu::Config& config) { (void)config; }
    void SetUp() override;
    void TearDown() override;

    // A channel on the link, with a short pause after each request.
    std::unique_ptr<TCANMessages> OpenChannel(uint32_t requestDelay = 1);
    // Frames of CAN requests (command 0x10) the box has received so far.
    int CanFramesReceived() const;

    std::unique_ptr<kestemu::Emulator> Box;
};

}  // namespace cantest

#include "ChannelHarness.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <cstring>
#include <thread>

#include "monitor/can/DebugLog.h"
#include "monitor/can/NaiveTime.h"
#include "monitor/can/VirtualKest.h"

namespace cantest {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(200us);
    }
    return true;
}

void RunEvents(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    WaitFor([&] { return std::chrono::steady_clock::now() >= end; }, span + 1s);
}

CanMessage Message(uint8_t address, uint8_t object, uint8_t action, uint8_t auth,
                   const std::vector<uint8_t>& data) {
    CanMessage m = MakeCanRequest(address, object, action, auth, uint8_t(data.size()));
    std::copy_n(data.begin(), std::min<size_t>(data.size(), sizeof m.Data), m.Data);
    return m;
}

QDateTime At(int year, int month, int day, int hour, int minute) {
    return NaiveDateTime(year, month, day, hour, minute);
}

DebugCapture* DebugCapture::Current = nullptr;
std::mutex DebugCapture::Guard;

DebugCapture::DebugCapture() {
    std::lock_guard guard(Guard);
    Current = this;
    Previous = qInstallMessageHandler(&DebugCapture::Handler);
}

DebugCapture::~DebugCapture() {
    qInstallMessageHandler(Previous);
    std::lock_guard guard(Guard);
    Current = nullptr;
}

void DebugCapture::Handler(QtMsgType, const QMessageLogContext& context, const QString& text) {
    std::lock_guard guard(Guard);
    if (Current != nullptr && context.category != nullptr &&
        std::strcmp(context.category, "quarnel.debug") == 0) {
        Current->Collected << text;
    }
}

QStringList DebugCapture::Lines() const {
    std::lock_guard guard(Guard);
    return Collected;
}

bool DebugCapture::Contains(const QString& line) const {
    return IndexOf(line) >= 0;
}

int DebugCapture::IndexOf(const QString& line) const {
    std::lock_guard guard(Guard);
    return int(Collected.indexOf(line));
}

void EndWorker(TCANMessages& channel) {
    channel.TerminateThread();
    ASSERT_TRUE(WaitFor([&] { return channel.Thread == nullptr; }));
}

std::unique_ptr<TCANMessages> StoppedChannel(int32_t kestId) {
    auto channel = std::make_unique<TCANMessages>(kestId, 2, 0);
    EndWorker(*channel);
    return channel;
}

ReplayBox::ReplayBox(const QString& text) {
    File = Dir.filePath("replay.ini");
    Rewrite(text);
    ReplayCounters::Clear();
    SimulatedKests::Add(0, File);
}

ReplayBox::~ReplayBox() {
    SimulatedKests::Clear();
    ReplayCounters::Clear();
}

void ReplayBox::Rewrite(const QString& text) {
    QFile file(File);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
    file.close();
    // A new reader, so the new text is read even within the same second.
    if (SimulatedKests::Count() > 0) {
        SimulatedKests::Add(0, File);
    }
}

void RecordSamples(TCANMessages& channel, std::vector<Sample>& samples) {
    channel.OnSample = [&samples](TCANMessages* c) {
        samples.push_back({c->SampleModule, c->SampleResolution, c->SampleTime, c->SampleValue});
    };
}

void BoxChannelTest::SetUp() {
    kestemu::Config config;
    config.port = 0;
    config.clock = "2024-06-20 23:00";
    config.installed = "2021-03-15";
    config.seed = 4711;
    config.log_connections = false;
    Configure(config);
    Box = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    ASSERT_TRUE(Box->start(&error)) << error;
    ASSERT_EQ(Pc2Lan_Create(Link, "127.0.0.1", Box->port(), "Administrator", "admin1234", nullptr,
                            nullptr),
              0);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(Link, 1000, 1500), 0);
    int32_t level = 0;
    ASSERT_GE(Pc2Lan_Connect(Link, &level, 0), 0);
}

void BoxChannelTest::TearDown() {
    Pc2Lan_Delete(Link);
    if (Box) {
        Box->stop();
    }
}

std::unique_ptr<TCANMessages> BoxChannelTest::OpenChannel(uint32_t requestDelay) {
    auto channel = std::make_unique<TCANMessages>(Kest, 0, Link);
    channel->RequestDelay = requestDelay;
    return channel;
}

int BoxChannelTest::CanFramesReceived() const {
    int count = 0;
    for (const auto& frame : Box->received()) {
        count += frame.bytes.at(0) == 0x10 ? 1 : 0;
    }
    return count;
}

}  // namespace cantest

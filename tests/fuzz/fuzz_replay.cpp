// Feeds arbitrary replay files to the replay-file box and drives a channel's requests through it
// as the worker does: the monitor clock first, the live power of the ticked inverters, and a
// history download once the clock is confirmed.
//
// Input: byte 0 the download (bits 0..2 the resolution index, bits 3..6 its modules), byte 1
// bits 0..3 the number of requests less one and bits 4..6 the inverters ticked for live power;
// the rest is the replay file's text.
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstring>

#include "QuietLog.h"
#include "WorkerSteps.h"
#include "monitor/can/VirtualKest.h"

namespace {

using fuzzwork::Check;

constexpr uint8_t Resolutions[] = {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year, 0};
constexpr uint8_t Inverters[] = {Addr_Inverter_A, Addr_Inverter_B, Addr_Inverter_C};

QString ReplayPath() {
    static QTemporaryDir folder;
    static int64_t serial = 0;
    // A new name for every input: a settings reader may keep what it read of a file name.
    return folder.filePath(QStringLiteral("replay-%1.ini").arg(++serial));
}

CanMessage Untouched() {
    CanMessage reply;
    std::memset(&reply, 0xEE, sizeof reply);
    return reply;
}

// One request through the box and the worker's handling of its reply; false when the worker
// would have ended.
bool Serve(TCANMessages& channel, const CanMessage& request, bool history) {
    CanMessage reply = Untouched();
    int32_t result = 0;
    try {
        result = SimulateRequest(request, reply, 0);
    } catch (const TConversionError&) {
        return false;
    }
    Check(result == 0 || result == -2 || result == -10 || result == Can_Result_Timeout);
    if (result == Can_Result_Timeout) {
        const CanMessage untouched = Untouched();
        Check(std::memcmp(&reply, &untouched, sizeof reply) == 0);
    }
    return history ? fuzzwork::HistoryReply(channel, result, reply)
                   : fuzzwork::PlainReply(channel, request, result, reply);
}

void Drive(TCANMessages& channel, uint8_t steps, uint8_t ticked) {
    const CanMessage clock = MakeCanRequest(Addr_Monitor, Obj_Monitor_Clock, Act_Read, 0);
    bool askClock = true;  // every new download queues a clock request first
    int nextInverter = 0;
    for (int step = 0; step < steps; ++step) {
        bool served = true;
        if (askClock || !channel.MonitorClockValid.load()) {
            askClock = false;
            served = Serve(channel, clock, false);
        } else if (channel.HistoryPending.load() && (step % 2 == 0 || ticked == 0)) {
            uint32_t generation = 0;
            served = Serve(channel, channel.TakeHistoryRequest(&generation), true);
        } else if (ticked != 0) {
            while ((ticked & (1 << nextInverter)) == 0) {
                nextInverter = (nextInverter + 1) % 3;
            }
            const CanMessage power =
                MakeCanRequest(Inverters[nextInverter], Obj_Actual_Power, Act_Read, 2);
            nextInverter = (nextInverter + 1) % 3;
            served = Serve(channel, power, false);
        } else {
            return;
        }
        fuzzwork::CheckChannel(channel);
        if (!served) {
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    fuzzwork::QuietDebugOutput();
    fuzzwork::Channel();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 2) {
        return 0;
    }
    const QString path = ReplayPath();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            return 0;
        }
        file.write(reinterpret_cast<const char*>(bytes + 2), qint64(size - 2));
    }
    SimulatedKests::Add(0, path);
    ReplayCounters::Clear();

    TCANMessages& channel = fuzzwork::Channel();
    fuzzwork::Reset(channel);
    const uint8_t resolution = Resolutions[(bytes[0] & 7) % std::size(Resolutions)];
    const uint8_t modules = (bytes[0] >> 3) & 0x0F;
    channel.StartHistory(modules & 1, modules & 2, modules & 4, modules & 8, resolution,
                         QDate(2008, 5, 14));
    Drive(channel, uint8_t(1 + (bytes[1] & 0x0F)), (bytes[1] >> 4) & 7);

    SimulatedKests::Remove(0);
    QFile::remove(path);
    return 0;
}

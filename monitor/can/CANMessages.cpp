#include "CANMessages.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <cstring>

#include "CommThrd.h"
#include "DebugLog.h"
#include "NaiveTime.h"

namespace {

QString Number(int64_t value) {
    return QString::number(value);
}

}  // namespace

int DownloadPercent(int32_t requested, int32_t expected) {
    if (expected <= 0) {
        return 0;
    }
    const int64_t done = std::clamp<int64_t>(requested, 0, expected);
    return int((200 * done + expected) / (2 * int64_t(expected)));
}

TCANMessages::TCANMessages(int32_t kestId, uint8_t interfaceType, uint8_t linkHandle)
    : Kest(kestId), Link(linkHandle), Interface(interfaceType) {
    DebugLine("!!!Object created for SID " + Number(kestId) + " TID " + Number(linkHandle));
    Thread = new TCommThread;
    Thread->SetChannel(this);
    Thread->SetLinkHandle(linkHandle);
    Thread->SetInterfaceType(interfaceType);
    Thread->start(QThread::NormalPriority);
}

TCANMessages::~TCANMessages() {
    DebugLine("***Destroying CAN object for SID " + Number(Kest));
    TCommThread* worker = Thread;
    Thread = nullptr;
    if (worker != nullptr) {
        worker->RequestStop();
        // The worker may be waiting for one of its main-thread steps: keep running them. No
        // click or key may act meanwhile: it would re-enter the code that frees this channel.
        QEventLoop loop;
        connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
        if (!worker->isFinished()) {
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        }
        Fence();
        worker->wait();
        delete worker;
    }
    // The termination handler the worker posted last still runs, and finds no worker.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void TCANMessages::Enqueue(const CanMessage& request) {
    if (Thread == nullptr) {
        return;
    }
    const uint8_t write = RingWrite.load(std::memory_order_relaxed);
    const uint8_t next = uint8_t(write + 1);
    if (next == RingRead.load(std::memory_order_acquire)) {
        DebugLine("***Request ring full, request dropped for TIVREL " + Number(Link));
        return;
    }
    RequestRing[write] = request;
    RingWrite.store(next, std::memory_order_release);
    WakeWorker();
}

void TCANMessages::RequestMonitorClock() {
    Enqueue(MakeCanRequest(Addr_Monitor, Obj_Monitor_Clock, Act_Read, 0));
}

void TCANMessages::StartHistory(bool includeTotal, bool includeA, bool includeB, bool includeC,
                                uint8_t resolution) {
    StartHistory(includeTotal, includeA, includeB, includeC, resolution, NaiveNow().date());
}

void TCANMessages::StartHistory(bool includeTotal, bool includeA, bool includeB, bool includeC,
                                uint8_t resolution, QDate today) {
    IncludeTotal = includeTotal;
    IncludeA = includeA;
    IncludeB = includeB;
    IncludeC = includeC;
    RangeDownload = false;
    RangePlan.clear();
    BeginDownload(resolution);

    ModuleCount = 0;
    const struct {
        bool include;
        uint8_t module;
    } modules[] = {{includeTotal, Module_Total},
                   {includeA, Addr_Inverter_A},
                   {includeB, Addr_Inverter_B},
                   {includeC, Addr_Inverter_C}};
    for (const auto& m : modules) {
        if (m.include) {
            ModuleList[ModuleCount++] = m.module;
        }
    }
    if (ModuleCount == 0) {
        return;
    }
    ModuleIndex = 0;
    int blocks = 0;
    switch (resolution) {
        case Res_Ten_Minutes:
            blocks = 7 * 144;
            break;
        case Res_Day:
            blocks = 366;
            break;
        case Res_Month:
            blocks = (today.year() - 2004) * 12 + today.month();
            break;
        case Res_Year:
            blocks = std::min(today.year() - 2003, 25);
            break;
        default:
            break;
    }
    BlocksPerModule = uint16_t(std::max(blocks, 0));
    BlocksExpected = BlocksPerModule * ModuleCount;
    BlocksRequested = 0;
    FirstCount = uint8_t(std::min<int>(10, BlocksPerModule));
    BlocksDone = 0;
    const uint8_t asked = RequestHistoryBlock(ModuleList[0], 0, QDateTime(), FirstCount);
    {
        std::lock_guard guard(Lock);
        LastCount = asked;
    }
    BlocksDone += asked;
}

void TCANMessages::BeginDownload(uint8_t resolution) {
    {
        // A download that still runs is replaced: its request in flight no longer counts.
        std::lock_guard guard(Lock);
        ++Generation;
        DownloadResolution = resolution;
        HistoryPending.store(false);
    }
    Downloading = false;
    WeekdayDate = QDate();
    RequestMonitorClock();
}

uint8_t TCANMessages::RequestHistoryBlock(uint8_t module, uint8_t weekday, const QDateTime& time,
                                          uint8_t count) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (time.isValid()) {
        year = time.date().year();
        month = time.date().month();
        day = time.date().day();
        hour = time.time().hour();
        minute = time.time().minute();
        // To the nearest multiple of ten, a tie to the even tens.
        const int tens = minute / 10;
        const int rest = minute % 10;
        minute = (rest > 5 || (rest == 5 && tens % 2 == 1) ? tens + 1 : tens) * 10;
    }
    const uint8_t n = uint8_t(std::min(hour * 6 + minute / 10 + 1, int(count)));

    CanMessage request = MakeCanRequest(Addr_Monitor, Obj_Yield_History, Act_History_Read, 2, 9);
    request.Data[0] = module;
    request.Data[1] = DownloadResolution;
    if (time.isValid()) {
        request.Data[2] = uint8_t(year - Request_Year_Base);
        request.Data[3] = uint8_t(month);
        request.Data[4] = uint8_t(day);
        request.Data[5] = weekday;
        request.Data[6] = uint8_t(hour);
        request.Data[7] = uint8_t(minute);
    }
    request.Data[8] = n;
    AskedTime = time;
    if (!time.isValid()) {
        ModuleNewest = QDateTime();
    }
    {
        std::lock_guard guard(Lock);
        HistoryRequest = request;
        HistoryPending.store(true, std::memory_order_release);
    }
    Downloading = true;
    WakeWorker();
    return n;
}

void TCANMessages::NoteHistoryReply(const uint8_t* replyData) {
    const int year = replyData[2] + Reply_Year_Base;
    const int month = replyData[3];
    const int day = replyData[4];
    const int weekday = replyData[5];
    std::lock_guard guard(Lock);
    switch (DownloadResolution) {
        case Res_Ten_Minutes: {
            const QDateTime base = NaiveDateTime(year, month, day, replyData[6], replyData[7]);
            if (!base.isValid()) {
                throw TConversionError("history reply with an impossible date and time");
            }
            NextTime = RoundToTenMinutes(base.addSecs(-600 * qint64(LastCount)));
            NextWeekday = weekday;
            if (base.date().dayOfWeek() != NextTime.date().dayOfWeek()) {
                if (--NextWeekday <= 0) {
                    NextWeekday = 7;
                }
            }
            break;
        }
        case Res_Day:
        case Res_Month:
        case Res_Year: {
            const QDateTime base = DownloadResolution == Res_Day ? NaiveDateTime(year, month, day)
                                   : DownloadResolution == Res_Month ? NaiveDateTime(year, month, 1)
                                                                     : NaiveDateTime(year, 1, 1);
            if (!base.isValid()) {
                throw TConversionError("history reply with an impossible date");
            }
            NextTime = DownloadResolution == Res_Day     ? base.addDays(-LastCount)
                       : DownloadResolution == Res_Month ? base.addMonths(-LastCount)
                                                         : base.addYears(-LastCount);
            NextWeekday = weekday;
            break;
        }
        default:
            break;
    }
}

void TCANMessages::ContinueHistory() {
    if (RangeDownload) {
        ContinueRanges();
        return;
    }
    QDateTime next;
    int32_t weekday = 0;
    {
        std::lock_guard guard(Lock);
        next = NextTime;
        weekday = NextWeekday;
    }
    uint8_t asked = 0;
    if (BlocksDone < BlocksPerModule) {
        const int count = std::min(BlocksPerModule - BlocksDone, 10);
        asked =
            RequestHistoryBlock(ModuleList[ModuleIndex], uint8_t(weekday), next, uint8_t(count));
        BlocksDone += asked;
        BlocksRequested += asked;
    } else if (int(ModuleIndex) < int(ModuleCount) - 1) {
        ++ModuleIndex;
        asked = RequestHistoryBlock(ModuleList[ModuleIndex], 0, QDateTime(), FirstCount);
        BlocksDone = asked;
    } else {
        Downloading = false;
        return;
    }
    std::lock_guard guard(Lock);
    LastCount = asked;
}

void TCANMessages::CancelHistory() {
    HistoryPending.store(false);
    BlocksPerModule = 0;
    BlocksDone = 0;
    ModuleCount = 0;
    Downloading = false;
    RangeDownload = false;
    RangePlan.clear();
}

void TCANMessages::TerminateThread() {
    if (Thread != nullptr) {
        DebugLine("***Terminating thread for TIVREL " + Number(Link));
        Thread->RequestStop();
    } else {
        DebugLine("***Thread not present for TIVREL " + Number(Link));
    }
}

void TCANMessages::ThreadTerminated() {
    DebugLine("***Freeing thread for TIVREL " + Number(Link));
    if (Thread != nullptr) {
        TCommThread* worker = Thread;
        Thread = nullptr;
        Fence();
        worker->wait();  // it posted this call as its last act
        delete worker;
    }
    DebugLine("***Thread Terminated and Freed for TIVREL " + Number(Link));
    if (Interface == Interface_Link) {
        Pc2Lan_Disconnect(Link);
        Pc2Lan_Delete(Link);
    }
    DebugLine("***Disconnected Hardware Driver");
    if (OnThreadEnded) {
        // A copy, so that the receiver may clear the notification or destroy this channel.
        const Notification ended = OnThreadEnded;
        ended(this);  // nothing of this channel is touched after it
    }
}

template <typename Step>
void TCANMessages::RunStep(Step step) {
    Fence();
    QString error;
    try {
        step();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
        if (error.isEmpty()) {
            error = QStringLiteral("error");
        }
    } catch (...) {
        error = QStringLiteral("unexpected error");
    }
    std::lock_guard guard(Lock);
    StepError = error;
}

void TCANMessages::ReplyReceived() {
    RunStep([this] {
        if (!ReplyIsStale()) {
            DecodeReply(ReplyAddress, ReplyObject, ReplyValid, ReplyData, ReplyLength);
        }
    });
}

void TCANMessages::AdvanceRing() {
    RunStep([this] { RingRead.store(uint8_t(RingRead.load() + 1), std::memory_order_release); });
}

void TCANMessages::HistoryReplyReceived() {
    RunStep([this] {
        if (!ReplyIsStale()) {
            DecodeReply(ReplyAddress, ReplyObject, ReplyValid, ReplyData, ReplyLength);
            ContinueHistory();
        }
    });
}

bool TCANMessages::ReplyIsStale() const {
    if (ReplyGeneration >= 0 && ReplyGeneration != int64_t(Generation)) {
        DebugLine("***History reply of a replaced download ignored for TIVREL " + Number(Link));
        return true;
    }
    return false;
}

void TCANMessages::HandOver(uint8_t address, uint8_t object, uint8_t length, const uint8_t* data,
                            bool valid, int64_t generation, int32_t result) {
    std::lock_guard guard(Lock);
    ReplyAddress = address;
    ReplyObject = object;
    ReplyLength = length;
    std::memcpy(ReplyData, data, sizeof ReplyData);
    ReplyValid = valid;
    ReplyGeneration = generation;
    ReplyResult = result;
}

CanMessage TCANMessages::TakeHistoryRequest(uint32_t* generation) const {
    std::lock_guard guard(Lock);
    *generation = Generation;
    return HistoryRequest;
}

bool TCANMessages::EndHistoryRequest(uint32_t generation) {
    std::lock_guard guard(Lock);
    if (generation != Generation) {
        return false;
    }
    HistoryPending.store(false);
    return true;
}

QString TCANMessages::TakeStepError() {
    std::lock_guard guard(Lock);
    return std::exchange(StepError, QString());
}

bool TCANMessages::HasWork() const {
    return RingRead.load(std::memory_order_acquire) != RingWrite.load(std::memory_order_acquire) ||
           (HistoryPending.load(std::memory_order_acquire) && MonitorClockValid.load());
}

void TCANMessages::Fence() const {
    std::lock_guard guard(Lock);
}

void TCANMessages::WakeWorker() {
    if (Thread != nullptr) {
        Thread->Wake();
    }
}

// One box's CAN traffic: the queue of plain requests, the yield history download, the decoded
// values, and the worker thread that carries the requests to the box.
//
// Every method runs on the main thread except NoteHistoryReply, which the worker runs. The two
// threads share the ring indices, the pending flag, the clock gate and the link-error flag as
// atomics; the history request and the download fields the worker reads are guarded by Lock.
// The reply hand-over fields are written by the worker before it asks for the main-thread step
// that reads them, while it waits for that step.
#pragma once

#include <QDateTime>
#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "CanObjects.h"

class TCommThread;

// The box's dates: a reply carries the low 8 bits of the year counted from 1792, a request the
// year counted from 2000.
constexpr int Reply_Year_Base = 1792;
constexpr int Request_Year_Base = 2000;

// A history download's progress: blocks requested out of blocks expected, in whole percent
// rounded to the nearest. A download that does not yet know how many blocks it expects is at 0%.
int DownloadPercent(int32_t requested, int32_t expected);

class TCANMessages : public QObject {
    Q_OBJECT

public:
    using Notification = std::function<void(TCANMessages*)>;

    // InterfaceType 0 sends through the link library, 2 to the replay-file box.
    TCANMessages(int32_t kestId, uint8_t interfaceType, uint8_t linkHandle);
    ~TCANMessages() override;
    TCANMessages(const TCANMessages&) = delete;
    TCANMessages& operator=(const TCANMessages&) = delete;

    int32_t KestId() const { return Kest; }
    uint8_t LinkHandle() const { return Link; }
    uint8_t InterfaceType() const { return Interface; }

    void Enqueue(const CanMessage& request);
    void RequestMonitorClock();
    void StartHistory(bool includeTotal, bool includeA, bool includeB, bool includeC,
                      uint8_t resolution);
    // The same, with the PC's date given: the block counts of month and year depend on it.
    void StartHistory(bool includeTotal, bool includeA, bool includeB, bool includeC,
                      uint8_t resolution, QDate today);
    // time null: none, the newest period. Returns the number of samples asked for.
    uint8_t RequestHistoryBlock(uint8_t module, uint8_t weekday, const QDateTime& time,
                                uint8_t count);
    void NoteHistoryReply(const uint8_t* replyData);  // 32 bytes; worker thread
    void ContinueHistory();
    void CancelHistory();
    void DecodeReply(uint8_t address, uint8_t object, bool valid, const uint8_t* data,
                     uint8_t length);
    void TerminateThread();

    // The worker's main-thread steps. Each reports an error raised inside it through
    // TakeStepError instead of letting it cross the event loop.
    Q_INVOKABLE void ReplyReceived();
    Q_INVOKABLE void AdvanceRing();
    // A history reply in one step: ReplyReceived, then ContinueHistory. The worker has noted the
    // reply's date before, so the main thread is woken once per block instead of twice.
    Q_INVOKABLE void HistoryReplyReceived();
    // The worker's termination handler, run on the main thread after it has left its loop.
    Q_INVOKABLE void ThreadTerminated();

    // Worker side of a hand-over: the reply the next ReplyReceived decodes. A reply to a history
    // request names the download it was asked for; -1 marks a plain request.
    void HandOver(uint8_t address, uint8_t object, uint8_t length, const uint8_t* data, bool valid,
                  int64_t generation = -1);
    // A copy of the pending history request, and the download it belongs to.
    CanMessage TakeHistoryRequest(uint32_t* generation) const;
    // The box has ended the history request of that download: clears HistoryPending. False
    // when a new download has started since, whose request stays pending.
    bool EndHistoryRequest(uint32_t generation);
    QString TakeStepError();
    bool HasWork() const;
    // Qt's blocking queued call orders the two threads with primitives the thread checker
    // cannot see; an empty critical section on both sides of every step makes the hand-over
    // order explicit to it.
    void Fence() const;

    int32_t AccessLevel = 0;
    std::atomic<uint32_t> RequestDelay{80};  // ms the worker pauses after every request
    TCommThread* Thread = nullptr;           // owned; none once the worker has ended
    Notification OnSample;
    Notification OnThreadEnded;

    CanMessage RequestRing[256] = {};
    std::atomic<uint8_t> RingRead{0};
    std::atomic<uint8_t> RingWrite{0};

    // Latest actual AC power, tenths of a watt. The total has room for three full inverters.
    uint16_t PowerA = 0;
    uint16_t PowerB = 0;
    uint16_t PowerC = 0;
    uint32_t PowerTotal = 0;
    std::atomic<bool> MonitorClockValid{false};
    std::atomic<bool> LinkError{false};

    uint8_t ReplyAddress = 0;
    uint8_t ReplyObject = 0;
    uint8_t ReplyLength = 0;
    uint8_t ReplyData[Can_Data_Bytes] = {};
    bool ReplyValid = false;

    uint8_t SampleModule = 0;
    uint8_t SampleResolution = 0;
    QDateTime SampleTime;
    int32_t SampleValue = 0;

    bool IncludeTotal = false;
    bool IncludeA = false;
    bool IncludeB = false;
    bool IncludeC = false;
    uint8_t DownloadResolution = 0;
    bool Downloading = false;
    std::atomic<bool> HistoryPending{false};
    CanMessage HistoryRequest = {};
    uint8_t ModuleList[4] = {};
    uint8_t ModuleCount = 0;
    uint8_t ModuleIndex = 0;
    uint16_t BlocksPerModule = 0;
    uint16_t BlocksDone = 0;
    uint8_t FirstCount = 0;
    uint8_t LastCount = 0;
    QDateTime NextTime;
    int32_t NextWeekday = 0;
    int32_t BlocksExpected = 0;
    int32_t BlocksRequested = 0;

private:
    void WakeWorker();
    bool ReplyIsStale() const;
    void DecodeHistory(const uint8_t* data, uint8_t length);
    template <typename Step>
    void RunStep(Step step);

    int32_t Kest;
    uint8_t Link;
    uint8_t Interface;

    mutable std::mutex Lock;
    // Counts the downloads started, so that a reply to a request of an earlier download is not
    // taken for one of the current download.
    uint32_t Generation = 0;
    int64_t ReplyGeneration = -1;
    QString StepError;
};

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
#include <vector>

#include "CanObjects.h"

class TCommThread;

// The box's dates: a reply carries the low 8 bits of the year counted from 1792, a request the
// year counted from 2000.
constexpr int Reply_Year_Base = 1792;
constexpr int Request_Year_Base = 2000;

// A history download's progress: blocks requested out of blocks expected, in whole percent
// rounded to the nearest. A download that does not yet know how many blocks it expects is at 0%.
int DownloadPercent(int32_t requested, int32_t expected);

// A run of one module's history slots to download, newest first. A null Newest starts at the slot
// the box holds as its newest, which the range's first request, one without a time, finds out;
// a null Oldest reaches back as far as the box holds history.
struct THistoryRange {
    QDateTime Newest;
    QDateTime Oldest;
};

// The ranges of one module (128 the box total, 4, 8, 12 inverters A, B, C), newest first.
struct TModuleRanges {
    uint8_t Module = 0;
    std::vector<THistoryRange> Ranges;
};

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
    // A download of these ranges only, module after module. The download's first reply names
    // the box's newest slot: it places the history the box holds, which cuts the ranges that
    // reach past it, and its weekday gives the weekday byte of every later request. Progress
    // counts the slots asked for.
    void StartHistoryRanges(uint8_t resolution, std::vector<TModuleRanges> modules);
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
    // request names the download it was asked for; -1 marks a plain request. result is the
    // link library's answer to the request: a CAN time-out hands over an invalid reply too.
    void HandOver(uint8_t address, uint8_t object, uint8_t length, const uint8_t* data, bool valid,
                  int64_t generation = -1, int32_t result = Can_Result_Ok);
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
    // An inverter's power reply has been decoded (address 4, 8 or 12), with or without a value.
    std::function<void(TCANMessages*, uint8_t)> OnPower;

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
    int32_t ReplyResult = 0;

    uint8_t SampleModule = 0;
    uint8_t SampleResolution = 0;
    QDateTime SampleTime;
    int32_t SampleValue = 0;
    // The sample's period had not ended when the box answered: it is the module's newest slot,
    // or the box has not said which slot that is. Its value may still grow.
    bool SampleOpen = true;

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

    // A download of ranges: the plan, where it stands, and what the box has said of its slots.
    bool RangeDownload = false;
    std::vector<TModuleRanges> RangePlan;
    size_t RangeIndex = 0;
    QDateTime AskedTime;     // the pending request's newest slot; null for a request without time
    QDateTime ModuleNewest;  // the box's newest slot, from the current module's first reply
    QDateTime BoxNewest;     // the same from the download's first reply: it places the ranges
    QDate WeekdayDate;       // the date of the download's first reply, and the box's weekday for it
    int32_t WeekdayOfDate = 0;

private:
    // What every download starts with: a new generation, and a fresh monitor clock request.
    void BeginDownload(uint8_t resolution);
    void ContinueRanges();
    // Asks for the current range from that slot on, or for the box's newest slot when null.
    void AskRange(const QDateTime& from);
    // Moves on to the next range, module or the end of the download.
    void NextRange();
    // Cuts every range to the history a box holds whose newest slot is that one.
    void PlaceRanges(const QDateTime& newest);
    // The slots of a range from that slot down to its oldest, within the box's history.
    int64_t SlotsLeft(const THistoryRange& range, const QDateTime& from) const;
    // The slots of the ranges after the current one.
    int64_t LaterSlots() const;
    // The weekday byte of a request for that date, counted from the box's first reply.
    uint8_t BoxWeekday(const QDate& date) const;
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

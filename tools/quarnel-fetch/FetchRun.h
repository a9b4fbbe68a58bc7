// One quarnel-fetch run: the chosen boxes download their history side by side, each on its own
// channel and one resolution after the other, into the user database through SaveYield.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

class TAcquisition;
class TCANMessages;
class TConsole;
class TKestSessions;
class TUserData;

enum class TFetchState { Waiting, Running, Complete, Failed, Cancelled };

struct TResolutionResult {
    uint8_t Resolution = 0;
    TFetchState State = TFetchState::Waiting;
    int64_t Received = 0;   // samples with a value
    int64_t Written = 0;    // rows added or changed
    int64_t NotStored = 0;  // samples the database refused
    QString StoreError;     // the database's words for the last one it refused
};

struct TFetchBox {
    int32_t KestId = 0;
    QString Name;
    bool Total = false;
    bool A = false;
    bool B = false;
    bool C = false;
    std::vector<TResolutionResult> Results;
    size_t Current = 0;  // index into Results while running
    TFetchState State = TFetchState::Waiting;
    int Percent = 0;
    int LastLoggedQuarter = -1;
    qint64 ElapsedMs = 0;
    // What moved last, and when: a download that stands still too long has failed.
    int64_t ProgressMark = -1;
    qint64 ProgressAtMs = 0;
    // The store was lost while the current resolution downloaded: samples went unstored. The
    // resolution runs again once the store is back, asking only for what is missing.
    bool StoreWait = false;
    qint64 StoreLostAtMs = 0;

    bool HasModules() const { return Total || A || B || C; }
    int64_t Received() const;
};

// The boxes a run downloads: those named (by name, or by id when no name matches), else every
// on-line box, each with its present modules. False with a message for a name that matches none.
bool ChooseBoxes(TUserData& userData, const QStringList& names,
                 const std::vector<uint8_t>& resolutions, std::vector<TFetchBox>* boxes,
                 QString* message);

// The line a box shows while it downloads: in columns, the name padded to nameWidth, for the
// terminal's block; in one phrase when nameWidth is 0, for logs. Then the summary at the end.
QString ProgressLine(const TFetchBox& box, int nameWidth);
QStringList SummaryLines(const std::vector<TFetchBox>& boxes);

class TFetchRun {
public:
    TFetchRun(TUserData& userData, TKestSessions& sessions, TAcquisition& acquisition,
              TConsole& console, std::vector<TFetchBox> boxes, int requestDelay);
    ~TFetchRun();
    TFetchRun(const TFetchRun&) = delete;
    TFetchRun& operator=(const TFetchRun&) = delete;

    // Starts every box; OnFinished runs once the last one has ended.
    void Start();
    // Cancels the downloads as the Cancel button does: what was stored stays.
    void Cancel();
    // Cancels one box's download in the same way.
    void CancelBox(int32_t kestId);
    bool Finished() const;
    // Exit_Complete when every box was downloaded in full, else Exit_Box_Failed.
    int ExitCode() const;
    const std::vector<TFetchBox>& Boxes() const { return FetchBoxes; }

    std::function<void()> OnFinished;
    // A box has ended one resolution (called from the run's poll: the run must live on).
    std::function<void(const TFetchBox&)> OnResolutionEnded;
    // A download that has not moved for this long has failed (a box that answers the link but
    // whose monitor never answers the history requests).
    qint64 StallTimeoutMs = 60000;
    // Asks for the whole history the boxes hold, not only what the database lacks.
    bool Full = false;
    // Connects a box that has no session. Without, such a box fails at once: a caller that
    // keeps its own sessions never has the main thread wait for a box that does not answer.
    bool ConnectBoxes = true;
    // While the store is lost the run tries to connect again every StoreRetryMs, unless its
    // caller does that itself; a box that has waited StoreWaitMs for it fails (0: no limit).
    bool ReconnectStore = true;
    qint64 StoreWaitMs = 60000;
    qint64 StoreRetryMs = 5000;

private:
    void Poll();
    void StartResolution(TFetchBox& box);
    void EndBox(TFetchBox& box, TFetchState state);
    void ShowProgress(bool force);
    // A box whose resolution lost samples to a lost store: stops its download, waits for the
    // store, and runs the resolution again; fails the box when it has waited too long.
    void WaitForStore(TFetchBox& box, TCANMessages* channel);
    void TryStore();

    TUserData& UserData;
    TKestSessions& Sessions;
    TAcquisition& Acquisition;
    TConsole& Console;
    std::vector<TFetchBox> FetchBoxes;
    int RequestDelay;
    QTimer PollTimer;
    QElapsedTimer Clock;
    qint64 ShownAtMs = -1;
    bool Polling = false;
    bool Ended = false;
    qint64 NextStoreAttemptMs = 0;
    bool StoreLossShown = false;
};

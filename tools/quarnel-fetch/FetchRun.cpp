#include "FetchRun.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <algorithm>

#include "Acquisition.h"
#include "CANMessages.h"
#include "ConsoleView.h"
#include "FetchOptions.h"
#include "Sessions.h"
#include "dmUser.h"

namespace {

constexpr int Poll_Interval_Ms = 20;
constexpr qint64 Terminal_Refresh_Ms = 200;

QString Elapsed(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return seconds >= 3600
               ? QStringLiteral("%1:%2:%3")
                     .arg(seconds / 3600)
                     .arg(seconds / 60 % 60, 2, 10, QChar('0'))
                     .arg(seconds % 60, 2, 10, QChar('0'))
               : QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
}

QString StateText(TFetchState state) {
    switch (state) {
        case TFetchState::Waiting:
            return QStringLiteral("not downloaded");
        case TFetchState::Running:
            return QStringLiteral("downloading");
        case TFetchState::Complete:
            return QStringLiteral("complete");
        case TFetchState::Failed:
            return QStringLiteral("failed");
        case TFetchState::Cancelled:
            return QStringLiteral("cancelled");
    }
    return QString();
}

}  // namespace

int64_t TFetchBox::Received() const {
    int64_t total = 0;
    for (const TResolutionResult& result : Results) {
        total += result.Received;
    }
    return total;
}

bool ChooseBoxes(TUserData& userData, const QStringList& names,
                 const std::vector<uint8_t>& resolutions, std::vector<TFetchBox>* boxes,
                 QString* message) {
    struct TKest {
        int32_t Id;
        QString Name;
        bool Online;
    };
    std::vector<TKest> kests;
    QSqlQuery query(QSqlDatabase::database(userData.ConnectionName(), false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT kest_id, kest_name, kest_online FROM kests "
                                   "ORDER BY kest_id"))) {
        *message = QStringLiteral("The boxes could not be read from ") + userData.DatabasePath;
        return false;
    }
    while (query.next()) {
        kests.push_back(
            {query.value(0).toInt(), query.value(1).toString(), query.value(2).toInt() != 0});
    }

    std::vector<int32_t> chosen;
    auto choose = [&chosen](int32_t id) {
        if (std::find(chosen.begin(), chosen.end(), id) == chosen.end()) {
            chosen.push_back(id);
        }
    };
    if (names.isEmpty()) {
        for (const TKest& kest : kests) {
            if (kest.Online) {
                choose(kest.Id);
            }
        }
    }
    for (const QString& name : names) {
        bool matched = false;
        for (const TKest& kest : kests) {
            if (kest.Name == name) {
                choose(kest.Id);
                matched = true;
            }
        }
        bool isNumber = false;
        const int id = name.toInt(&isNumber);
        if (!matched && isNumber &&
            std::any_of(kests.begin(), kests.end(), [id](const TKest& k) { return k.Id == id; })) {
            choose(id);
            matched = true;
        }
        if (!matched) {
            *message = "No box is named '" + name + "' or has that id in " + userData.DatabasePath;
            return false;
        }
    }

    const std::vector<TModuleRow> modules = userData.AllModules();
    boxes->clear();
    for (int32_t id : chosen) {
        TFetchBox box;
        box.KestId = id;
        box.Name = std::find_if(kests.begin(), kests.end(), [id](const TKest& k) {
                       return k.Id == id;
                   })->Name;
        for (const TModuleRow& module : modules) {
            if (module.Kest != id || !module.IsPresent) {
                continue;
            }
            box.Total = box.Total || module.Type == Module_Type_Total;
            box.A = box.A || module.Type == Module_Type_A;
            box.B = box.B || module.Type == Module_Type_B;
            box.C = box.C || module.Type == Module_Type_C;
        }
        for (uint8_t resolution : resolutions) {
            TResolutionResult result;
            result.Resolution = resolution;
            box.Results.push_back(result);
        }
        boxes->push_back(box);
    }
    return true;
}

QString ProgressLine(const TFetchBox& box, int nameWidth) {
    QString what;
    if (box.State == TFetchState::Running && box.Current < box.Results.size()) {
        what = ResolutionText(box.Results[box.Current].Resolution) + ' ' +
               QString::number(box.Percent).rightJustified(3) + '%';
    } else {
        what = StateText(box.State);
    }
    if (nameWidth <= 0) {
        return box.Name + ": " + what.simplified() + ", " + QString::number(box.Received()) +
               " samples, " + Elapsed(box.ElapsedMs);
    }
    return box.Name.leftJustified(nameWidth) + "  " + what.leftJustified(16) + "  " +
           QString::number(box.Received()).rightJustified(7) + " samples  " +
           Elapsed(box.ElapsedMs);
}

QStringList SummaryLines(const std::vector<TFetchBox>& boxes) {
    QStringList lines;
    lines << QStringLiteral("Summary:");
    for (const TFetchBox& box : boxes) {
        if (!box.HasModules()) {
            lines << "  " + box.Name + ": no present module, nothing to download";
            continue;
        }
        for (const TResolutionResult& result : box.Results) {
            QString line = "  " + box.Name + ", " + ResolutionText(result.Resolution) + ": " +
                           StateText(result.State);
            if (result.State != TFetchState::Waiting) {
                line += ", " + QString::number(result.Received) + " samples received, " +
                        QString::number(result.Written) + " rows added or changed";
            }
            if (result.NotStored > 0) {
                line += ", " + QString::number(result.NotStored) + " not stored";
            }
            lines << line;
        }
    }
    return lines;
}

TFetchRun::TFetchRun(TUserData& userData, TKestSessions& sessions, TAcquisition& acquisition,
                     TConsole& console, std::vector<TFetchBox> boxes, int requestDelay)
    : UserData(userData),
      Sessions(sessions),
      Acquisition(acquisition),
      Console(console),
      FetchBoxes(std::move(boxes)),
      RequestDelay(requestDelay) {
    PollTimer.setObjectName(QStringLiteral("PollTimer"));
    PollTimer.setInterval(Poll_Interval_Ms);
    QObject::connect(&PollTimer, &QTimer::timeout, [this] { Poll(); });
}

TFetchRun::~TFetchRun() {
    // The channels outlive the run: while they are freed, a reply that was on its way still
    // brings its sample, which is stored without being counted.
    for (const auto& channel : Sessions.Channels) {
        channel->OnSample = [&data = UserData](TCANMessages* sender) { data.SaveYield(sender); };
    }
}

void TFetchRun::Start() {
    Clock.start();
    for (TFetchBox& box : FetchBoxes) {
        if (!box.HasModules() || box.Results.empty()) {
            box.State = TFetchState::Complete;
            continue;
        }
        StartResolution(box);
    }
    ShowProgress(true);
    PollTimer.start();
    Poll();
}

void TFetchRun::StartResolution(TFetchBox& box) {
    TResolutionResult& result = box.Results[box.Current];
    box.State = TFetchState::Running;
    result.State = TFetchState::Running;
    box.Percent = 0;
    box.LastLoggedQuarter = -1;
    box.ProgressMark = -1;
    box.ProgressAtMs = Clock.elapsed();
    // The first resolution connects the box, which holds the main thread, and with it the other
    // boxes' replies, until the box answers or the link gives up.
    box.StoreWait = false;
    if ((!ConnectBoxes && !Sessions.IsKestConnected(box.KestId)) ||
        Acquisition.RequestHistory(box.KestId, result.Resolution, box.Total, box.A, box.B, box.C,
                                   Full) < 0) {
        if (UserData.StoreLost() && Sessions.IsKestConnected(box.KestId)) {
            box.StoreWait = true;
            box.StoreLostAtMs = Clock.elapsed();
            return;
        }
        EndBox(box, TFetchState::Failed);
        return;
    }
    TCANMessages* channel = Sessions.ChannelOfKest(box.KestId);
    channel->RequestDelay = uint32_t(RequestDelay);
    const int32_t kestId = box.KestId;
    channel->OnSample = [this, kestId](TCANMessages* sender) {
        const bool hasValue = sender->SampleValue != No_Value;
        const TSaveResult saved = UserData.SaveYield(sender);
        for (TFetchBox& b : FetchBoxes) {
            if (b.KestId == kestId && b.Current < b.Results.size()) {
                if (saved == TSaveResult::Failed && UserData.StoreLost()) {
                    // Not counted as refused: the resolution runs again for it. The download
                    // stops in the next poll, not inside the channel's step.
                    if (!b.StoreWait) {
                        b.StoreWait = true;
                        b.StoreLostAtMs = Clock.elapsed();
                    }
                    continue;
                }
                TResolutionResult& result = b.Results[b.Current];
                result.Received += hasValue ? 1 : 0;
                result.Written += saved == TSaveResult::Written ? 1 : 0;
                result.NotStored += saved == TSaveResult::Failed ? 1 : 0;
                if (saved == TSaveResult::Failed && !UserData.LastSaveError.isEmpty()) {
                    result.StoreError = UserData.LastSaveError;
                }
            }
        }
    };
}

void TFetchRun::EndBox(TFetchBox& box, TFetchState state) {
    box.State = state;
    if (box.Current < box.Results.size() &&
        box.Results[box.Current].State == TFetchState::Running) {
        box.Results[box.Current].State = state;
    }
    box.ElapsedMs = Clock.elapsed();
    if (!Console.Terminal() && !Console.Quiet()) {
        Console.Line(ProgressLine(box, 0));
    }
}

void TFetchRun::Poll() {
    // Freeing a channel runs an event loop while its worker ends, and the timer fires in it.
    if (Polling) {
        return;
    }
    Polling = true;
    TryStore();
    for (TFetchBox& box : FetchBoxes) {
        if (box.State != TFetchState::Running) {
            continue;
        }
        box.ElapsedMs = Clock.elapsed();
        TCANMessages* channel = Sessions.ChannelOfKest(box.KestId);
        if (channel == nullptr) {
            EndBox(box, TFetchState::Failed);  // its worker has ended
            continue;
        }
        if (channel->LinkError.load()) {
            // The link is lost: its worker would retry without end.
            Sessions.DisconnectKest(box.KestId);
            EndBox(box, TFetchState::Failed);
            continue;
        }
        if (box.StoreWait) {
            WaitForStore(box, channel);
            continue;
        }
        TResolutionResult& result = box.Results[box.Current];
        if (!channel->Downloading) {
            // Samples the database refused are lost to this run: the box is not stored in full.
            result.State = result.NotStored > 0 ? TFetchState::Failed : TFetchState::Complete;
            if (result.NotStored > 0) {
                Console.Problem(
                    box.Name + ", " + ResolutionText(result.Resolution) + ": " +
                    QString::number(result.NotStored) + " samples could not be stored in " +
                    UserData.DatabasePath +
                    (result.StoreError.isEmpty() ? QString() : ": " + result.StoreError));
            }
            box.Percent = 100;
            if (!Console.Terminal() && !Console.Quiet()) {
                Console.Line(box.Name + ": " + ResolutionText(result.Resolution) + ' ' +
                             StateText(result.State) + ", " + QString::number(result.Received) +
                             " samples, " + QString::number(result.Written) +
                             " rows added or changed, " + Elapsed(box.ElapsedMs));
            }
            if (OnResolutionEnded) {
                OnResolutionEnded(box);
            }
            if (++box.Current < box.Results.size()) {
                StartResolution(box);
            } else {
                box.State = std::all_of(box.Results.begin(), box.Results.end(),
                                        [](const TResolutionResult& r) {
                                            return r.State == TFetchState::Complete;
                                        })
                                ? TFetchState::Complete
                                : TFetchState::Failed;
            }
            continue;
        }
        box.Percent = DownloadPercent(channel->BlocksRequested, channel->BlocksExpected);
        // Every reply moves the download on to its next block or module.
        const int64_t mark = int64_t(channel->ModuleIndex) << 16 | channel->BlocksDone;
        if (mark != box.ProgressMark) {
            box.ProgressMark = mark;
            box.ProgressAtMs = box.ElapsedMs;
        } else if (box.ElapsedMs - box.ProgressAtMs > StallTimeoutMs) {
            Sessions.DisconnectKest(box.KestId);
            EndBox(box, TFetchState::Failed);
            continue;
        }
        const int quarter = box.Percent / 25;
        if (!Console.Terminal() && !Console.Quiet() && quarter != box.LastLoggedQuarter) {
            box.LastLoggedQuarter = quarter;
            Console.Line(ProgressLine(box, 0));
        }
    }
    Polling = false;
    ShowProgress(false);
    if (Finished() && !Ended) {
        Ended = true;
        PollTimer.stop();
        ShowProgress(true);
        if (OnFinished) {
            OnFinished();
        }
    }
}

void TFetchRun::TryStore() {
    // A caller that connects the store again itself also tells the loss itself.
    if (!ReconnectStore || !UserData.StoreLost() ||
        std::none_of(FetchBoxes.begin(), FetchBoxes.end(),
                     [](const TFetchBox& box) { return box.StoreWait; })) {
        return;
    }
    if (!StoreLossShown) {
        StoreLossShown = true;
        Console.Problem("The database " + UserData.DatabasePath +
                        " cannot be reached: " + UserData.LostReason() + "; trying again every " +
                        QString::number(StoreRetryMs / 1000) + " s");
    }
    if (Clock.elapsed() < NextStoreAttemptMs) {
        return;
    }
    NextStoreAttemptMs = Clock.elapsed() + StoreRetryMs;
    QString error;
    if (UserData.Reconnect(&error)) {
        StoreLossShown = false;
        Console.Problem("The database " + UserData.DatabasePath +
                        " is reachable again; the downloads go on");
    }
}

void TFetchRun::WaitForStore(TFetchBox& box, TCANMessages* channel) {
    if (channel->Downloading) {
        channel->CancelHistory();
    }
    if (!UserData.StoreLost()) {
        StartResolution(box);
        return;
    }
    box.ProgressAtMs = box.ElapsedMs;
    if (StoreWaitMs > 0 && box.ElapsedMs - box.StoreLostAtMs > StoreWaitMs) {
        TResolutionResult& result = box.Results[box.Current];
        result.StoreError = UserData.LostReason();
        Console.Problem(box.Name + ", " + ResolutionText(result.Resolution) + ": the database " +
                        UserData.DatabasePath + " could not be reached for " +
                        QString::number(StoreWaitMs / 1000) + " s: " + result.StoreError);
        EndBox(box, TFetchState::Failed);
    }
}

void TFetchRun::ShowProgress(bool force) {
    if (!Console.Terminal() || Console.Quiet()) {
        return;
    }
    const qint64 now = Clock.elapsed();
    if (!force && ShownAtMs >= 0 && now - ShownAtMs < Terminal_Refresh_Ms) {
        return;
    }
    ShownAtMs = now;
    int width = 0;
    for (const TFetchBox& box : FetchBoxes) {
        width = std::max(width, int(box.Name.size()));
    }
    QStringList lines;
    for (const TFetchBox& box : FetchBoxes) {
        lines << ProgressLine(box, std::min(width, 24));
    }
    Console.ShowProgress(lines);
}

void TFetchRun::Cancel() {
    Acquisition.CancelDownloads();
    for (TFetchBox& box : FetchBoxes) {
        if (box.State == TFetchState::Running) {
            EndBox(box, TFetchState::Cancelled);
        }
    }
    Poll();
}

void TFetchRun::CancelBox(int32_t kestId) {
    for (TFetchBox& box : FetchBoxes) {
        if (box.KestId != kestId ||
            (box.State != TFetchState::Running && box.State != TFetchState::Waiting)) {
            continue;
        }
        if (TCANMessages* channel =
                Sessions.IsKestConnected(kestId) ? Sessions.ChannelOfKest(kestId) : nullptr;
            channel != nullptr && channel->Downloading) {
            channel->CancelHistory();
        }
        EndBox(box, TFetchState::Cancelled);
    }
    Poll();
}

bool TFetchRun::Finished() const {
    return std::none_of(FetchBoxes.begin(), FetchBoxes.end(), [](const TFetchBox& box) {
        return box.State == TFetchState::Running || box.State == TFetchState::Waiting;
    });
}

int TFetchRun::ExitCode() const {
    return std::all_of(FetchBoxes.begin(), FetchBoxes.end(),
                       [](const TFetchBox& box) { return box.State == TFetchState::Complete; })
               ? Exit_Complete
               : Exit_Box_Failed;
}

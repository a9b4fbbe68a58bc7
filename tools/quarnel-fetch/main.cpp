// quarnel-fetch: the boxes' yield history into the user database, without the window; or, with
// --coverage, what the database holds and what it misses.
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLockFile>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <cstdio>

#include "Acquisition.h"
#include "BoxLock.h"
#include "ConsoleView.h"
#include "CoverageReport.h"
#include "DriverWarnings.h"
#include "FetchOptions.h"
#include "FetchRun.h"
#include "MessageFrm.h"
#include "Sessions.h"
#include "StopSignals.h"
#include "dmUser.h"

namespace {

QString DataFolderOf(const TFetchOptions& options) {
    return DataFolderFrom(
        options.DataDir.isEmpty() ? qEnvironmentVariable("QUARNEL_DATA_DIR") : options.DataDir,
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
        QCoreApplication::applicationDirPath());
}

int Report(TUserData& data, TConsole& console, const TFetchOptions& options,
           const std::vector<TFetchBox>& boxes) {
    // Without names the report covers every box, on line or not.
    std::vector<int32_t> kests;
    for (const TFetchBox& box : boxes) {
        if (!options.Boxes.isEmpty()) {
            kests.push_back(box.KestId);
        }
    }
    std::vector<TCoverage> coverage;
    QString error;
    if (!ReadCoverage(data.ConnectionName(), kests, options.Resolutions, &coverage, &error)) {
        console.Problem(error);
        return Exit_Usage;
    }
    for (const QString& line : CoverageLines(coverage, TMsgForm())) {
        console.Line(line);
    }
    return Exit_Complete;
}

// On a shared store: the boxes whose lock this run holds now stay in boxes; each other one gets a
// line and is left out. False when a box was left out.
bool TakeBoxLocks(TBoxLocks& locks, TUserData& data, TConsole& console,
                  std::vector<TFetchBox>* boxes) {
    std::vector<TFetchBox> taken;
    for (TFetchBox& box : *boxes) {
        QString error;
        switch (locks.Take(box.KestId, &error)) {
            case TLockResult::Taken:
                taken.push_back(std::move(box));
                continue;
            case TLockResult::Held: {
                const QString holder = locks.Holder(box.KestId);
                console.Problem(box.Name + ": " +
                                (holder.isEmpty() ? QStringLiteral("another program") : holder) +
                                " is downloading it into " + data.DatabasePath + "; skipped.");
                continue;
            }
            case TLockResult::Failed:
                console.Problem(box.Name + ": its box lock cannot be asked for in " +
                                data.DatabasePath + " (" + error + "); skipped.");
                continue;
        }
    }
    const bool all = taken.size() == boxes->size();
    *boxes = std::move(taken);
    return all;
}

int Fetch(TUserData& data, TConsoleView& view, TConsole& console, const TFetchOptions& options,
          const QString& folder, std::vector<TFetchBox> boxes) {
    // Two runs would download the same history twice over the same boxes' few sessions. On a
    // shared store each box has a lock of its own, which the services and desktops of the
    // store take too, and a box another program downloads is skipped; the locks go with the
    // run.
    TBoxLocks locks(data);
    bool everyBox = true;
    if (locks.Shared()) {
        everyBox = TakeBoxLocks(locks, data, console, &boxes);
        if (boxes.empty()) {
            return Exit_Box_Failed;
        }
    }
    QLockFile lock(folder + QStringLiteral("quarnel-fetch.lock"));
    lock.setStaleLockTime(0);  // only a lock whose process has gone is stale
    if (!locks.Shared() && !lock.tryLock(0)) {
        qint64 pid = 0;
        QString host, application;
        lock.getLockInfo(&pid, &host, &application);
        console.Problem(lock.error() == QLockFile::LockFailedError
                            ? "Another quarnel-fetch (process " + QString::number(pid) +
                                  ") is downloading into " + data.DatabasePath + "; not started."
                            : "The lock file in " + folder + " cannot be made; not started.");
        return Exit_Box_Failed;
    }

    const TMsgForm texts;
    TKestSessions sessions(data, view, texts);
    view.Sessions = &sessions;
    sessions.InitSessions();
    if (view.QuitRequested) {
        return Exit_Usage;
    }
    TAcquisition acquisition(sessions, data);
    TFetchRun run(data, sessions, acquisition, console, std::move(boxes), options.RequestDelay);
    run.Full = options.Full;
    run.OnFinished = [] { QCoreApplication::quit(); };
    // The box locks go with a lost connection: after a reconnect a box whose lock another
    // program took meanwhile is left to it.
    data.OnReconnected = [&] {
        for (const int32_t kestId : locks.TakeAgain()) {
            for (const TFetchBox& box : run.Boxes()) {
                if (box.KestId == kestId) {
                    console.Problem(box.Name +
                                    ": another program took its box lock while the database was "
                                    "away; its download stops.");
                }
            }
            run.CancelBox(kestId);
        }
    };

    QSocketNotifier interrupts(tools::stop_signal_fd(), QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, [&run, &console] {
        tools::take_stop_signal();
        if (!run.Finished()) {
            console.Problem(QStringLiteral(
                "Interrupted: the downloads are cancelled (once more ends at once)."));
            run.Cancel();
        }
    });

    run.Start();
    if (!run.Finished()) {
        QCoreApplication::exec();
    }
    // Every worker is asked to stop at once; what was stored is committed already.
    sessions.StopAllChannels();
    const int exitCode = everyBox ? run.ExitCode() : Exit_Box_Failed;
    const QStringList summary = SummaryLines(run.Boxes());
    for (const QString& line : summary) {
        console.Line(line);
    }
    view.Sessions = nullptr;
    data.OnReconnected = nullptr;
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quarnel-fetch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUARNEL_VERSION));
    // The developers' lines stay off unless QT_LOGGING_RULES asks for them.
    QLoggingCategory::setFilterRules(QStringLiteral("quarnel.debug.debug=false"));
    tools::drop_lost_statement_warnings();

    TFetchOptions options;
    QString message;
    switch (ParseFetchOptions(QCoreApplication::arguments(), &options, &message)) {
        case TParseResult::Help:
            std::fputs(FetchUsage().toLocal8Bit().constData(), stdout);
            return Exit_Complete;
        case TParseResult::Version:
            std::printf("quarnel-fetch %s\n", QUARNEL_VERSION);
            return Exit_Complete;
        case TParseResult::Error:
            std::fprintf(stderr, "quarnel-fetch: %s\nTry quarnel-fetch --help.\n",
                         message.toLocal8Bit().constData());
            return Exit_Usage;
        case TParseResult::Run:
            break;
    }
    if (!tools::catch_stop_signals()) {
        std::perror("quarnel-fetch: signals");
        return Exit_Usage;
    }

    TConsole console(isatty(STDOUT_FILENO) != 0, options.Quiet);
    const QString folder = DataFolderOf(options);
    TStore store;
    if (!ChooseStore(folder, &store, &message)) {
        console.Problem(message);
        return Exit_Usage;
    }
    if (!store.IsPostgreSQL() && !QFileInfo::exists(store.Path)) {
        console.Problem(MissingFileMessage(store.Path));
        return Exit_Usage;
    }
    TConsoleView view(console);
    TUserData data(view, store);
    if (!data.IsOpen()) {
        return Exit_Usage;  // the reason is shown already
    }
    std::vector<TFetchBox> boxes;
    if (!ChooseBoxes(data, options.Boxes, options.Resolutions, &boxes, &message)) {
        console.Problem(message);
        return Exit_Usage;
    }
    return options.Coverage ? Report(data, console, options, boxes)
                            : Fetch(data, view, console, options, folder, std::move(boxes));
}

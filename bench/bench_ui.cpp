// The program as a user meets it: how long the start takes to a shown main window, how long a
// change of language takes against the bare lookups it makes, how long the main thread's event
// loop is kept busy at a stretch while two boxes are polled live, and the resident memory after
// a minute of that.
//
// usage: bench_ui [POLL_SECONDS]   (default 30; the memory is read at twice that)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "bench/BenchBoxes.h"
#include "bench/BenchInstall.h"
#include "monitor/data/Sessions.h"
#include "monitor/data/dmUser.h"
#include "monitor/ui/Quarnel.h"
#include "monitor/ui/frmMain.h"

#ifndef KESTEMU_PROGRAM
#error KESTEMU_PROGRAM must name the emulator
#endif
#ifndef QUARNEL_PROGRAM
#error QUARNEL_PROGRAM must name the program
#endif

namespace {

constexpr int Start_Rounds = 5;

// Milliseconds from the start of the program to its main window being shown, over a few runs.
double StartUpTime(const QString& folder) {
    std::vector<double> times;
    for (int round = 0; round < Start_Rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        bench::Child program;
        setenv("QUARNEL_DATA_DIR", folder.toLocal8Bit().constData(), 1);
        setenv("QT_LOGGING_RULES", "quarnel.debug.debug=true", 1);
        if (!program.Start({QUARNEL_PROGRAM}, true) ||
            program.WaitForLine("Main window shown").empty()) {
            return -1;
        }
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    return bench::median(times);
}

// Milliseconds for a change of language through the navigation (every window translated, the
// choice stored), alternating Dutch and English, median of a few rounds.
double LanguageSwitchTime(TMainForm& main) {
    std::vector<double> times;
    for (int round = 0; round < 2 * Start_Rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        main.ClickMenuNode(round % 2 == 0 ? Node_Dutch : Node_English);
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    return bench::median(times);
}

// The baseline: one keyed query per row of the language table, as the translator makes them,
// with no window; median of a few rounds. *keys receives the number of rows.
double BareLookupTime(const QString& path, int* keys) {
    double result = -1;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bare"));
        db.setDatabaseName(path);
        if (db.open()) {
            QStringList all;
            QSqlQuery list(db);
            list.exec(QStringLiteral("SELECT Key FROM Languages"));
            while (list.next()) {
                all << list.value(0).toString();
            }
            *keys = int(all.size());
            std::vector<double> times;
            for (int round = 0; round < 2 * Start_Rounds; ++round) {
                QElapsedTimer clock;
                clock.start();
                for (const QString& key : all) {
                    QSqlQuery lookup(db);
                    lookup.prepare(QStringLiteral("SELECT * FROM Languages WHERE Key = ? LIMIT 1"));
                    lookup.addBindValue(key);
                    lookup.exec();
                    lookup.next();
                }
                times.push_back(double(clock.nsecsElapsed()) / 1e6);
            }
            result = bench::median(times);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bare"));
    return result;
}

long ResidentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

// The longest gap between two turns of the main thread's event loop, seen by a timer that asks
// for a turn every few milliseconds: whatever keeps the loop busy delays its next tick.
class LoopGaps : public QObject {
public:
    LoopGaps() {
        Probe.setTimerType(Qt::PreciseTimer);
        Probe.setInterval(Probe_Period);
        connect(&Probe, &QTimer::timeout, this, [this] {
            if (Clock.isValid()) {
                Longest = std::max(Longest, double(Clock.nsecsElapsed()) / 1e6);
                ++Count;
            }
            Clock.start();
        });
        Probe.start();
    }
    static constexpr int Probe_Period = 5;  // ms
    double Longest = 0;
    long Count = 0;

private:
    QTimer Probe;
    QElapsedTimer Clock;
};

// Runs the event loop as the program does, blocking whenever there is nothing to do.
void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int pollSeconds = 30;
    if (argc > 1 && !bench::parse_count(argv[1], &pollSeconds)) {
        std::fprintf(stderr, "usage: bench_ui [POLL_SECONDS]\n");
        return 2;
    }
    QTemporaryDir folder;
    if (!folder.isValid() || !bench::install_data_folder("bench_ui", folder.path())) {
        std::fprintf(stderr, "bench_ui: install step failed\n");
        return 1;
    }
    const double startMs = StartUpTime(folder.path());

    bench::Child box1;
    bench::Child box2;
    const int port1 = bench::StartBox(box1, 1);
    const int port2 = bench::StartBox(box2, 2);
    if (port1 == 0 || port2 == 0 ||
        !bench::AddBoxes(folder.path() + QStringLiteral("/KestUser.sqlite"), {port1, port2},
                         true)) {
        std::fprintf(stderr, "bench_ui: no emulated boxes\n");
        return 1;
    }

    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("quarnel.debug.debug=false"));
    qputenv("QUARNEL_DATA_DIR", folder.path().toLocal8Bit());
    const long baseKiB = ResidentKiB();
    TQuarnelWindows windows;
    if (windows.MainForm->QuitRequested()) {
        std::fprintf(stderr, "bench_ui: the program did not start\n");
        return 1;
    }
    TMainForm& main = *windows.MainForm;
    main.show();
    const double switchMs = LanguageSwitchTime(main);
    int keys = 0;
    const double bareMs = BareLookupTime(folder.path() + QStringLiteral("/language.sqlite"), &keys);
    main.ClickMenuNode(Node_Current);
    // The first scan tick connects both boxes, which blocks by design; the measure starts after.
    QElapsedTimer connecting;
    connecting.start();
    auto connected = [&] {
        int n = 0;
        for (int kest = 1; kest <= 2; ++kest) {
            n += main.Sessions()->IsKestConnected(kest) ? 1 : 0;
        }
        return n;
    };
    while (connected() < 2 && connecting.elapsed() < 20000) {
        RunFor(50);
    }
    if (connected() < 2) {
        std::fprintf(stderr, "bench_ui: the boxes were not connected\n");
        return 1;
    }
    RunFor(3000);  // a few scans and redraws before the measure

    auto gaps = std::make_unique<LoopGaps>();
    RunFor(pollSeconds * 1000);
    const double longest = gaps->Longest;
    const long iterations = gaps->Count;
    gaps.reset();
    RunFor(pollSeconds * 1000);
    const long residentKiB = ResidentKiB();

    std::printf("bench_ui: the program as a user meets it\n");
    std::printf("  start-up to a shown main window: %.1f ms (median of %d runs of the program)\n",
                startMs, Start_Rounds);
    std::printf(
        "  change of language, every window translated: %.2f ms, %.2fx the %.2f ms of %d bare "
        "keyed lookups\n",
        switchMs, bareMs > 0 ? switchMs / bareMs : 0.0, bareMs, keys);
    std::printf(
        "  live polling of 2 boxes x 4 modules for %d s: longest gap between two turns of the "
        "main thread's event loop %.2f ms (a %d ms probe timer, %ld ticks; target <= 50 ms: "
        "%s)\n",
        pollSeconds, longest, LoopGaps::Probe_Period, iterations, longest <= 50 ? "met" : "missed");
    std::printf(
        "  resident memory after %d s of live polling: %.1f MiB (%.1f MiB before the "
        "windows, emulators in their own processes)\n",
        2 * pollSeconds, double(residentKiB) / 1024, double(baseKiB) / 1024);
    return 0;
}

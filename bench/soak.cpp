// The soak: the program's windows polling the inverters of 16 emulated boxes live for a long
// time, with a history download every five minutes (scaled down for shorter runs), and what that
// does to the process over time: resident memory, threads, file descriptors and CPU, a table
// every 10 s and verdicts at the end. Built with LeakSanitizer (scripts/soak.sh), the exit also
// tells whether anything leaked.
//
// usage: soak [MINUTES]   (default 3; the full run is 30)
// Exit 0 when every verdict holds, 1 when one does not, 2 when the run could not be set up.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "bench/BenchBoxes.h"
#include "bench/BenchInstall.h"
#include "monitor/can/CANMessages.h"
#include "monitor/data/Acquisition.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/Quarnel.h"
#include "monitor/ui/frmMain.h"

#ifndef KESTEMU_PROGRAM
#error KESTEMU_PROGRAM must name the emulator
#endif

namespace {

constexpr int Boxes = 16;
constexpr int Sample_Seconds = 10;
constexpr int Full_Run_Minutes = 30;
constexpr int Full_Download_Interval_S = 300;
constexpr int Downloads_Boxes = 4;         // boxes in one download, in turn
constexpr double Memory_Tolerance = 0.05;  // flat after warm-up
// The benchmarks' targets: bench_ui's longest gap between two turns of the event loop while
// two boxes are polled live, and bench_channel's CPU share of connected channels with nothing
// to do. The benchmarks set no CPU share for live polling; the soak's own ceiling for 16 boxes
// is Polling_Cpu_Ceiling.
constexpr double Loop_Gap_Target_Ms = 50;
constexpr double Idle_Cpu_Target = 0.01;
constexpr double Polling_Cpu_Ceiling = 0.10;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

long StatusValue(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return count - 1;  // the folder's own descriptor
}

struct Sample {
    double Seconds = 0;
    long RssKiB = 0;
    long Threads = 0;
    int Fds = 0;
    double CpuShare = 0;  // of one core, over the interval before
};

// The longest gap between two turns of the main thread's event loop, seen by a 5 ms timer.
class LoopGaps : public QObject {
public:
    LoopGaps() {
        Probe.setObjectName(QStringLiteral("SoakLoopProbe"));
        Probe.setTimerType(Qt::PreciseTimer);
        Probe.setInterval(5);
        connect(&Probe, &QTimer::timeout, this, [this] {
            if (Clock.isValid()) {
                Longest = std::max(Longest, double(Clock.nsecsElapsed()) / 1e6);
            }
            Clock.start();
        });
        Probe.start();
    }
    double Longest = 0;

private:
    QTimer Probe;
    QElapsedTimer Clock;
};

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int ConnectedBoxes(TMainForm& main) {
    int n = 0;
    for (int kest = 1; kest <= Boxes; ++kest) {
        n += main.Sessions()->IsKestConnected(kest) ? 1 : 0;
    }
    return n;
}

const char* Verdict(bool holds) {
    return holds ? "holds" : "FAILS";
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int minutes = 3;
    if (argc > 1 && !bench::parse_count(argv[1], &minutes)) {
        std::fprintf(stderr, "usage: soak [MINUTES]\n");
        return 2;
    }
    QTemporaryDir folder;
    if (!folder.isValid() || !bench::install_data_folder("soak", folder.path())) {
        return 2;
    }
    std::vector<std::unique_ptr<bench::Child>> boxes;
    std::vector<int> ports;
    for (int i = 0; i < Boxes; ++i) {
        boxes.push_back(std::make_unique<bench::Child>());
        ports.push_back(bench::StartBox(*boxes.back(), i + 1));
        if (ports.back() == 0) {
            std::fprintf(stderr, "soak: emulated box %d did not start\n", i + 1);
            return 2;
        }
    }
    if (!bench::AddBoxes(folder.path() + QStringLiteral("/KestUser.sqlite"), ports, false)) {
        std::fprintf(stderr, "soak: the boxes were not added\n");
        return 2;
    }

    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("quarnel.debug.debug=false"));
    qputenv("QUARNEL_DATA_DIR", folder.path().toLocal8Bit());
    bool ok = true;
    {
        TQuarnelWindows windows;
        if (windows.MainForm->QuitRequested()) {
            std::fprintf(stderr, "soak: the program did not start\n");
            return 2;
        }
        TMainForm& main = *windows.MainForm;
        main.show();
        main.ClickMenuNode(Node_Current);
        QElapsedTimer connecting;
        connecting.start();
        while (ConnectedBoxes(main) < Boxes && connecting.elapsed() < 60000) {
            RunFor(100);
        }
        if (ConnectedBoxes(main) < Boxes) {
            std::fprintf(stderr, "soak: %d of %d boxes connected\n", ConnectedBoxes(main), Boxes);
            return 2;
        }

        // The downloads: a year of days of the totals of a few boxes in turn, at the channel's
        // usual pause, while the live view goes on polling. One takes about 30 s; shorter runs keep
        // a minute between downloads so that they do not pile up.
        const int downloadMs =
            std::max(60, Full_Download_Interval_S * minutes / Full_Run_Minutes) * 1000;
        int downloads = 0;
        int nextKest = 1;
        QTimer downloadTimer;
        downloadTimer.setObjectName(QStringLiteral("SoakDownloadTimer"));
        QObject::connect(&downloadTimer, &QTimer::timeout, [&] {
            for (int i = 0; i < Downloads_Boxes; ++i) {
                main.Acquisition()->RequestHistory(nextKest, Res_Day, true, false, false, false);
                nextKest = nextKest % Boxes + 1;
            }
            ++downloads;
        });
        downloadTimer.start(downloadMs);

        std::printf(
            "soak: %d boxes, %d inverters polled live, a day download of the totals of %d boxes "
            "every "
            "%d s, %d min\n",
            Boxes, 3 * Boxes, Downloads_Boxes, downloadMs / 1000, minutes);
        std::printf("%8s %10s %8s %6s %8s\n", "time s", "RSS MiB", "threads", "fds", "CPU %");
        std::vector<Sample> samples;
        QElapsedTimer clock;
        clock.start();
        double lastCpu = CpuSeconds();
        double lastWall = 0;
        const double pollingCpuStart = lastCpu;
        auto gaps = std::make_unique<LoopGaps>();
        const int rounds = minutes * 60 / Sample_Seconds;
        for (int round = 1; round <= rounds; ++round) {
            RunFor(int(round * Sample_Seconds * 1000 - clock.elapsed()));
            Sample s;
            s.Seconds = double(clock.elapsed()) / 1000;
            const double cpu = CpuSeconds();
            s.CpuShare = (cpu - lastCpu) / (s.Seconds - lastWall);
            lastCpu = cpu;
            lastWall = s.Seconds;
            s.RssKiB = StatusValue("VmRSS:");
            s.Threads = StatusValue("Threads:");
            s.Fds = OpenDescriptors();
            samples.push_back(s);
            std::printf("%8.0f %10.1f %8ld %6d %8.2f\n", s.Seconds, double(s.RssKiB) / 1024,
                        s.Threads, s.Fds, s.CpuShare * 100);
            std::fflush(stdout);
        }
        downloadTimer.stop();
        const double pollingShare = (CpuSeconds() - pollingCpuStart) / (clock.elapsed() / 1000.0);
        const double longestGap = gaps->Longest;
        gaps.reset();

        // Idle: the live view left, the boxes still connected; wait out the last download.
        main.ClickMenuNode(Node_Inverters);
        QElapsedTimer draining;
        draining.start();
        auto downloading = [&main] {
            for (const auto& channel : main.Sessions()->Channels) {
                if (channel->Downloading) {
                    return true;
                }
            }
            return false;
        };
        while (downloading() && draining.elapsed() < 120000) {
            RunFor(200);
        }
        RunFor(2000);
        const int idleMs = std::max(10, minutes * 60 / 10) * 1000;
        const double idleCpu = CpuSeconds();
        QElapsedTimer idleClock;
        idleClock.start();
        RunFor(idleMs);
        const double idleShare = (CpuSeconds() - idleCpu) / (idleClock.elapsed() / 1000.0);
        const int idleBoxes = ConnectedBoxes(main);

        // Verdicts over the samples after the warm-up, the first third.
        const size_t warm = samples.size() / 3;
        if (samples.size() < 3) {
            std::fprintf(stderr, "soak: too short for verdicts\n");
            return 2;
        }
        const Sample& first = samples[warm];
        const Sample& last = samples.back();
        long highest = 0;
        for (size_t i = warm; i < samples.size(); ++i) {
            highest = std::max(highest, samples[i].RssKiB);
        }
        // Qt's thread pool lets an idle thread go after 30 s and makes it again on demand, with
        // its wake-up descriptor: growth is what goes beyond the most seen during the warm-up.
        long warmThreads = 0;
        int warmFds = 0;
        for (size_t i = 0; i <= warm; ++i) {
            warmThreads = std::max(warmThreads, samples[i].Threads);
            warmFds = std::max(warmFds, samples[i].Fds);
        }
        const double growth = double(highest - first.RssKiB) / double(first.RssKiB);
        const bool memoryFlat = growth <= Memory_Tolerance;
        const bool threadsFlat = last.Threads <= warmThreads;
        const bool fdsFlat = last.Fds <= warmFds;

        const bool pollingMet = pollingShare <= Polling_Cpu_Ceiling;
        const bool idleMet = idleShare < Idle_Cpu_Target;
        std::printf("downloads started: %d\n", downloads);
        std::printf(
            "memory after warm-up (%.0f s): %.1f MiB, highest since %.1f MiB, growth "
            "%+.2f %% (within %.0f %%: %s)\n",
            first.Seconds, double(first.RssKiB) / 1024, double(highest) / 1024, growth * 100,
            Memory_Tolerance * 100, Verdict(memoryFlat));
        std::printf(
            "threads: %ld after warm-up (at most %ld in it), %ld at the end (no growth: "
            "%s)\n",
            first.Threads, warmThreads, last.Threads, Verdict(threadsFlat));
        std::printf(
            "file descriptors: %d after warm-up (at most %d in it), %d at the end (no "
            "growth: %s)\n",
            first.Fds, warmFds, last.Fds, Verdict(fdsFlat));
        std::printf(
            "CPU while polling 16 boxes with downloads: %.2f %% of one core (the soak's "
            "ceiling %.0f %%: %s)\n",
            pollingShare * 100, Polling_Cpu_Ceiling * 100, Verdict(pollingMet));
        std::printf(
            "longest gap between two turns of the event loop while polling: %.1f ms (for the "
            "record: bench_ui's target of %.0f ms is for two boxes)\n",
            longestGap, Loop_Gap_Target_Ms);
        std::printf(
            "CPU idle, %d boxes connected, nothing polled, for %d s: %.3f %% of one core "
            "(bench_channel's idle target below %.0f %%: %s)\n",
            idleBoxes, idleMs / 1000, idleShare * 100, Idle_Cpu_Target * 100, Verdict(idleMet));
        ok = memoryFlat && threadsFlat && fdsFlat && pollingMet && idleMet && idleBoxes == Boxes;
    }
    boxes.clear();
    std::printf("soak: %s (a leak report, if any, follows at exit and makes the exit non-zero)\n",
                ok ? "every verdict holds" : "a verdict fails");
    std::fflush(stdout);
    return ok ? 0 : 1;
}

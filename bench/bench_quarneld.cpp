// quarneld, the program itself, against 16 emulated boxes in this process and a mosquitto broker
// of its own, with the box's 80 ms pause after every request and live power every 2 s. Once every
// box has its power out and its first history download done (about 4.5 minutes: even for a box
// installed today the first download asks for every period the box keeps, some 2960 requests),
// two windows of BENCH_QUARNELD_SECONDS (60 by default):
//
// 1. All boxes answering. The delay from the box's reply to a power request to that inverter's
//    power message at a subscriber on '#' (the box notes when it wrote each reply; a message is
//    matched to the newest power reply of its inverter before it), the service's CPU over the
//    window in per cent of one core, its resident memory at the window's start and end, and the
//    poll intervals from the subscriber's total power messages of each box.
// 2. The same, the last box silent from the window's start: it keeps its connections and takes
//    every frame but answers none, so the service's requests to it time out and its logins hang.
//    The other boxes' poll intervals must not suffer: no gap above two intervals.
//
// With --scale (or BENCH_QUARNELD_SCALE=1) it measures instead what a box costs the service, at
// 64, 128 and 256 boxes (BENCH_QUARNELD_SCALE_SIZES, e.g. "64,256"), live power every 10 s,
// history every 15 minutes, the 80 ms pause. A first download of every box would take minutes
// of SQLite writes on the service's main thread and is not what a plant that has run for a while
// sees, so the history is made once: one box's full first download with no pause, whose samples
// and history_reach rows are copied by SQL to every module of the same type in each size's
// database. All boxes share the emulator's seed, clock and installation date, so that copy is
// their history, and the service's downloads at its start are incremental (a few requests per
// box). Then the service with no box at all, 20 s: its resident memory is the baseline. Then per
// size a fresh data folder and the service's launch, and a window of
// BENCH_QUARNELD_SCALE_SECONDS (240 by default) from that launch, which holds the connects, the
// first incremental downloads and the steady part after them:
//
// - the service's CPU (utime + stime of /proc/PID/stat) over the window and over the steady part
//   (from one interval after every box was polled and every first download ended), in per cent
//   of one core, in all and per box;
// - its resident memory at the window's end, and the growth over the baseline per box;
// - late polls from the emulated boxes' frame logs: a box's interval between two replies to the
//   power request of inverter A over 1.5 intervals, or no reply for that long before the
//   window's end;
// - the publish rate at a subscriber on '#' in the steady part;
// - 20 GETs of /metrics spread over the window (the config's [metrics] port; a service without
//   the endpoint is shown as "no endpoint"), median and longest;
// - its open files, beside the default soft limit of 1024: the service gets the open-file limit
//   the bench was started with, while the bench raises its own for the emulated boxes.
//
// The emulated boxes run in the bench's process on their own threads; the bench's own CPU is
// printed beside the service's. Each size prints its figures, and the end a table of them, also
// as markdown.
//
// With --shared (needs a PostgreSQL server, scripts/with-postgresql.sh) it measures what two
// services writing into one PostgreSQL store do against one: a fresh database with 128 boxes
// (BENCH_QUARNELD_SHARED_BOXES) and one service keeping them, then a fresh database with twice
// as many and two services, each with half of them in its [service] boxes. Every box makes its
// first full download with the 80 ms pause; the window runs from the launch until every box's
// download has ended (at most BENCH_QUARNELD_SHARED_SECONDS, 600 by default). Figures: the
// samples stored per second over the window and over its second half, in all and per service,
// the window's length, and two services' rate against one's.
//
// A figure that misses its target is printed as such; the exit code is non-zero only when the
// run itself could not be made. BENCH_QUARNELD_LOG names a file to keep the service's output in
// (in the scale run, of the last size).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchInstall.h"
#include "bench/BenchServer.h"
#include "bench/BenchSupport.h"
#include "monitor/can/CanObjects.h"
#include "monitor/data/Store.h"
#include "tests/quarneld/Broker.h"
#include "tools/kestemu/Emulator.h"

#ifndef QUARNELD_PROGRAM
#error QUARNELD_PROGRAM must name the service
#endif

namespace {

using quarneldtest::TBroker;
using quarneldtest::TSubscriber;

constexpr int Box_Count = 16;
constexpr int Live_Interval_S = 2;
constexpr int Request_Delay_Ms = 80;
constexpr int Default_Window_S = 60;
constexpr int Ready_Timeout_S = 300;
constexpr double Delay_Target_Ms = 20;
constexpr double Cpu_Target_Percent = 2;
constexpr long Flat_Rss_Kb = 1024;
constexpr int64_t Clock_Lag_Ns = 5000000;
constexpr int64_t Late_Gap_Ns = int64_t(2) * Live_Interval_S * 1000000000;
const char* const Box_Clock = "2024-06-20 12:00";
const char* const Installed = "2024-06-20";

const std::pair<uint8_t, const char*> Inverter_Topics[] = {
    {Addr_Inverter_A, "a"}, {Addr_Inverter_B, "b"}, {Addr_Inverter_C, "c"}};

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

QString Serial(int box) {
    return QStringLiteral("KEST-0100-%1").arg(box + 1, 4, 10, QLatin1Char('0'));
}

QString Name(int box) {
    return QStringLiteral("Box %1").arg(box + 1);
}

QString PowerTopic(int box, const char* module) {
    return "quarnel/" + Serial(box) + '/' + module + "/power";
}

rlimit Original_Files{};
bool Original_Files_Known = false;

// quarneld as a child process, its standard output and error in a file; ended with SIGTERM (and
// SIGKILL when it does not end within seconds) with this object.
class TServiceChild {
public:
    TServiceChild() = default;
    TServiceChild(const TServiceChild&) = delete;
    TServiceChild& operator=(const TServiceChild&) = delete;
    ~TServiceChild() { Stop(); }

    bool Start(const std::vector<std::string>& arguments, const QString& logPath) {
        const int log =
            open(logPath.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log < 0) {
            return false;
        }
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        Pid = fork();
        if (Pid == 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            // The service gets the open-file limit the bench was started with, not the one the
            // bench raised for its own emulated boxes.
            if (Original_Files_Known) {
                setrlimit(RLIMIT_NOFILE, &Original_Files);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(log);
        return Pid > 0;
    }

    // False once it has ended; ExitText then says how.
    bool Alive() {
        if (Pid <= 0) {
            return false;
        }
        int status = 0;
        if (waitpid(Pid, &status, WNOHANG) != Pid) {
            return true;
        }
        Pid = -1;
        Ended = WIFEXITED(status) ? "exited with code " + std::to_string(WEXITSTATUS(status))
                                  : "ended by signal " + std::to_string(WTERMSIG(status));
        return false;
    }

    // How it ended on SIGTERM, or why it had to be killed.
    std::string Stop() {
        if (!Alive()) {
            return Ended;
        }
        kill(Pid, SIGTERM);
        for (int i = 0; i < 100 && Alive(); ++i) {
            usleep(50000);
        }
        if (Alive()) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
            Pid = -1;
            Ended = "did not end within 5 s of SIGTERM and was killed";
        }
        return Ended;
    }

    pid_t Id() const { return Pid; }
    const std::string& ExitText() const { return Ended; }

private:
    pid_t Pid = -1;
    std::string Ended;
};

// utime + stime in clock ticks, or -1.
int64_t CpuTicks(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray text = file.readAll();
    // The command name in parentheses may hold spaces; the fields after it are state (3), ...,
    // utime (14), stime (15).
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return -1;
    }
    return fields[11].toLongLong() + fields[12].toLongLong();
}

// A kB field of /proc/PID/status ("VmRSS:", "VmHWM:"), or -1.
long StatusKb(pid_t pid, const char* field) {
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const qsizetype length = qsizetype(std::strlen(field));
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(length).trimmed().split(' ').front().toLong();
        }
    }
    return -1;
}

long RssKb(pid_t pid) {
    return StatusKb(pid, "VmRSS:");
}

QString ReadLog(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

// With BENCH_QUARNELD_LOG set, the service's output is kept there.
void KeepLog(const QString& path) {
    const QString keep = qEnvironmentVariable("BENCH_QUARNELD_LOG");
    if (!keep.isEmpty() && (!QFile::exists(keep) || QFile::remove(keep)) &&
        !QFile::copy(path, keep)) {
        std::fprintf(stderr, "bench_quarneld: the service's output cannot be kept in %s\n",
                     qPrintable(keep));
    }
}

void PrintLogTail(const QString& path) {
    KeepLog(path);
    const QStringList lines = ReadLog(path).split('\n');
    std::fprintf(stderr, "bench_quarneld: the service's last output:\n");
    for (qsizetype i = std::max<qsizetype>(0, lines.size() - 30); i < lines.size(); ++i) {
        std::fprintf(stderr, "  %s\n", qPrintable(lines[i]));
    }
}

std::unique_ptr<kestemu::Emulator> StartBox(int box, uint32_t seed) {
    kestemu::Config config;
    config.port = 0;
    config.clock = Box_Clock;
    config.installed = Installed;
    config.serial = Serial(box).toStdString();
    config.seed = seed;
    config.log_connections = false;
    auto emulator = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    if (!emulator->start(&error)) {
        std::fprintf(stderr, "bench_quarneld: box %d: %s\n", box + 1, error.c_str());
        return nullptr;
    }
    return emulator;
}

// The first count boxes on line in the folder's user database, all four modules present.
bool AddBoxes(const QString& folder, const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes,
              size_t count) {
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "bench");
        db.setDatabaseName(folder + "/KestUser.sqlite");
        ok = db.open();
        QSqlQuery query(db);
        for (size_t i = 0; ok && i < std::min(count, boxes.size()); ++i) {
            query.prepare(
                "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, "
                "kest_online) VALUES (?, '127.0.0.1', ?, 'Administrator', 'admin1234', 1)");
            query.addBindValue(Name(int(i)));
            query.addBindValue(boxes[i]->port());
            ok = query.exec();
            const QVariant kest = query.lastInsertId();
            for (int type : {128, 4, 8, 12}) {
                query.prepare(
                    "INSERT INTO modules (module_kest, module_type, module_color, module_pattern, "
                    "module_linetype, module_ispresent, module_ischecked_kwh, module_ischecked_w) "
                    "VALUES (?, ?, 0, 0, 0, 1, 0, 0)");
                query.addBindValue(kest);
                query.addBindValue(type);
                ok = ok && query.exec();
            }
        }
        if (!ok) {
            std::fprintf(stderr, "bench_quarneld: the boxes cannot be listed: %s\n",
                         qPrintable(db.lastError().text() + query.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase("bench");
    return ok;
}

// Metrics port 0: no endpoint (the service's own default would listen on a fixed port).
bool WriteConfig(const QString& path, int brokerPort, int liveIntervalS, int metricsPort = 0) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QString text = QStringLiteral(
                       "[mqtt]\nhost = 127.0.0.1\nport = %1\n"
                       "[service]\nlive_interval = %2\nhistory_interval = 15\n")
                       .arg(brokerPort)
                       .arg(liveIntervalS);
    text += QStringLiteral("[metrics]\nlisten = 127.0.0.1\nport = %1\n").arg(metricsPort);
    return file.write(text.toUtf8()) > 0;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

struct TWindow {
    int64_t StartNs = 0;
    int64_t EndNs = 0;
    double CpuPercent = NAN;
    long RssStartKb = -1;
    long RssEndKb = -1;
};

// Lets the window pass with the service watched; false when it ends meanwhile.
bool Measure(TServiceChild& service, int seconds, TWindow* window) {
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    window->RssStartKb = RssKb(service.Id());
    const int64_t ticksStart = CpuTicks(service.Id());
    window->StartNs = NowNs();
    const int64_t end = window->StartNs + int64_t(seconds) * 1000000000;
    while (NowNs() < end) {
        if (!service.Alive()) {
            return false;
        }
        usleep(100000);
    }
    const int64_t ticksEnd = CpuTicks(service.Id());
    window->EndNs = NowNs();
    window->RssEndKb = RssKb(service.Id());
    if (ticksStart >= 0 && ticksEnd >= 0 && ticksPerSecond > 0) {
        window->CpuPercent = 100.0 * double(ticksEnd - ticksStart) / double(ticksPerSecond) /
                             (double(window->EndNs - window->StartNs) / 1e9);
    }
    return true;
}

struct TFigures {
    std::vector<double> DelaysMs;
    // The total follows the reply of the box's last inverter of the round.
    std::vector<double> TotalDelaysMs;
    int Unmatched = 0;  // power messages with no power reply of their inverter before them
    int Slow = 0;       // over the target
    std::vector<double> GapsS;
    int LateGaps = 0;
    int Polls = 0;
};

TFigures Analyse(const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes, int skipped,
                 const std::vector<TSubscriber::TMessage>& messages, const TWindow& window) {
    TFigures figures;
    std::map<QString, std::vector<int64_t>> arrivals;
    for (const TSubscriber::TMessage& m : messages) {
        arrivals[m.Topic].push_back(m.ReceivedNs);
    }
    const auto inWindow = [&](int64_t ns) { return ns >= window.StartNs && ns <= window.EndNs; };
    for (int b = 0; b < int(boxes.size()); ++b) {
        if (b == skipped) {
            continue;
        }
        std::map<uint8_t, std::vector<int64_t>> replies;
        for (const kestemu::ReceivedFrame& frame : boxes[size_t(b)]->received()) {
            // A forwarded CAN request: command 0x10, frame header, CAN address and object.
            const std::vector<uint8_t>& bytes = frame.bytes;
            if (bytes.size() > 4 && bytes[0] == 0x10 && bytes[4] == Obj_Actual_Power &&
                frame.replied_ns > 0) {
                replies[bytes[3]].push_back(frame.replied_ns);
            }
        }
        std::vector<int64_t> anyReplied;
        for (const auto& [address, topic] : Inverter_Topics) {
            std::vector<int64_t>& replied = replies[address];
            std::sort(replied.begin(), replied.end());
            anyReplied.insert(anyReplied.end(), replied.begin(), replied.end());
            for (int64_t arrived : arrivals[PowerTopic(b, topic)]) {
                if (!inWindow(arrived)) {
                    continue;
                }
                // The box's thread reads the clock once send() has returned: the message may
                // be out first.
                const auto after =
                    std::upper_bound(replied.begin(), replied.end(), arrived + Clock_Lag_Ns);
                if (after == replied.begin()) {
                    ++figures.Unmatched;
                    continue;
                }
                const int64_t delay = std::max<int64_t>(0, arrived - *(after - 1));
                figures.DelaysMs.push_back(double(delay) / 1e6);
                figures.Slow += delay > int64_t(Delay_Target_Ms * 1e6) ? 1 : 0;
            }
        }
        std::sort(anyReplied.begin(), anyReplied.end());
        // The last total before the window counts: a gap may start before it.
        int64_t previous = 0;
        for (int64_t arrived : arrivals[PowerTopic(b, "total")]) {
            if (arrived > window.EndNs) {
                break;
            }
            if (arrived >= window.StartNs) {
                ++figures.Polls;
                const auto after = std::upper_bound(anyReplied.begin(), anyReplied.end(), arrived);
                if (after != anyReplied.begin()) {
                    figures.TotalDelaysMs.push_back(double(arrived - *(after - 1)) / 1e6);
                }
                if (previous > 0) {
                    figures.GapsS.push_back(double(arrived - previous) / 1e9);
                    figures.LateGaps += arrived - previous > Late_Gap_Ns ? 1 : 0;
                }
            }
            previous = arrived;
        }
        // Nothing since the last message up to the window's end is a gap too.
        if (previous > 0 && window.EndNs - previous > Late_Gap_Ns) {
            figures.GapsS.push_back(double(window.EndNs - previous) / 1e9);
            ++figures.LateGaps;
        }
    }
    return figures;
}

const char* Met(bool met) {
    return met ? "met" : "NOT met";
}

void Print(const char* title, const TWindow& window, const TFigures& figures, int boxes,
           bool gapTarget) {
    const double median = figures.DelaysMs.empty() ? NAN : bench::median(figures.DelaysMs);
    std::printf("  %s\n", title);
    std::printf(
        "    reply -> subscriber  median %7.2f ms, p99 %7.2f ms, max %7.2f ms (%zu messages",
        median, Percentile(figures.DelaysMs, 0.99), Percentile(figures.DelaysMs, 1.0),
        figures.DelaysMs.size());
    std::printf(", %d over %.0f ms", figures.Slow, Delay_Target_Ms);
    if (figures.Unmatched > 0) {
        std::printf(", %d without a reply before them", figures.Unmatched);
    }
    std::printf(")\n%38s target: median under %.0f ms: %s\n", "", Delay_Target_Ms,
                Met(median < Delay_Target_Ms));
    std::printf(
        "    the totals           median %7.2f ms, p99 %7.2f ms, max %7.2f ms (%zu messages)\n",
        figures.TotalDelaysMs.empty() ? NAN : bench::median(figures.TotalDelaysMs),
        Percentile(figures.TotalDelaysMs, 0.99), Percentile(figures.TotalDelaysMs, 1.0),
        figures.TotalDelaysMs.size());
    std::printf("    service CPU          %7.2f %% of one core   (target: under %.0f %%): %s\n",
                window.CpuPercent, Cpu_Target_Percent, Met(window.CpuPercent < Cpu_Target_Percent));
    std::printf(
        "    resident memory      %7ld kB at the start, %ld kB at the end (%+ld kB): %s\n",
        window.RssStartKb, window.RssEndKb, window.RssEndKb - window.RssStartKb,
        std::labs(window.RssEndKb - window.RssStartKb) <= Flat_Rss_Kb ? "flat" : "NOT flat");
    const double seconds = double(window.EndNs - window.StartNs) / 1e9;
    std::printf("    total power polls    %7d of %d boxes (%.0f expected)\n", figures.Polls, boxes,
                boxes * seconds / Live_Interval_S);
    std::printf("    poll interval        median %6.3f s, longest %6.3f s, %d gaps over %d s\n",
                figures.GapsS.empty() ? NAN : bench::median(figures.GapsS),
                Percentile(figures.GapsS, 1.0), figures.LateGaps, 2 * Live_Interval_S);
    if (gapTarget) {
        std::printf("%38s target: no gap over %d s: %s\n", "", 2 * Live_Interval_S,
                    Met(figures.LateGaps == 0));
    }
    std::fflush(stdout);
}

// The scale run ------------------------------------------------------------------------------

constexpr int Scale_Sizes[] = {64, 128, 256};
constexpr int Scale_Max_Boxes = 1024;
constexpr int Scale_Live_Interval_S = 10;
constexpr int Scale_Default_Window_S = 240;
constexpr int Baseline_S = 20;
constexpr int Prepare_Timeout_S = 300;
constexpr uint32_t Scale_Seed = 1;
constexpr double Late_Factor = 1.5;
constexpr int Scrape_Count = 20;
constexpr int Scrape_Timeout_Ms = 2000;
constexpr double Scrape_Target_Ms = 50;
constexpr double Memory_Target_Kb = 200;
constexpr int Late_Target_Boxes = 256;
constexpr long Default_Soft_Files = 1024;
const char* const Scale_Name = "bench_quarneld --scale";

// Entries of /proc/PID/fd, or -1.
int OpenFiles(pid_t pid) {
    DIR* dir = opendir(QStringLiteral("/proc/%1/fd").arg(pid).toLocal8Bit().constData());
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return count;
}

// Until its exec the forked child holds the bench's descriptors: the emulated boxes' listeners.
bool Execed(pid_t pid) {
    char own[4096];
    char its[4096];
    const ssize_t ownSize = readlink("/proc/self/exe", own, sizeof own);
    const ssize_t itsSize = readlink(
        QStringLiteral("/proc/%1/exe").arg(pid).toLocal8Bit().constData(), its, sizeof its);
    return ownSize > 0 && itsSize > 0 &&
           std::string(own, size_t(ownSize)) != std::string(its, size_t(itsSize));
}

// The soft "Max open files" of /proc/PID/limits, or -1 (also for unlimited).
long SoftFileLimit(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/limits").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("Max open files")) {
            bool ok = false;
            const long soft = line.mid(14).simplified().split(' ').front().toLong(&ok);
            return ok ? soft : -1;
        }
    }
    return -1;
}

long PeakRssKb(pid_t pid) {
    return StatusKb(pid, "VmHWM:");
}

double OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A loopback port nobody listens on at the moment.
int FreePort() {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? int(server.serverPort()) : 0;
}

struct TScrape {
    bool Answered = false;  // a complete reply with status 200
    bool Refused = false;   // nothing listens on the port
    double Ms = NAN;
    QString Error;
};

// Whether reply holds a whole HTTP response: the head and a body as long as its Content-Length,
// or a chunked body up to its last chunk. Without either the body runs to the connection's end.
bool ResponseComplete(const QByteArray& reply) {
    const qsizetype headEnd = reply.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return false;
    }
    const QByteArray head = reply.left(headEnd).toLower();
    const qsizetype bodySize = reply.size() - headEnd - 4;
    for (const QByteArray& line : head.split('\n')) {
        if (line.startsWith("content-length:")) {
            return bodySize >= line.mid(15).trimmed().toLongLong();
        }
        if (line.startsWith("transfer-encoding:") && line.contains("chunked")) {
            return reply.endsWith("\r\n0\r\n\r\n") || reply.endsWith("\r\n\r\n0\r\n\r\n");
        }
    }
    return false;
}

// One GET of /metrics, timed from the connect to the reply's last byte.
TScrape Scrape(int port) {
    TScrape result;
    const int64_t start = NowNs();
    const int64_t deadline = start + int64_t(Scrape_Timeout_Ms) * 1000000;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), quint16(port));
    if (!socket.waitForConnected(Scrape_Timeout_Ms)) {
        result.Refused = socket.error() == QAbstractSocket::ConnectionRefusedError;
        result.Error = socket.errorString();
        return result;
    }
    socket.write(
        QByteArrayLiteral("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    QByteArray reply;
    bool closed = false;
    while (!ResponseComplete(reply) && !closed) {
        const int left = int((deadline - NowNs()) / 1000000);
        if (left <= 0) {
            result.Error = QStringLiteral("no complete reply within %1 ms").arg(Scrape_Timeout_Ms);
            return result;
        }
        if (!socket.waitForReadyRead(left)) {
            closed = socket.state() != QAbstractSocket::ConnectedState;
            if (!closed) {
                continue;
            }
        }
        reply += socket.readAll();
    }
    result.Ms = double(NowNs() - start) / 1e6;
    const QByteArray status = reply.left(reply.indexOf("\r\n"));
    result.Answered = status.startsWith("HTTP/1.") && status.mid(9, 3) == "200";
    if (!result.Answered) {
        result.Error = reply.isEmpty() ? QStringLiteral("the connection closed without a reply")
                                       : "the reply is " + QString::fromLatin1(status);
    }
    return result;
}

struct TScrapes {
    std::vector<double> Ms;
    double LongestAtS = NAN;  // when in the window the longest one started
    int Refused = 0;
    int Failed = 0;
    QString FirstError;

    void Add(const TScrape& scrape, double atS = NAN) {
        if (scrape.Answered) {
            if (Ms.empty() || scrape.Ms > Max()) {
                LongestAtS = atS;
            }
            Ms.push_back(scrape.Ms);
            return;
        }
        ++(scrape.Refused ? Refused : Failed);
        if (FirstError.isEmpty()) {
            FirstError = scrape.Error;
        }
    }
    bool NoEndpoint() const { return Ms.empty() && Failed == 0; }
    double Median() const { return Ms.empty() ? NAN : bench::median(Ms); }
    double Max() const { return Ms.empty() ? NAN : *std::max_element(Ms.begin(), Ms.end()); }
};

struct TScaleRow {
    int Boxes = 0;
    double WindowS = 0;
    double CpuPercent = NAN;        // over the whole window
    double SteadyCpuPercent = NAN;  // from the steady part's start
    double SteadyS = 0;
    double BenchCpuPercent = NAN;
    long RssKb = -1;
    long PeakRssKb = -1;
    double KbPerBox = NAN;
    int Polls = 0;
    int LatePolls = 0;
    int NeverPolled = 0;
    double LongestS = NAN;
    double AllPollingS = NAN;
    double DownloadsS = NAN;  // all first downloads ended
    int Downloads = 0;
    int FailedDownloads = 0;
    double PublishRate = NAN;  // steady part
    int Messages = 0;
    TScrapes Scrapes;
    int OpenFiles = -1;  // the most in the window
    int OpenFilesAtEnd = -1;
    long SoftFiles = -1;
    int Losses = 0;                 // "lost" and "cannot connect" lines
    double DownloadRequests = NAN;  // median history requests per box in the window
    std::string Ended;
};

bool LateTargetApplies(int boxes) {
    return boxes >= Late_Target_Boxes;
}

QString ScrapeCell(const TScrapes& scrapes) {
    if (scrapes.NoEndpoint()) {
        return QStringLiteral("no endpoint");
    }
    if (scrapes.Ms.empty()) {
        return QStringLiteral("failed");
    }
    QString cell =
        QStringLiteral("%1 / %2 ms").arg(scrapes.Median(), 0, 'f', 1).arg(scrapes.Max(), 0, 'f', 1);
    if (scrapes.Failed + scrapes.Refused > 0) {
        cell += QStringLiteral(" (%1 failed)").arg(scrapes.Failed + scrapes.Refused);
    }
    return cell;
}

QString MetText(bool met) {
    return met ? QStringLiteral("met") : QStringLiteral("missed");
}

struct TScaleTargets {
    QString Late, Memory, Scrape;
};

TScaleTargets Targets(const TScaleRow& row) {
    TScaleTargets t;
    if (LateTargetApplies(row.Boxes)) {
        t.Late = MetText(row.LatePolls == 0 && row.NeverPolled == 0);
    }
    t.Memory = std::isnan(row.KbPerBox) ? QStringLiteral("missed")
                                        : MetText(row.KbPerBox < Memory_Target_Kb);
    if (row.Scrapes.NoEndpoint()) {
        t.Scrape = QStringLiteral("no endpoint");
    } else {
        t.Scrape =
            MetText(!row.Scrapes.Ms.empty() && row.Scrapes.Failed + row.Scrapes.Refused == 0 &&
                    row.Scrapes.Max() < Scrape_Target_Ms);
    }
    return t;
}

void PrintScaleRow(const TScaleRow& row) {
    const TScaleTargets t = Targets(row);
    std::printf("  %d boxes, a %.0f s window from the service's launch:\n", row.Boxes, row.WindowS);
    std::printf(
        "    service CPU          %6.2f %% of one core over the window, %.3f %% per box; "
        "steady part (last %.0f s) %.2f %%, %.3f %% per box\n",
        row.CpuPercent, row.CpuPercent / row.Boxes, row.SteadyS, row.SteadyCpuPercent,
        row.SteadyCpuPercent / row.Boxes);
    std::printf(
        "    resident memory      %6ld kB at the end (peak %ld kB), %.1f kB per box over the "
        "service with 0 boxes (target: under %.0f kB): %s\n",
        row.RssKb, row.PeakRssKb, row.KbPerBox, Memory_Target_Kb, qPrintable(t.Memory));
    std::printf(
        "    live polls           %6d, %d late (interval over %.1f × %d s), longest interval "
        "%.2f s",
        row.Polls, row.LatePolls, Late_Factor, Scale_Live_Interval_S, row.LongestS);
    if (row.NeverPolled > 0) {
        std::printf(", %d boxes never polled", row.NeverPolled);
    }
    std::printf("\n");
    if (!t.Late.isEmpty()) {
        std::printf("%27s target: no late poll at %d boxes: %s\n", "", row.Boxes,
                    qPrintable(t.Late));
    }
    std::printf("    start-up             every box polled after %.1f s; %d first downloads ended",
                row.AllPollingS, row.Downloads);
    if (!std::isnan(row.DownloadsS)) {
        std::printf(", the last after %.1f s", row.DownloadsS);
    }
    if (row.FailedDownloads > 0) {
        std::printf(", %d failed", row.FailedDownloads);
    }
    std::printf(", %.0f history requests per box (median)\n", row.DownloadRequests);
    std::printf(
        "    publish rate         %6.1f messages/s at the subscriber in the steady part "
        "(%d in the window)\n",
        row.PublishRate, row.Messages);
    std::printf("    metrics scrape       %s (%zu answered", qPrintable(ScrapeCell(row.Scrapes)),
                row.Scrapes.Ms.size());
    if (!row.Scrapes.Ms.empty()) {
        std::printf(", the longest %.0f s after the launch", row.Scrapes.LongestAtS);
    }
    std::printf(")");
    if (!row.Scrapes.FirstError.isEmpty() && !row.Scrapes.NoEndpoint()) {
        std::printf(", first failure: %s", qPrintable(row.Scrapes.FirstError));
    }
    std::printf("\n%27s target: every scrape under %.0f ms: %s\n", "", Scrape_Target_Ms,
                qPrintable(t.Scrape));
    std::printf(
        "    open files           %6d in the service at most, %d at the window's end (its soft "
        "limit %ld; the default soft limit %ld: %s)\n",
        row.OpenFiles, row.OpenFilesAtEnd, row.SoftFiles, Default_Soft_Files,
        row.OpenFiles < 0                              ? "unknown"
        : row.OpenFiles >= Default_Soft_Files          ? "would NOT fit"
        : row.OpenFiles >= Default_Soft_Files * 9 / 10 ? "close to it"
                                                       : "fits");
    std::printf("    bench process CPU    %6.2f %% of one core (emulated boxes and subscriber)\n",
                row.BenchCpuPercent);
    if (row.Losses > 0) {
        std::printf("    the service's log    %d lines of a lost or unreachable box\n", row.Losses);
    }
    std::printf("    service on SIGTERM   %s\n", row.Ended.c_str());
    std::fflush(stdout);
}

void PrintScaleTables(const std::vector<TScaleRow>& rows, long baselineKb) {
    std::printf("\n  %5s %18s %14s %8s %18s %14s %9s %9s %26s\n", "boxes", "CPU % total/box",
                "steady % tot", "RSS kB", "kB per box", "late polls", "longest", "msgs/s",
                "scrape median/max");
    for (const TScaleRow& row : rows) {
        const TScaleTargets t = Targets(row);
        const QString cpu = QStringLiteral("%1 / %2")
                                .arg(row.CpuPercent, 0, 'f', 2)
                                .arg(row.CpuPercent / row.Boxes, 0, 'f', 3);
        const QString memory = QStringLiteral("%1 %2").arg(row.KbPerBox, 0, 'f', 1).arg(t.Memory);
        QString late = QString::number(row.LatePolls) + '/' + QString::number(row.Polls);
        if (!t.Late.isEmpty()) {
            late += ' ' + t.Late;
        }
        const QString scrape =
            ScrapeCell(row.Scrapes) + (row.Scrapes.NoEndpoint() ? QString() : ' ' + t.Scrape);
        std::printf("  %5d %18s %14.2f %8ld %18s %14s %8.2fs %9.1f %26s\n", row.Boxes,
                    qPrintable(cpu), row.SteadyCpuPercent, row.RssKb, qPrintable(memory),
                    qPrintable(late), row.LongestS, row.PublishRate, qPrintable(scrape));
    }
    std::printf(
        "\n  As markdown (service RSS with 0 boxes: %ld kB; live power every %d s, history "
        "every 15 min; late: a poll interval over %.1f × %d s):\n\n",
        baselineKb, Scale_Live_Interval_S, Late_Factor, Scale_Live_Interval_S);
    std::printf(
        "| Boxes | Service CPU, %% of one core (per box) | Steady CPU %% | RSS | "
        "RSS per box over 0 boxes (< %.0f kB) | Late polls (none at %d) | Longest "
        "interval | Publish rate | Scrape median / max (< %.0f ms) |\n",
        Memory_Target_Kb, Late_Target_Boxes, Scrape_Target_Ms);
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const TScaleRow& row : rows) {
        const TScaleTargets t = Targets(row);
        std::printf(
            "| %d | %.2f (%.3f) | %.2f | %.1f MB | %.1f kB, %s | %d of %d%s | %.1f s | "
            "%.0f msg/s | %s%s |\n",
            row.Boxes, row.CpuPercent, row.CpuPercent / row.Boxes, row.SteadyCpuPercent,
            double(row.RssKb) / 1024, row.KbPerBox, qPrintable(t.Memory), row.LatePolls, row.Polls,
            t.Late.isEmpty() ? "" : qPrintable(", " + t.Late), row.LongestS, row.PublishRate,
            qPrintable(ScrapeCell(row.Scrapes)),
            row.Scrapes.NoEndpoint() ? "" : qPrintable(", " + t.Scrape));
    }
    std::fflush(stdout);
}

// A data folder of the install step with the first count boxes listed; with templateDb, every
// module also gets the samples and history_reach rows of the template's module of its type.
bool PrepareFolder(const QString& folder,
                   const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes, size_t count,
                   const QString& templateDb) {
    if (!bench::install_data_folder(Scale_Name, folder) || !AddBoxes(folder, boxes, count)) {
        return false;
    }
    if (templateDb.isEmpty()) {
        return true;
    }
    bool ok = false;
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "copy");
        db.setDatabaseName(folder + "/KestUser.sqlite");
        ok = db.open();
        QSqlQuery query(db);
        if (ok) {
            query.prepare(QStringLiteral("ATTACH DATABASE ? AS t"));
            query.addBindValue(templateDb);
            ok = query.exec() && db.transaction();
        }
        for (const char* sql :
             {"INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
              "sample_yield) SELECT m.module_id, s.sample_timestamp, s.sample_resolution, "
              "s.sample_yield FROM t.samples s JOIN t.modules tm ON tm.module_id = "
              "s.sample_module JOIN modules m ON m.module_type = tm.module_type",
              "INSERT INTO history_reach (reach_module, reach_resolution, reach_first, "
              "reach_last, reach_open) SELECT m.module_id, r.reach_resolution, r.reach_first, "
              "r.reach_last, r.reach_open FROM t.history_reach r JOIN t.modules tm ON "
              "tm.module_id = r.reach_module JOIN modules m ON m.module_type = tm.module_type"}) {
            ok = ok && query.exec(QString::fromLatin1(sql));
        }
        ok = ok && db.commit() && query.exec(QStringLiteral("DETACH DATABASE t"));
        if (!ok) {
            error = db.lastError().text() + ' ' + query.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase("copy");
    if (!ok) {
        std::fprintf(stderr, "%s: the history cannot be copied to the boxes: %s\n", Scale_Name,
                     qPrintable(error));
    }
    return ok;
}

int CountRows(const QString& dbPath, const char* table) {
    int rows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "count");
        db.setDatabaseName(dbPath);
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table) &&
            query.next()) {
            rows = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase("count");
    return rows;
}

bool LaunchService(TServiceChild* service, const QString& folder, const QString& config,
                   int requestDelayMs) {
    if (!service->Start(
            {QUARNELD_PROGRAM, "--config", config.toStdString(), "--data-dir",
             (folder + '/').toStdString(), "--request-delay", std::to_string(requestDelayMs)},
            folder + "/quarneld.log")) {
        std::fprintf(stderr, "%s: %s does not start\n", Scale_Name, QUARNELD_PROGRAM);
        return false;
    }
    return true;
}

// One box's full first download with no pause between requests, kept as the template of every
// box's history: the boxes share the emulator's seed, clock and installation date.
bool PrepareTemplate(const QString& folder, int brokerPort, QString* templateDb) {
    std::vector<std::unique_ptr<kestemu::Emulator>> one;
    one.push_back(StartBox(0, Scale_Seed));
    if (!one.back() || !PrepareFolder(folder, one, 1, QString()) ||
        !WriteConfig(folder + "/quarneld.conf", brokerPort, Scale_Live_Interval_S)) {
        std::fprintf(stderr, "%s: the template folder cannot be prepared\n", Scale_Name);
        return false;
    }
    const QString logPath = folder + "/quarneld.log";
    TServiceChild service;
    const int64_t launched = NowNs();
    if (!LaunchService(&service, folder, folder + "/quarneld.conf", 0)) {
        return false;
    }
    for (;;) {
        const QString log = ReadLog(logPath);
        if (log.contains(QLatin1String("history download complete"))) {
            break;
        }
        if (log.contains(QLatin1String("history download failed"))) {
            std::fprintf(stderr, "%s: the template box's download failed\n", Scale_Name);
            PrintLogTail(logPath);
            return false;
        }
        if (!service.Alive()) {
            std::fprintf(stderr, "%s: the service %s during the template download\n", Scale_Name,
                         service.ExitText().c_str());
            PrintLogTail(logPath);
            return false;
        }
        if (NowNs() - launched > int64_t(Prepare_Timeout_S) * 1000000000) {
            std::fprintf(stderr, "%s: the template download took over %d s\n", Scale_Name,
                         Prepare_Timeout_S);
            PrintLogTail(logPath);
            return false;
        }
        usleep(200000);
    }
    const double seconds = double(NowNs() - launched) / 1e9;
    service.Stop();
    *templateDb = folder + "/KestUser.sqlite";
    std::printf(
        "  template             one box's full download: %zu history requests in %.1f s with "
        "no pause, %d samples and %d history_reach rows, copied to every box\n",
        one.front()->history_requests().size(), seconds, CountRows(*templateDb, "samples"),
        CountRows(*templateDb, "history_reach"));
    std::fflush(stdout);
    return true;
}

// The service with no box at all: its resident memory after a while, and whether it answers a
// scrape.
bool MeasureBaseline(const QString& folder, int brokerPort, long* rssKb, TScrapes* scrapes) {
    const std::vector<std::unique_ptr<kestemu::Emulator>> none;
    const int metricsPort = FreePort();
    if (!PrepareFolder(folder, none, 0, QString()) ||
        !WriteConfig(folder + "/quarneld.conf", brokerPort, Scale_Live_Interval_S, metricsPort)) {
        std::fprintf(stderr, "%s: the baseline folder cannot be prepared\n", Scale_Name);
        return false;
    }
    TServiceChild service;
    if (!LaunchService(&service, folder, folder + "/quarneld.conf", Request_Delay_Ms)) {
        return false;
    }
    for (int i = 0; i < Baseline_S * 10; ++i) {
        if (!service.Alive()) {
            std::fprintf(stderr, "%s: the service with no box %s\n", Scale_Name,
                         service.ExitText().c_str());
            PrintLogTail(folder + "/quarneld.log");
            return false;
        }
        usleep(100000);
    }
    for (int i = 0; i < 3; ++i) {
        scrapes->Add(Scrape(metricsPort));
    }
    *rssKb = RssKb(service.Id());
    std::printf("  0 boxes              service RSS %ld kB after %d s; metrics scrape %s\n", *rssKb,
                Baseline_S, qPrintable(ScrapeCell(*scrapes)));
    std::printf("  service on SIGTERM   %s\n", service.Stop().c_str());
    std::fflush(stdout);
    return true;
}

// The late polls and start-up of the first count boxes from their frame logs: a poll is the
// reply to the power request of inverter A.
void AnalysePolls(const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes, size_t count,
                  int64_t start, int64_t end, TScaleRow* row) {
    const int64_t late = int64_t(Late_Factor * Scale_Live_Interval_S * 1e9);
    int64_t lastFirst = 0;
    double longest = 0;
    for (size_t b = 0; b < count; ++b) {
        std::vector<int64_t> polls;
        for (const kestemu::ReceivedFrame& frame : boxes[b]->received()) {
            const std::vector<uint8_t>& bytes = frame.bytes;
            if (bytes.size() > 4 && bytes[0] == 0x10 && bytes[3] == Addr_Inverter_A &&
                bytes[4] == Obj_Actual_Power && frame.replied_ns >= start &&
                frame.replied_ns <= end) {
                polls.push_back(frame.replied_ns);
            }
        }
        if (polls.empty()) {
            ++row->NeverPolled;
            continue;
        }
        std::sort(polls.begin(), polls.end());
        lastFirst = std::max(lastFirst, polls.front() - start);
        row->Polls += int(polls.size());
        for (size_t i = 1; i < polls.size(); ++i) {
            longest = std::max(longest, double(polls[i] - polls[i - 1]) / 1e9);
            row->LatePolls += polls[i] - polls[i - 1] > late ? 1 : 0;
        }
        // No poll from the last one to the window's end counts as well.
        if (end - polls.back() > late) {
            ++row->LatePolls;
            longest = std::max(longest, double(end - polls.back()) / 1e9);
        }
    }
    row->LongestS = longest;
    row->AllPollingS = row->NeverPolled > 0 ? NAN : double(lastFirst) / 1e9;
}

bool RunSize(const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes, int count,
             const QString& folder, const QString& templateDb, int brokerPort,
             TSubscriber& subscriber, int seconds, long baselineKb, TScaleRow* row) {
    const int metricsPort = FreePort();
    const QString config = folder + "/quarneld.conf";
    const QString logPath = folder + "/quarneld.log";
    if (!PrepareFolder(folder, boxes, size_t(count), templateDb) ||
        !WriteConfig(config, brokerPort, Scale_Live_Interval_S, metricsPort)) {
        std::fprintf(stderr, "%s: the folder for %d boxes cannot be prepared\n", Scale_Name, count);
        return false;
    }
    subscriber.Clear();
    row->Boxes = count;
    std::vector<size_t> requestsBefore;
    for (int b = 0; b < count; ++b) {
        requestsBefore.push_back(boxes[size_t(b)]->history_requests().size());
    }
    TServiceChild service;
    const double benchCpuStart = OwnCpuSeconds();
    const int64_t start = NowNs();
    if (!LaunchService(&service, folder, config, Request_Delay_Ms)) {
        return false;
    }
    const int64_t end = start + int64_t(seconds) * 1000000000;
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    std::vector<std::pair<int64_t, int64_t>> ticks;  // (when, CPU ticks) every second
    int64_t nextSample = start;
    int scrapes = 0;
    while (NowNs() < end) {
        if (!service.Alive()) {
            std::fprintf(stderr, "%s: the service %s with %d boxes\n", Scale_Name,
                         service.ExitText().c_str(), count);
            PrintLogTail(logPath);
            return false;
        }
        const int64_t now = NowNs();
        if (now >= nextSample) {
            nextSample += 1000000000;
            ticks.emplace_back(now, CpuTicks(service.Id()));
            if (Execed(service.Id())) {
                row->OpenFiles = std::max(row->OpenFiles, OpenFiles(service.Id()));
            }
            if (std::isnan(row->DownloadsS)) {
                const QString log = ReadLog(logPath);
                row->Downloads = int(log.count(QLatin1String(": history download complete")) +
                                     log.count(QLatin1String(": history download failed")));
                if (row->Downloads >= count) {
                    row->DownloadsS = double(now - start) / 1e9;
                }
            }
        }
        // The scrapes spread evenly over the window, the first half a step in.
        if (scrapes < Scrape_Count &&
            now >= start + (2 * scrapes + 1) * (end - start) / (2 * Scrape_Count)) {
            ++scrapes;
            row->Scrapes.Add(Scrape(metricsPort), double(now - start) / 1e9);
        }
        usleep(50000);
    }
    const int64_t stopped = NowNs();
    const int64_t ticksEnd = CpuTicks(service.Id());
    row->BenchCpuPercent =
        100.0 * (OwnCpuSeconds() - benchCpuStart) / (double(stopped - start) / 1e9);
    row->RssKb = RssKb(service.Id());
    row->PeakRssKb = PeakRssKb(service.Id());
    row->SoftFiles = SoftFileLimit(service.Id());
    row->OpenFilesAtEnd = OpenFiles(service.Id());
    row->OpenFiles = std::max(row->OpenFiles, row->OpenFilesAtEnd);
    row->WindowS = double(stopped - start) / 1e9;
    row->Ended = service.Stop();

    const QString log = ReadLog(logPath);
    KeepLog(logPath);
    row->Downloads = int(log.count(QLatin1String(": history download complete")) +
                         log.count(QLatin1String(": history download failed")));
    row->FailedDownloads = int(log.count(QLatin1String(": history download failed")));
    row->Losses =
        int(log.count(QLatin1String(": lost (")) + log.count(QLatin1String(": cannot connect (")));
    row->KbPerBox =
        row->RssKb < 0 || baselineKb < 0 ? NAN : double(row->RssKb - baselineKb) / double(count);
    AnalysePolls(boxes, size_t(count), start, stopped, row);
    std::vector<double> requests;
    for (int b = 0; b < count; ++b) {
        requests.push_back(
            double(boxes[size_t(b)]->history_requests().size() - requestsBefore[size_t(b)]));
    }
    row->DownloadRequests = bench::median(requests);
    if (!ticks.empty() && ticks.front().second >= 0 && ticksEnd >= 0 && ticksPerSecond > 0) {
        row->CpuPercent = 100.0 * double(ticksEnd - ticks.front().second) / double(ticksPerSecond) /
                          (double(stopped - ticks.front().first) / 1e9);
    }
    // The steady part: every box polled and every first download ended, or the window's last
    // third when the start-up takes longer than two thirds of it.
    double steadyFrom = std::max(std::isnan(row->AllPollingS) ? row->WindowS : row->AllPollingS,
                                 std::isnan(row->DownloadsS) ? row->WindowS : row->DownloadsS);
    steadyFrom = std::min(steadyFrom + Scale_Live_Interval_S, row->WindowS * 2 / 3);
    const int64_t steadyNs = start + int64_t(steadyFrom * 1e9);
    const auto steady = std::find_if(ticks.begin(), ticks.end(),
                                     [&](const auto& sample) { return sample.first >= steadyNs; });
    if (steady != ticks.end() && steady->second >= 0 && ticksEnd >= 0 && ticksPerSecond > 0) {
        row->SteadyS = double(stopped - steady->first) / 1e9;
        row->SteadyCpuPercent =
            100.0 * double(ticksEnd - steady->second) / double(ticksPerSecond) / row->SteadyS;
    }
    int steadyMessages = 0;
    for (const TSubscriber::TMessage& m : subscriber.Messages()) {
        if (m.ReceivedNs >= start && m.ReceivedNs <= stopped) {
            ++row->Messages;
            steadyMessages += m.ReceivedNs >= steadyNs ? 1 : 0;
        }
    }
    row->PublishRate = double(steadyMessages) / (double(stopped - steadyNs) / 1e9);
    return true;
}

bool ParseSizes(const char* text, std::vector<int>* sizes) {
    sizes->clear();
    for (const QString& part : QString::fromLocal8Bit(text).split(',')) {
        bool ok = false;
        const int size = part.trimmed().toInt(&ok);
        if (!ok || size < 1 || size > Scale_Max_Boxes) {
            return false;
        }
        sizes->push_back(size);
    }
    return !sizes->empty();
}

int RunScale() {
    int seconds = Scale_Default_Window_S;
    if (const char* text = std::getenv("BENCH_QUARNELD_SCALE_SECONDS");
        text != nullptr && (!bench::parse_count(text, &seconds) || seconds < 30)) {
        std::fprintf(stderr,
                     "%s: BENCH_QUARNELD_SCALE_SECONDS must be a whole number of "
                     "seconds, at least 30\n",
                     Scale_Name);
        return 2;
    }
    std::vector<int> sizes(std::begin(Scale_Sizes), std::end(Scale_Sizes));
    if (const char* text = std::getenv("BENCH_QUARNELD_SCALE_SIZES");
        text != nullptr && !ParseSizes(text, &sizes)) {
        std::fprintf(stderr,
                     "%s: BENCH_QUARNELD_SCALE_SIZES must list box counts from 1 to %d, "
                     "separated by commas\n",
                     Scale_Name, Scale_Max_Boxes);
        return 2;
    }
    const int most = *std::max_element(sizes.begin(), sizes.end());

    // Every emulated box has a listener and a thread with a socket per connection here.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
        files.rlim_cur < rlim_t(4 * most + 64)) {
        std::fprintf(stderr, "%s: %d boxes need some %d open files, the limit is %llu\n",
                     Scale_Name, most, 4 * most + 64, (unsigned long long)files.rlim_cur);
        return 1;
    }

    TBroker broker;
    QString error;
    if (!broker.Start(&error)) {
        std::fprintf(stderr, "%s: the broker does not start: %s\n", Scale_Name, qPrintable(error));
        return 1;
    }
    TSubscriber subscriber;
    if (!subscriber.Connect(broker.Port())) {
        std::fprintf(stderr, "%s: the subscriber cannot subscribe\n", Scale_Name);
        return 1;
    }
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "%s: no temporary folder\n", Scale_Name);
        return 1;
    }
    std::printf(
        "bench_quarneld --scale: quarneld with %s emulated boxes of three inverters in the bench's "
        "process, live power every %d s, history every 15 min, %d ms pause, broker and "
        "subscriber on loopback, a %d s window per size from the service's launch; the machine's "
        "other load shares its cores\n",
        qPrintable(QStringList([&] {
                       QStringList l;
                       for (int size : sizes) {
                           l << QString::number(size);
                       }
                       return l;
                   }())
                       .join(", ")),
        Scale_Live_Interval_S, Request_Delay_Ms, seconds);
    std::fflush(stdout);

    QString templateDb;
    if (!PrepareTemplate(folder.filePath("template"), broker.Port(), &templateDb)) {
        return 1;
    }
    long baselineKb = -1;
    TScrapes baselineScrapes;
    if (!MeasureBaseline(folder.filePath("none"), broker.Port(), &baselineKb, &baselineScrapes)) {
        return 1;
    }
    std::vector<std::unique_ptr<kestemu::Emulator>> boxes;
    for (int i = 0; i < most; ++i) {
        boxes.push_back(StartBox(i, Scale_Seed));
        if (!boxes.back()) {
            return 1;
        }
    }
    std::vector<TScaleRow> rows;
    for (int size : sizes) {
        TScaleRow row;
        if (!RunSize(boxes, size, folder.filePath(QString::number(size)), templateDb, broker.Port(),
                     subscriber, seconds, baselineKb, &row)) {
            return 1;
        }
        PrintScaleRow(row);
        rows.push_back(row);
    }
    PrintScaleTables(rows, baselineKb);
    return 0;
}

// The shared store run ------------------------------------------------------------------------

constexpr int Shared_Default_Boxes = 128;
constexpr int Shared_Default_Window_S = 600;
const char* const Shared_Name = "bench_quarneld --shared";
const char* const Shared_Admin = "bench_quarneld_admin";
const char* const Shared_Count = "bench_quarneld_count";

bool SharedExec(const char* connection, const QString& sql) {
    return bench::RunStatement(Shared_Name, QString::fromLatin1(connection), sql);
}

// Boxes first .. first + count - 1 on line in the store, all four modules present; their ids
// are 1 .. count in a fresh database.
bool AddStoreBoxes(const QSqlDatabase& db,
                   const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes, size_t count) {
    QSqlQuery query(db);
    for (size_t i = 0; i < count; ++i) {
        query.prepare(
            "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, "
            "kest_online) VALUES (?, '127.0.0.1', ?, 'Administrator', 'admin1234', 1) "
            "RETURNING kest_id");
        query.addBindValue(Name(int(i)));
        query.addBindValue(boxes[i]->port());
        if (!query.exec() || !query.next()) {
            break;
        }
        const QVariant kest = query.value(0);
        query.finish();
        QSqlQuery module(db);
        module.prepare(
            "INSERT INTO modules (module_kest, module_type, module_color, module_pattern, "
            "module_linetype, module_ispresent, module_ischecked_kwh, module_ischecked_w) "
            "SELECT ?, t, 0, 0, 0, 1, 0, 0 FROM (VALUES (128), (4), (8), (12)) AS m (t)");
        module.addBindValue(kest);
        if (!module.exec()) {
            std::fprintf(stderr, "%s: the boxes cannot be listed: %s\n", Shared_Name,
                         qPrintable(module.lastError().text()));
            return false;
        }
        if (i + 1 == count) {
            return true;
        }
    }
    std::fprintf(stderr, "%s: the boxes cannot be listed: %s\n", Shared_Name,
                 qPrintable(query.lastError().text()));
    return false;
}

// The box ids first + 1 .. first + count, as [service] boxes lists them.
QString IdList(int first, int count) {
    QStringList ids;
    for (int id = first + 1; id <= first + count; ++id) {
        ids << QString::number(id);
    }
    return ids.join(QStringLiteral(", "));
}

struct TSharedRun {
    int Services = 0;
    int Boxes = 0;
    int Downloads = 0;  // ended in the window
    double WindowS = 0;
    std::vector<int64_t> Stored;      // per service at the window's end
    std::vector<int64_t> HalfStored;  // per service at the window's middle
    double Rate() const {
        int64_t all = 0;
        for (int64_t n : Stored) {
            all += n;
        }
        return double(all) / WindowS;
    }
    double SecondHalfRate() const {
        int64_t all = 0;
        for (size_t i = 0; i < Stored.size(); ++i) {
            all += Stored[i] - HalfStored[i];
        }
        return double(all) / (WindowS / 2);
    }
};

// The samples stored so far of each service's boxes.
std::vector<int64_t> StoredPerService(int services, int perService) {
    std::vector<int64_t> stored(size_t(services), -1);
    QSqlQuery query(QSqlDatabase::database(Shared_Count, false));
    if (!query.exec(QStringLiteral("SELECT (m.module_kest - 1) / %1, count(*) FROM samples s "
                                   "JOIN modules m ON m.module_id = s.sample_module GROUP BY 1")
                        .arg(perService))) {
        return stored;
    }
    std::fill(stored.begin(), stored.end(), 0);
    while (query.next()) {
        const int service = query.value(0).toInt();
        if (service >= 0 && service < services) {
            stored[size_t(service)] = query.value(1).toLongLong();
        }
    }
    return stored;
}

// A fresh database with services x perService boxes, that many services each keeping its share,
// and the samples they store in the window from their launch.
bool RunShared(const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes, int services,
               int perService, const QString& folder, int brokerPort, int seconds,
               TSharedRun* run) {
    const QString database = QStringLiteral("bench_quarneld_%1").arg(services);
    const QString url = bench::ServerUrl(database);
    if (!SharedExec(Shared_Admin, "DROP DATABASE IF EXISTS " + database + " WITH (FORCE)") ||
        !SharedExec(Shared_Admin, "CREATE DATABASE " + database)) {
        return false;
    }
    std::vector<QString> folders;
    for (int i = 0; i < services; ++i) {
        folders.push_back(folder + QStringLiteral("/%1-%2").arg(services).arg(i));
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(QUARNEL_INSTALL_SCRIPT),
                      {"--postgresql", url, folders[size_t(i)]});
        if (!install.waitForFinished(60000) || install.exitCode() != 0) {
            std::fprintf(stderr, "%s: install step failed: %s\n", Shared_Name,
                         install.readAll().constData());
            return false;
        }
        if (!WriteConfig(folders[size_t(i)] + "/quarneld.conf", brokerPort,
                         Scale_Live_Interval_S)) {
            return false;
        }
        QFile config(folders[size_t(i)] + "/quarneld.conf");
        if (!config.open(QIODevice::Append) ||
            config.write(
                ("[service]\nboxes = " + IdList(i * perService, perService) + "\n").toUtf8()) <=
                0) {
            return false;
        }
    }
    TStore store;
    QString message;
    if (!PostgresStore(url, &store, &message)) {
        return false;
    }
    bool ok = false;
    {
        QSqlDatabase db = AddStoreDatabase(Shared_Count, store);
        ok = db.open() && AddStoreBoxes(db, boxes, size_t(services * perService));
    }
    std::vector<std::unique_ptr<TServiceChild>> children;
    const int64_t start = NowNs();
    for (int i = 0; ok && i < services; ++i) {
        children.push_back(std::make_unique<TServiceChild>());
        const QString& f = folders[size_t(i)];
        ok = LaunchService(children.back().get(), f, f + "/quarneld.conf", Request_Delay_Ms);
    }
    // The count at every second, to take the second half's from once the window's end is known.
    const int64_t end = start + int64_t(seconds) * 1000000000;
    std::vector<std::pair<int64_t, std::vector<int64_t>>> counts;
    int64_t nextCount = start;
    int ended = 0;
    while (ok && NowNs() < end && ended < services * perService) {
        ended = 0;
        for (size_t i = 0; i < children.size(); ++i) {
            if (!children[i]->Alive()) {
                std::fprintf(stderr, "%s: service %zu %s\n", Shared_Name, i + 1,
                             children[i]->ExitText().c_str());
                PrintLogTail(folders[i] + "/quarneld.log");
                ok = false;
            }
            const QString log = ReadLog(folders[i] + "/quarneld.log");
            ended += int(log.count(QLatin1String(": history download complete")) +
                         log.count(QLatin1String(": history download failed")));
        }
        if (NowNs() >= nextCount) {
            nextCount += 1000000000;
            counts.emplace_back(NowNs(), StoredPerService(services, perService));
        }
        usleep(200000);
    }
    run->Downloads = ended;
    if (ok) {
        run->Stored = StoredPerService(services, perService);
        const int64_t stopped = NowNs();
        run->WindowS = double(stopped - start) / 1e9;
        run->HalfStored = counts.front().second;
        for (const auto& [when, stored] : counts) {
            if (when <= start + (stopped - start) / 2) {
                run->HalfStored = stored;
            }
        }
    }
    for (auto& child : children) {
        child->Stop();
    }
    run->Services = services;
    run->Boxes = services * perService;
    QSqlDatabase::database(Shared_Count, false).close();
    QSqlDatabase::removeDatabase(Shared_Count);
    ok = SharedExec(Shared_Admin, "DROP DATABASE IF EXISTS " + database + " WITH (FORCE)") && ok;
    return ok && run->HalfStored.size() == size_t(services) &&
           std::all_of(run->Stored.begin(), run->Stored.end(), [](int64_t n) { return n >= 0; });
}

void PrintSharedRun(const TSharedRun& run) {
    QStringList each;
    for (size_t i = 0; i < run.Stored.size(); ++i) {
        each << QStringLiteral("%1/s").arg(double(run.Stored[i]) / run.WindowS, 0, 'f', 0);
    }
    std::printf(
        "  %d service(s), %d boxes: %.0f samples stored per s over %.0f s (per service %s), "
        "%.0f per s in the second half; %d of %d downloads ended\n",
        run.Services, run.Boxes, run.Rate(), run.WindowS, qPrintable(each.join(", ")),
        run.SecondHalfRate(), run.Downloads, run.Boxes);
    std::fflush(stdout);
}

int RunSharedStore() {
    int perService = Shared_Default_Boxes;
    int seconds = Shared_Default_Window_S;
    if (const char* text = std::getenv("BENCH_QUARNELD_SHARED_BOXES");
        text != nullptr && (!bench::parse_count(text, &perService) || perService > 512)) {
        std::fprintf(stderr, "%s: BENCH_QUARNELD_SHARED_BOXES must be 1 to 512\n", Shared_Name);
        return 2;
    }
    if (const char* text = std::getenv("BENCH_QUARNELD_SHARED_SECONDS");
        text != nullptr && (!bench::parse_count(text, &seconds) || seconds < 10)) {
        std::fprintf(stderr, "%s: BENCH_QUARNELD_SHARED_SECONDS must be at least 10\n",
                     Shared_Name);
        return 2;
    }
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    bool ok = false;
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), Shared_Admin);
        admin.setDatabaseName(QStringLiteral("postgres"));
        if (!admin.open()) {
            std::fprintf(stderr, "%s: no PostgreSQL server: %s\n", Shared_Name,
                         qPrintable(admin.lastError().text()));
        } else {
            ok = true;
        }
    }
    TBroker broker;
    QString error;
    TSubscriber subscriber;
    QTemporaryDir folder;
    if (!ok || !broker.Start(&error) || !subscriber.Connect(broker.Port()) || !folder.isValid()) {
        std::fprintf(stderr, "%s: the broker, its subscriber or the folder cannot be set up %s\n",
                     Shared_Name, qPrintable(error));
        return 1;
    }
    std::vector<std::unique_ptr<kestemu::Emulator>> boxes;
    for (int i = 0; i < 2 * perService; ++i) {
        boxes.push_back(StartBox(i, Scale_Seed));
        if (!boxes.back()) {
            return 1;
        }
    }
    std::printf(
        "%s: quarneld on one PostgreSQL store, %d boxes per service, first full downloads with "
        "the %d ms pause, live power every %d s, the window from the launch until every "
        "download ended (at most %d s)\n",
        Shared_Name, perService, Request_Delay_Ms, Scale_Live_Interval_S, seconds);
    TSharedRun one, two;
    if (!RunShared(boxes, 1, perService, folder.path(), broker.Port(), seconds, &one)) {
        return 1;
    }
    PrintSharedRun(one);
    if (!RunShared(boxes, 2, perService, folder.path(), broker.Port(), seconds, &two)) {
        return 1;
    }
    PrintSharedRun(two);
    std::printf("  two services / one: %.2fx the samples per s (second half %.2fx)\n",
                two.Rate() / one.Rate(), two.SecondHalfRate() / one.SecondHalfRate());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Original_Files_Known = getrlimit(RLIMIT_NOFILE, &Original_Files) == 0;
    bool scale = qEnvironmentVariable("BENCH_QUARNELD_SCALE") == QLatin1String("1");
    for (const QString& argument : QCoreApplication::arguments().mid(1)) {
        if (argument == QLatin1String("--shared")) {
            const int result = RunSharedStore();
            QSqlDatabase::removeDatabase(Shared_Admin);
            return result;
        }
        if (argument != QLatin1String("--scale")) {
            std::fprintf(stderr,
                         "bench_quarneld: unknown argument %s; it takes --scale or --shared\n",
                         qPrintable(argument));
            return 2;
        }
        scale = true;
    }
    if (scale) {
        return RunScale();
    }
    int seconds = Default_Window_S;
    if (const char* text = std::getenv("BENCH_QUARNELD_SECONDS");
        text != nullptr && !bench::parse_count(text, &seconds)) {
        std::fprintf(stderr,
                     "bench_quarneld: BENCH_QUARNELD_SECONDS must be a whole number of "
                     "seconds above 0\n");
        return 2;
    }

    TBroker broker;
    QString error;
    if (!broker.Start(&error)) {
        std::fprintf(stderr, "bench_quarneld: the broker does not start: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir folder;
    if (!folder.isValid() || !bench::install_data_folder("bench_quarneld", folder.path())) {
        return 1;
    }
    std::vector<std::unique_ptr<kestemu::Emulator>> boxes;
    for (int i = 0; i < Box_Count; ++i) {
        boxes.push_back(StartBox(i, uint32_t(i + 1)));
        if (!boxes.back()) {
            return 1;
        }
    }
    const QString configPath = folder.filePath("quarneld.conf");
    const QString logPath = folder.filePath("quarneld.log");
    if (!AddBoxes(folder.path(), boxes, boxes.size()) ||
        !WriteConfig(configPath, broker.Port(), Live_Interval_S)) {
        std::fprintf(stderr, "bench_quarneld: the data folder cannot be prepared\n");
        return 1;
    }
    TSubscriber subscriber;
    if (!subscriber.Connect(broker.Port())) {
        std::fprintf(stderr, "bench_quarneld: the subscriber cannot subscribe\n");
        return 1;
    }

    TServiceChild service;
    const int64_t launched = NowNs();
    if (!service.Start({QUARNELD_PROGRAM, "--config", configPath.toStdString(), "--data-dir",
                        (folder.path() + '/').toStdString(), "--request-delay",
                        std::to_string(Request_Delay_Ms)},
                       logPath)) {
        std::fprintf(stderr, "bench_quarneld: %s does not start\n", QUARNELD_PROGRAM);
        return 1;
    }
    // Ready: every box's total power out and its first history download complete.
    for (int waiting = Box_Count;;) {
        const QString log = ReadLog(logPath);
        waiting = 0;
        for (int i = 0; i < Box_Count; ++i) {
            waiting += !subscriber.Latest(PowerTopic(i, "total")) ||
                       !log.contains(Name(i) + ": history download complete");
        }
        if (waiting == 0) {
            break;
        }
        if (log.contains(QLatin1String("history download failed"))) {
            std::fprintf(stderr, "bench_quarneld: a first history download failed\n");
            PrintLogTail(logPath);
            return 1;
        }
        if (!service.Alive()) {
            std::fprintf(stderr, "bench_quarneld: the service %s before it was ready\n",
                         service.ExitText().c_str());
            PrintLogTail(logPath);
            return 1;
        }
        if (NowNs() - launched > int64_t(Ready_Timeout_S) * 1000000000) {
            std::fprintf(stderr, "bench_quarneld: %d boxes not ready after %d s\n", waiting,
                         Ready_Timeout_S);
            PrintLogTail(logPath);
            return 1;
        }
        usleep(100000);
    }
    const double readyS = double(NowNs() - launched) / 1e9;

    std::printf(
        "bench_quarneld: quarneld, %d emulated boxes of three inverters, live power every %d s, "
        "%d ms pause, broker and subscriber on loopback, %d s windows\n",
        Box_Count, Live_Interval_S, Request_Delay_Ms, seconds);
    std::vector<double> historyRequests;
    for (const auto& box : boxes) {
        historyRequests.push_back(double(box->history_requests().size()));
    }
    std::printf("  ready after          %7.1f s   (every box's power out, first downloads done)\n",
                readyS);
    std::printf("  first download       %7.0f history requests per box (median), %.0f at most\n",
                bench::median(historyRequests), Percentile(historyRequests, 1.0));
    std::fflush(stdout);

    TWindow answering;
    if (!Measure(service, seconds, &answering)) {
        std::fprintf(stderr, "bench_quarneld: the service %s during the window\n",
                     service.ExitText().c_str());
        PrintLogTail(logPath);
        return 1;
    }
    Print("all boxes answering", answering, Analyse(boxes, -1, subscriber.Messages(), answering),
          Box_Count, true);

    const int silent = Box_Count - 1;
    kestemu::Faults faults = boxes[size_t(silent)]->faults();
    faults.silent_after = 0;
    boxes[size_t(silent)]->set_faults(faults);
    TWindow oneSilent;
    if (!Measure(service, seconds, &oneSilent)) {
        std::fprintf(stderr, "bench_quarneld: the service %s during the window\n",
                     service.ExitText().c_str());
        PrintLogTail(logPath);
        return 1;
    }
    const std::vector<TSubscriber::TMessage> messages = subscriber.Messages();
    const std::string title = "one box silent (" + Name(silent).toStdString() +
                              ", from the window's start), the other " +
                              std::to_string(Box_Count - 1);
    Print(title.c_str(), oneSilent, Analyse(boxes, silent, messages, oneSilent), Box_Count - 1,
          true);
    const QString statusTopic = "quarnel/" + Serial(silent) + "/status";
    const auto offline = std::find_if(messages.begin(), messages.end(), [&](const auto& m) {
        return m.Topic == statusTopic && m.Payload == "offline" &&
               m.ReceivedNs >= oneSilent.StartNs;
    });
    if (offline != messages.end()) {
        std::printf("    silent box offline   %7.1f s after it fell silent\n",
                    double(offline->ReceivedNs - oneSilent.StartNs) / 1e9);
    } else {
        std::printf("    silent box offline   not published within the window\n");
    }
    std::printf("  service on SIGTERM   %s\n", service.Stop().c_str());
    KeepLog(logPath);
    return 0;
}

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
// A figure that misses its target is printed as such; the exit code is non-zero only when the
// run itself could not be made. BENCH_QUARNELD_LOG names a file to keep the service's output in.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchInstall.h"
#include "bench/BenchSupport.h"
#include "monitor/can/CanObjects.h"
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

long RssKb(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').front().toLong();
        }
    }
    return -1;
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

std::unique_ptr<kestemu::Emulator> StartBox(int box) {
    kestemu::Config config;
    config.port = 0;
    config.clock = Box_Clock;
    config.installed = Installed;
    config.serial = Serial(box).toStdString();
    config.seed = uint32_t(box + 1);
    config.log_connections = false;
    auto emulator = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    if (!emulator->start(&error)) {
        std::fprintf(stderr, "bench_quarneld: box %d: %s\n", box + 1, error.c_str());
        return nullptr;
    }
    return emulator;
}

// The boxes on line in the folder's user database, all four modules present.
bool AddBoxes(const QString& folder, const std::vector<std::unique_ptr<kestemu::Emulator>>& boxes) {
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "bench");
        db.setDatabaseName(folder + "/KestUser.sqlite");
        ok = db.open();
        QSqlQuery query(db);
        for (size_t i = 0; ok && i < boxes.size(); ++i) {
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

bool WriteConfig(const QString& path, int brokerPort) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const QString text = QStringLiteral(
                             "[mqtt]\nhost = 127.0.0.1\nport = %1\n"
                             "[service]\nlive_interval = %2\nhistory_interval = 15\n")
                             .arg(brokerPort)
                             .arg(Live_Interval_S);
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

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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
        boxes.push_back(StartBox(i));
        if (!boxes.back()) {
            return 1;
        }
    }
    const QString configPath = folder.filePath("quarneld.conf");
    const QString logPath = folder.filePath("quarneld.log");
    if (!AddBoxes(folder.path(), boxes) || !WriteConfig(configPath, broker.Port())) {
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

// What storing a download costs the main thread: a ten-minute history download of the four
// modules (4 x 1008 samples) handed to SaveYield one sample at a time as a channel hands it over,
// against the same rows written with one prepared upsert each, and the same download again with
// every value unchanged, which must leave the database as it was.
//
// Every round uses a fresh database from the install step, in a temporary folder (TMPDIR).
//
// usage: bench_saveyield [ROUNDS]
#include <time.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CANMessages.h"
#include "bench/BenchSupport.h"
#include "dmUser.h"
#include "tests/support/NullView.h"

#ifndef QUARNEL_INSTALL_SCRIPT
#error QUARNEL_INSTALL_SCRIPT must name data/install.sh
#endif

namespace {

constexpr int kDefaultRounds = 7;
constexpr int kSamplesPerModule = 1008;  // seven days of ten-minute periods
constexpr double kTargetRatio = 1.5;
constexpr uint8_t kModules[] = {Module_Total, Addr_Inverter_A, Addr_Inverter_B, Addr_Inverter_C};

using Clock = std::chrono::steady_clock;

struct Sample {
    uint8_t module;
    QDateTime time;
    int32_t value;
};

// Newest first, module after module, as the channel downloads them.
std::vector<Sample> TenMinuteDownload() {
    const QDateTime newest(QDate(2024, 6, 20), QTime(23, 0), Qt::UTC);
    std::vector<Sample> samples;
    for (uint8_t module : kModules) {
        for (int i = 0; i < kSamplesPerModule; ++i) {
            samples.push_back({module, newest.addSecs(-600 * qint64(i)),
                               int32_t((i * 7919 + module * 31) % 60000)});
        }
    }
    return samples;
}

// The data module's errors are printed as they come.
class PrintingView : public TNullView {
public:
    void ShowError(const QString& text) override {
        std::fprintf(stderr, "bench_saveyield: %s\n", qPrintable(text));
        TNullView::ShowError(text);
    }
};

// A fresh data folder with a database from the install step and one box with its four modules.
class FreshDatabase {
public:
    bool Create(int32_t* kestId) {
        if (!Dir.isValid()) {
            return false;
        }
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(QUARNEL_INSTALL_SCRIPT), {Dir.path()});
        if (!install.waitForFinished(30000) || install.exitCode() != 0) {
            std::fprintf(stderr, "bench_saveyield: install step failed: %s\n",
                         install.readAll().constData());
            return false;
        }
        PrintingView view;
        TUserData data(view, Path());
        *kestId = data.KestsTableAfterInsert();
        return view.Quiet() && *kestId > 0;
    }
    QString Path() const { return Dir.path() + "/KestUser.sqlite"; }

private:
    QTemporaryDir Dir;
};

// The channel's hand-over fields live on a channel object; its worker is not needed.
std::unique_ptr<TCANMessages> StoppedChannel(int32_t kestId) {
    auto channel = std::make_unique<TCANMessages>(kestId, 2, 0);
    channel->TerminateThread();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (channel->Thread != nullptr && Clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return channel->Thread == nullptr ? std::move(channel) : nullptr;
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Main-thread time of one pass: wall clock, and the CPU time within it.
struct Span {
    double wall = 0;
    double cpu = 0;
};

class Stopwatch {
public:
    Span Elapsed() const {
        return {std::chrono::duration<double>(Clock::now() - Start).count(),
                ThreadCpuSeconds() - Cpu};
    }

private:
    Clock::time_point Start = Clock::now();
    double Cpu = ThreadCpuSeconds();
};

Span HandOver(TUserData& data, TCANMessages& channel, const std::vector<Sample>& samples) {
    const Stopwatch watch;
    for (const Sample& s : samples) {
        channel.SampleModule = s.module;
        channel.SampleResolution = Res_Ten_Minutes;
        channel.SampleTime = s.time;
        channel.SampleValue = s.value;
        data.SaveYield(&channel);
    }
    return watch.Elapsed();
}

int64_t Scalar(const QString& connection, const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(connection, false));
    return query.exec(sql) && query.next() ? query.value(0).toLongLong() : -1;
}

QByteArray FileHash(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return "absent";
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

// What a write would change: the connection's change count, the key sequence, and the bytes of
// the database and its write-ahead log.
struct Footprint {
    int64_t changes = 0;
    int64_t sequence = 0;
    QByteArray database;
    QByteArray log;

    static Footprint Of(const QString& connection, const QString& path) {
        return {Scalar(connection, "SELECT total_changes()"),
                Scalar(connection, "SELECT seq FROM sqlite_sequence WHERE name = 'samples'"),
                FileHash(path), FileHash(path + "-wal")};
    }
};

struct ProgramRound {
    Span stored;
    Span unchanged;
    int64_t unchangedChanges = 0;
    bool unchangedFilesKept = false;
};

bool RunProgram(const std::vector<Sample>& samples, ProgramRound* round) {
    FreshDatabase fresh;
    int32_t kest = 0;
    if (!fresh.Create(&kest)) {
        return false;
    }
    auto channel = StoppedChannel(kest);
    if (!channel) {
        std::fprintf(stderr, "bench_saveyield: the channel's worker did not end\n");
        return false;
    }
    PrintingView view;
    TUserData data(view, fresh.Path());
    if (!data.IsOpen()) {
        return false;
    }
    round->stored = HandOver(data, *channel, samples);
    if (Scalar(data.ConnectionName(), "SELECT COUNT(*) FROM samples") != int64_t(samples.size())) {
        std::fprintf(stderr, "bench_saveyield: the program stored %lld of %zu samples\n",
                     (long long)Scalar(data.ConnectionName(), "SELECT COUNT(*) FROM samples"),
                     samples.size());
        return false;
    }
    const Footprint before = Footprint::Of(data.ConnectionName(), fresh.Path());
    round->unchanged = HandOver(data, *channel, samples);
    const Footprint after = Footprint::Of(data.ConnectionName(), fresh.Path());
    round->unchangedChanges = after.changes - before.changes;
    round->unchangedFilesKept = after.sequence == before.sequence &&
                                after.database == before.database && after.log == before.log;
    return view.Quiet();
}

// The same rows through one prepared upsert, one transaction per row, with the program's
// settings of the connection.
bool RunBaseline(const std::vector<Sample>& samples, Span* span) {
    FreshDatabase fresh;
    int32_t kest = 0;
    if (!fresh.Create(&kest)) {
        return false;
    }
    const QString name = QStringLiteral("baseline");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(fresh.Path());
        QSqlQuery query(db);
        std::map<int, int32_t> moduleIds;
        if (db.open() && query.exec("PRAGMA foreign_keys = ON") &&
            query.exec("PRAGMA synchronous = NORMAL") &&
            query.exec("SELECT module_type, module_id FROM modules WHERE module_kest = " +
                       QString::number(kest))) {
            while (query.next()) {
                moduleIds[query.value(0).toInt()] = query.value(1).toInt();
            }
        }
        QSqlQuery upsert(db);
        ok = moduleIds.size() == 4 &&
             upsert.prepare(
                 "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
                 "sample_yield) VALUES (?, ?, ?, ?) "
                 "ON CONFLICT (sample_module, sample_timestamp, sample_resolution) "
                 "DO UPDATE SET sample_yield = excluded.sample_yield");
        if (ok) {
            const Stopwatch watch;
            for (const Sample& s : samples) {
                upsert.addBindValue(moduleIds[s.module]);
                upsert.addBindValue(s.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
                upsert.addBindValue(int(Res_Ten_Minutes));
                upsert.addBindValue(s.value);
                if (!upsert.exec()) {
                    ok = false;
                    break;
                }
            }
            *span = watch.Elapsed();
            ok = ok && Scalar(name, "SELECT COUNT(*) FROM samples") == int64_t(samples.size());
        }
        if (!ok) {
            std::fprintf(stderr, "bench_saveyield: baseline failed: %s\n",
                         qPrintable(upsert.lastError().text() + db.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

// Medians per sample, in microseconds.
struct Figures {
    std::vector<double> wall;
    std::vector<double> cpu;
    void Add(const Span& span, double samples) {
        wall.push_back(span.wall / samples * 1e6);
        cpu.push_back(span.cpu / samples * 1e6);
    }
    double Wall() const { return bench::median(wall); }
    double Cpu() const { return bench::median(cpu); }
};

int Run(int rounds) {
    const int cpu = bench::pin_to_current_cpu();
    const std::vector<Sample> samples = TenMinuteDownload();
    const double n = double(samples.size());
    Figures program, baseline, unchanged;
    int64_t unchangedChanges = 0;
    bool filesKept = true;
    for (int r = 0; r < rounds; ++r) {
        for (int side = 0; side < 2; ++side) {
            if ((side == 0) == (r % 2 == 0)) {
                ProgramRound round;
                if (!RunProgram(samples, &round)) {
                    return 1;
                }
                program.Add(round.stored, n);
                unchanged.Add(round.unchanged, n);
                unchangedChanges += round.unchangedChanges;
                filesKept = filesKept && round.unchangedFilesKept;
            } else {
                Span span;
                if (!RunBaseline(samples, &span)) {
                    return 1;
                }
                baseline.Add(span, n);
            }
        }
    }
    const double ratio = program.Wall() / baseline.Wall();
    std::printf(
        "bench_saveyield: ten-minute download of 4 modules, %zu samples, fresh database per "
        "round under %s, median of %d rounds, %s\n",
        samples.size(), qPrintable(QDir::tempPath()), rounds,
        cpu >= 0 ? ("pinned to CPU " + std::to_string(cpu)).c_str() : "not pinned");
    std::printf("SaveYield through the channel: %.2f us per sample (main thread; CPU %.2f us)\n",
                program.Wall(), program.Cpu());
    std::printf(
        "plain prepared upsert, one transaction per row: %.2f us per sample (CPU %.2f us)\n",
        baseline.Wall(), baseline.Cpu());
    std::printf("ratio SaveYield/upsert: %.3f (CPU %.3f; target at most %.1f: %s)\n", ratio,
                program.Cpu() / baseline.Cpu(), kTargetRatio,
                ratio <= kTargetRatio ? "met" : "missed");
    std::printf(
        "unchanged re-download: %.2f us per sample (CPU %.2f us), rows written %lld, database "
        "and log files %s\n",
        unchanged.Wall(), unchanged.Cpu(), (long long)unchangedChanges,
        filesKept ? "unchanged" : "CHANGED");
    return unchangedChanges == 0 && filesKept ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("quarnel.debug.debug=false");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int rounds = kDefaultRounds;
    if (argc > 2 || (argc == 2 && !bench::parse_count(argv[1], &rounds))) {
        std::fprintf(stderr, "usage: %s [ROUNDS]\n", argv[0]);
        return 2;
    }
    return Run(rounds);
}

// What storing a download costs the main thread: a ten-minute history download of the four
// modules (4 x 1008 samples) handed to SaveYield one sample at a time as a channel hands it over,
// against the same rows written with one prepared upsert each, and the same download again with
// every value unchanged, which must leave the database as it was.
//
// Every round uses a fresh database from the install step, in a temporary folder (TMPDIR). When
// libpq's PGHOST or PGPORT names a server (scripts/with-postgresql.sh sets them), or with
// --postgresql, the same pair runs again on PostgreSQL, each round on a database of its own
// made there, and the unchanged re-download is measured by what it leaves in the server: rows
// rewritten or locked, identity numbers drawn, and write-ahead log written.
//
// usage: bench_saveyield [--postgresql] [ROUNDS]
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
#include "Store.h"
#include "bench/BenchServer.h"
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
    bool open;  // the period still running: only each module's newest
};

// Newest first, module after module, as the channel downloads them.
std::vector<Sample> TenMinuteDownload() {
    const QDateTime newest(QDate(2024, 6, 20), QTime(23, 0), Qt::UTC);
    std::vector<Sample> samples;
    for (uint8_t module : kModules) {
        for (int i = 0; i < kSamplesPerModule; ++i) {
            samples.push_back({module, newest.addSecs(-600 * qint64(i)),
                               int32_t((i * 7919 + module * 31) % 60000), i == 0});
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

// The server libpq's variables name, and a connection to its maintenance database that makes
// and drops the rounds' databases.
class Server {
public:
    static constexpr const char* Admin = "bench_saveyield_admin";
    bool Open() {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), Admin);
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open()) {
            std::fprintf(stderr, "bench_saveyield: no PostgreSQL server: %s\n",
                         qPrintable(db.lastError().text()));
            return false;
        }
        return true;
    }
    ~Server() {
        if (QSqlDatabase::contains(Admin)) {
            QSqlDatabase::database(Admin, false).close();
            QSqlDatabase::removeDatabase(Admin);
        }
    }
    static bool Run(const QString& sql) {
        return bench::RunStatement("bench_saveyield", QString::fromLatin1(Admin), sql);
    }
};

// A fresh data folder with a database from the install step and one box with its four modules:
// the SQLite file, or a database of that name on the server.
class FreshDatabase {
public:
    FreshDatabase(TEngine engine, QString name) : Engine(engine), Name(std::move(name)) {}
    ~FreshDatabase() {
        if (Made) {
            Server::Run("DROP DATABASE IF EXISTS " + Name + " WITH (FORCE)");
        }
    }
    FreshDatabase(const FreshDatabase&) = delete;
    FreshDatabase& operator=(const FreshDatabase&) = delete;

    bool Create(int32_t* kestId) {
        if (!Dir.isValid()) {
            return false;
        }
        QStringList arguments{Dir.path()};
        if (Engine == TEngine::PostgreSQL) {
            if (!Server::Run("DROP DATABASE IF EXISTS " + Name + " WITH (FORCE)") ||
                !Server::Run("CREATE DATABASE " + Name)) {
                return false;
            }
            Made = true;
            arguments.prepend(bench::ServerUrl(Name));
            arguments.prepend(QStringLiteral("--postgresql"));
        }
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(QUARNEL_INSTALL_SCRIPT), arguments);
        if (!install.waitForFinished(30000) || install.exitCode() != 0) {
            std::fprintf(stderr, "bench_saveyield: install step failed: %s\n",
                         install.readAll().constData());
            return false;
        }
        PrintingView view;
        TUserData data(view, Store());
        *kestId = data.KestsTableAfterInsert();
        return view.Quiet() && *kestId > 0;
    }
    TStore Store() const {
        if (Engine == TEngine::SQLite) {
            return SqliteStore(Path());
        }
        TStore store;
        QString message;
        PostgresStore(bench::ServerUrl(Name), &store, &message);
        return store;
    }
    QString Path() const { return Dir.path() + "/KestUser.sqlite"; }

private:
    TEngine Engine;
    QString Name;
    bool Made = false;
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
        channel.SampleOpen = s.open;
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

// What a write would change. SQLite: the connection's change count, the key sequence, and the
// bytes of the database and its write-ahead log. PostgreSQL: the rows whose version or lock is
// younger than a mark, the identity sequence, and the server's write-ahead log position.
struct Footprint {
    int64_t changes = 0;
    int64_t sequence = 0;
    QByteArray database;
    QByteArray log;
    int64_t locked = 0;
    int64_t logBytes = 0;

    static Footprint Of(const QString& connection, const QString& path) {
        return {Scalar(connection, "SELECT total_changes()"),
                Scalar(connection, "SELECT seq FROM sqlite_sequence WHERE name = 'samples'"),
                FileHash(path), FileHash(path + "-wal")};
    }
    // A transaction number that every later write exceeds.
    static int64_t Mark(const QString& connection) {
        return Scalar(connection, "SELECT pg_current_xact_id()::text::bigint");
    }
    static Footprint OfServer(const QString& connection, int64_t mark) {
        const QString since = QString::number(mark);
        Footprint f;
        f.changes =
            Scalar(connection, "SELECT count(*) FROM samples WHERE xmin::text::bigint > " + since);
        f.locked =
            Scalar(connection, "SELECT count(*) FROM samples WHERE xmax::text::bigint > " + since);
        f.sequence = Scalar(connection,
                            "SELECT coalesce(last_value, 0) FROM pg_sequences WHERE "
                            "sequencename = 'samples_sample_id_seq'");
        f.logBytes = Scalar(connection, "SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), '0/0')");
        return f;
    }
};

struct ProgramRound {
    Span stored;
    Span unchanged;
    int64_t unchangedChanges = 0;
    bool unchangedFilesKept = false;
    // PostgreSQL only: what the unchanged pass left in the server.
    int64_t unchangedLocked = 0;
    int64_t unchangedNumbers = 0;
    int64_t unchangedLogBytes = 0;
};

bool RunProgram(TEngine engine, const QString& name, const std::vector<Sample>& samples,
                ProgramRound* round) {
    FreshDatabase fresh(engine, name);
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
    TUserData data(view, fresh.Store());
    if (!data.IsOpen()) {
        return false;
    }
    round->stored = HandOver(data, *channel, samples);
    const QString connection = data.ConnectionName();
    if (Scalar(connection, "SELECT COUNT(*) FROM samples") != int64_t(samples.size())) {
        std::fprintf(stderr, "bench_saveyield: the program stored %lld of %zu samples\n",
                     (long long)Scalar(connection, "SELECT COUNT(*) FROM samples"), samples.size());
        return false;
    }
    if (engine == TEngine::PostgreSQL) {
        const int64_t mark = Footprint::Mark(connection);
        const Footprint before = Footprint::OfServer(connection, mark);
        round->unchanged = HandOver(data, *channel, samples);
        const Footprint after = Footprint::OfServer(connection, mark);
        round->unchangedChanges = after.changes;
        round->unchangedLocked = after.locked;
        round->unchangedNumbers = after.sequence - before.sequence;
        round->unchangedLogBytes = after.logBytes - before.logBytes;
        round->unchangedFilesKept = after.changes == 0;
        return view.Quiet() && mark > 0;
    }
    const Footprint before = Footprint::Of(connection, fresh.Path());
    round->unchanged = HandOver(data, *channel, samples);
    const Footprint after = Footprint::Of(connection, fresh.Path());
    round->unchangedChanges = after.changes - before.changes;
    round->unchangedFilesKept = after.sequence == before.sequence &&
                                after.database == before.database && after.log == before.log;
    return view.Quiet();
}

// The same rows through one prepared upsert, one transaction per row, with the program's
// settings of the connection.
bool RunBaseline(TEngine engine, const QString& name, const std::vector<Sample>& samples,
                 Span* span) {
    FreshDatabase fresh(engine, name);
    int32_t kest = 0;
    if (!fresh.Create(&kest)) {
        return false;
    }
    const QString connection = QStringLiteral("baseline");
    bool ok = false;
    {
        QSqlDatabase db = AddStoreDatabase(connection, fresh.Store());
        const QStringList settings =
            engine == TEngine::PostgreSQL
                ? QStringList{QStringLiteral("SET synchronous_commit = off")}
                : QStringList{QStringLiteral("PRAGMA foreign_keys = ON"),
                              QStringLiteral("PRAGMA synchronous = NORMAL")};
        QSqlQuery query(db);
        ok = db.open();
        for (const QString& setting : settings) {
            ok = ok && query.exec(setting);
        }
        std::map<int, int32_t> moduleIds;
        if (ok && query.exec("SELECT module_type, module_id FROM modules WHERE module_kest = " +
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
            ok =
                ok && Scalar(connection, "SELECT COUNT(*) FROM samples") == int64_t(samples.size());
        }
        if (!ok) {
            std::fprintf(stderr, "bench_saveyield: baseline failed: %s\n",
                         qPrintable(upsert.lastError().text() + db.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase(connection);
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

struct EngineFigures {
    Figures program, baseline, unchanged;
    int64_t unchangedChanges = 0;
    bool filesKept = true;
    int64_t unchangedLocked = 0;
    int64_t unchangedNumbers = 0;
    int64_t unchangedLogBytes = 0;
};

// The program and the baseline alternate which goes first, round after round.
bool Measure(TEngine engine, int rounds, const std::vector<Sample>& samples, EngineFigures* f) {
    const double n = double(samples.size());
    for (int r = 0; r < rounds; ++r) {
        for (int side = 0; side < 2; ++side) {
            const QString name = QStringLiteral("bench_saveyield_%1_%2").arg(r).arg(side);
            if ((side == 0) == (r % 2 == 0)) {
                ProgramRound round;
                if (!RunProgram(engine, name, samples, &round)) {
                    return false;
                }
                f->program.Add(round.stored, n);
                f->unchanged.Add(round.unchanged, n);
                f->unchangedChanges += round.unchangedChanges;
                f->filesKept = f->filesKept && round.unchangedFilesKept;
                f->unchangedLocked += round.unchangedLocked;
                f->unchangedNumbers += round.unchangedNumbers;
                f->unchangedLogBytes += round.unchangedLogBytes;
            } else {
                Span span;
                if (!RunBaseline(engine, name, samples, &span)) {
                    return false;
                }
                f->baseline.Add(span, n);
            }
        }
    }
    return true;
}

void PrintPair(const char* engine, const EngineFigures& f) {
    const double ratio = f.program.Wall() / f.baseline.Wall();
    std::printf(
        "%s: SaveYield through the channel: %.2f us per sample (main thread; CPU %.2f us)\n",
        engine, f.program.Wall(), f.program.Cpu());
    std::printf(
        "%s: plain prepared upsert, one transaction per row: %.2f us per sample (CPU %.2f us)\n",
        engine, f.baseline.Wall(), f.baseline.Cpu());
    std::printf("%s: ratio SaveYield/upsert: %.3f (CPU %.3f; target at most %.1f: %s)\n", engine,
                ratio, f.program.Cpu() / f.baseline.Cpu(), kTargetRatio,
                ratio <= kTargetRatio ? "met" : "missed");
}

// The server's settings that decide what a commit costs.
void PrintServer() {
    QSqlQuery query(QSqlDatabase::database(Server::Admin, false));
    QStringList shown;
    for (const char* name : {"server_version", "fsync", "synchronous_commit", "shared_buffers"}) {
        if (query.exec(QStringLiteral("SHOW ") + name) && query.next()) {
            shown << QString::fromLatin1(name) + " " + query.value(0).toString();
        }
    }
    std::printf("PostgreSQL server: %s (the program's session: synchronous_commit off)\n",
                qPrintable(shown.join(QStringLiteral(", "))));
}

int Run(int rounds, bool postgres) {
    const int cpu = bench::pin_to_current_cpu();
    const std::vector<Sample> samples = TenMinuteDownload();
    EngineFigures sqlite;
    if (!Measure(TEngine::SQLite, rounds, samples, &sqlite)) {
        return 1;
    }
    std::printf(
        "bench_saveyield: ten-minute download of 4 modules, %zu samples, fresh database per "
        "round under %s, median of %d rounds, %s\n",
        samples.size(), qPrintable(QDir::tempPath()), rounds,
        cpu >= 0 ? ("pinned to CPU " + std::to_string(cpu)).c_str() : "not pinned");
    PrintPair("SQLite", sqlite);
    std::printf(
        "SQLite: unchanged re-download: %.2f us per sample (CPU %.2f us), rows written %lld, "
        "database and log files %s\n",
        sqlite.unchanged.Wall(), sqlite.unchanged.Cpu(), (long long)sqlite.unchangedChanges,
        sqlite.filesKept ? "unchanged" : "CHANGED");
    bool kept = sqlite.unchangedChanges == 0 && sqlite.filesKept;
    if (!postgres) {
        return kept ? 0 : 1;
    }
    Server server;
    EngineFigures pg;
    if (!server.Open() || !Measure(TEngine::PostgreSQL, rounds, samples, &pg)) {
        return 1;
    }
    PrintServer();
    PrintPair("PostgreSQL", pg);
    std::printf("PostgreSQL vs SQLite, SaveYield per sample: %.2fx\n",
                pg.program.Wall() / sqlite.program.Wall());
    const double passes = double(pg.program.wall.size()) * double(samples.size());
    std::printf(
        "PostgreSQL: unchanged re-download: %.2f us per sample (CPU %.2f us), rows written "
        "%lld; per sample: %.2f rows locked, %.2f identity numbers drawn, %.0f bytes of "
        "write-ahead log\n",
        pg.unchanged.Wall(), pg.unchanged.Cpu(), (long long)pg.unchangedChanges,
        double(pg.unchangedLocked) / passes, double(pg.unchangedNumbers) / passes,
        double(pg.unchangedLogBytes) / passes);
    kept = kept && pg.unchangedChanges == 0;
    return kept ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("quarnel.debug.debug=false");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int rounds = kDefaultRounds;
    bool postgres = bench::HasServer();
    int next = 1;
    if (next < argc && std::string(argv[next]) == "--postgresql") {
        postgres = true;
        ++next;
    }
    if (argc - next > 1 || (argc - next == 1 && !bench::parse_count(argv[next], &rounds))) {
        std::fprintf(stderr, "usage: %s [--postgresql] [ROUNDS]\n", argv[0]);
        return 2;
    }
    return Run(rounds, postgres);
}

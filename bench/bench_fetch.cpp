// quarnel-fetch against emulated boxes at all four resolutions, with the box's 80 ms pause after
// every request (the default --request-delay):
//
// 1. A full download (--full) of two boxes side by side, against its floor: the larger box's
//    history requests times 81 ms (the pause and about a millisecond on the wire).
// 2. One box of four present modules: a full download (--full on a fresh database), then the
//    same box an hour later (a new emulator, same seed and installation date, clock one hour on,
//    its port written into the box row) fetched incrementally on the up-to-date database. The
//    hourly run should ask at most 2 % of the full download's requests.
// 3. The same box on a fresh database: an incremental download killed (SIGKILL) once the box has
//    received about half of the full download's history requests, then a second incremental run.
//    That run should ask at most the missing blocks plus two requests per module and resolution
//    (the box's newest slot, and the slot the killed run stored while it was open); see Missing.
//
// The whole bench takes about ten minutes: the full downloads are 2 and 4 minutes, the killed
// run and the one after it about 2 minutes each, the hourly run seconds.
//
// usage: bench_fetch [MODULES]   present modules of the larger box of the two-box run, 1..4 (2);
//                                the smaller has one
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "bench/BenchInstall.h"
#include "bench/BenchSupport.h"
#include "monitor/can/CanObjects.h"
#include "monitor/can/HistorySlots.h"
#include "tools/kestemu/Emulator.h"

namespace {

constexpr double Floor_Ms_Per_Request = 81.0;
constexpr double Hourly_Target = 0.02;

const int Module_Types[] = {128, 4, 8, 12};
const uint8_t Resolutions[] = {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year};

const char* ResolutionName(int resolution) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return "10min";
        case Res_Day:
            return "day";
        case Res_Month:
            return "month";
        default:
            return "year";
    }
}

// One history request as the box received it; Time is null for "the box's newest slot".
struct TAsked {
    int Module = 0;
    int Resolution = 0;
    QDateTime Time;
    int Count = 0;
};

std::vector<TAsked> HistoryRequests(const kestemu::Emulator& box) {
    std::vector<TAsked> asked;
    for (const kestemu::HistoryRequest& r : box.history_requests()) {
        const kestemu::CivilTime& t = r.time;
        asked.push_back(
            {r.module, r.resolution,
             r.timed ? QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute), Qt::UTC)
                     : QDateTime(),
             r.count});
    }
    return asked;
}

using Key = std::pair<int, int>;  // module type, resolution

std::map<Key, int> PerModule(const std::vector<TAsked>& asked) {
    std::map<Key, int> count;
    for (const TAsked& a : asked) {
        ++count[{a.Module, a.Resolution}];
    }
    return count;
}

// Requests per module and resolution, one line each; with blocks, the missing blocks beside them.
std::string PerModuleText(const std::vector<TAsked>& asked,
                          const std::map<Key, int>* blocks = nullptr) {
    std::string text;
    for (const auto& [key, count] : PerModule(asked)) {
        text += "    module " + std::to_string(key.first) + " " + ResolutionName(key.second) +
                ": " + std::to_string(count);
        if (blocks) {
            const auto found = blocks->find(key);
            text += " requests, " + std::to_string(found == blocks->end() ? 0 : found->second) +
                    " missing blocks";
        }
        text += "\n";
    }
    return text;
}

QDateTime Step(const QDateTime& slot, int resolution, int steps) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return slot.addSecs(600 * qint64(steps));
        case Res_Day:
            return slot.addDays(steps);
        case Res_Month:
            return slot.addMonths(steps);
        default:
            return slot.addYears(steps);
    }
}

// The start of the box's current period.
QDateTime CurrentPeriod(const kestemu::CivilTime& now, int resolution) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return QDateTime(QDate(now.year, now.month, now.day),
                             QTime(now.hour, now.minute / 10 * 10), Qt::UTC);
        case Res_Day:
            return QDateTime(QDate(now.year, now.month, now.day), QTime(0, 0), Qt::UTC);
        case Res_Month:
            return QDateTime(QDate(now.year, now.month, 1), QTime(0, 0), Qt::UTC);
        default:
            return QDateTime(QDate(now.year, 1, 1), QTime(0, 0), Qt::UTC);
    }
}

QString Stamp(const QDateTime& slot) {
    return slot.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// Every slot the requests asked for, per module and resolution, as stored time stamps. A request
// without time starts at the box's current period (no run here crosses a period boundary).
std::map<Key, std::set<QString>> AskedSlots(const std::vector<TAsked>& asked,
                                            const kestemu::CivilTime& now) {
    std::map<Key, std::set<QString>> stamps;
    for (const TAsked& a : asked) {
        const QDateTime first = a.Time.isValid() ? a.Time : CurrentPeriod(now, a.Resolution);
        for (int i = 0; i < std::max(a.Count, 1); ++i) {
            stamps[{a.Module, a.Resolution}].insert(Stamp(Step(first, a.Resolution, -i)));
        }
    }
    return stamps;
}

struct TRun {
    int Requests = 0;
    double WallMs = 0;
};

std::unique_ptr<kestemu::Emulator> StartBox(const std::string& clock, const std::string& inverters,
                                            uint32_t seed = 4711) {
    kestemu::Config config;
    config.port = 0;
    config.clock = clock;
    config.installed = "2021-03-15";
    config.seed = seed;
    config.inverters = inverters;
    config.log_connections = false;
    auto box = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    if (!box->start(&error)) {
        std::fprintf(stderr, "bench_fetch: %s\n", error.c_str());
        return nullptr;
    }
    return box;
}

// Runs a statement on the folder's database on a connection of its own.
bool Sql(const QString& folder, const std::function<bool(QSqlDatabase&)>& work) {
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench");
        db.setDatabaseName(folder + "/KestUser.sqlite");
        ok = db.open() && work(db);
        if (!ok) {
            std::fprintf(stderr, "bench_fetch: %s\n", qPrintable(db.lastError().text()));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("bench");
    return ok;
}

bool AddBox(QSqlDatabase& db, const QString& name, int port, int modules) {
    QSqlQuery kest(db);
    kest.prepare(
        "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, "
        "kest_online) VALUES (?, '127.0.0.1', ?, 'Administrator', 'admin1234', 1)");
    kest.addBindValue(name);
    kest.addBindValue(port);
    if (!kest.exec()) {
        std::fprintf(stderr, "bench_fetch: %s\n", qPrintable(kest.lastError().text()));
        return false;
    }
    const QVariant id = kest.lastInsertId();
    for (int i = 0; i < 4; ++i) {
        QSqlQuery module(db);
        module.prepare(
            "INSERT INTO modules (module_kest, module_type, module_color, module_pattern, "
            "module_linetype, module_ispresent, module_ischecked_kwh, module_ischecked_w) "
            "VALUES (?, ?, 0, 0, 0, ?, 0, 0)");
        module.addBindValue(id);
        module.addBindValue(Module_Types[i]);
        module.addBindValue(i < modules ? 1 : 0);
        if (!module.exec()) {
            return false;
        }
    }
    return true;
}

bool SetPort(const QString& folder, int port) {
    return Sql(folder, [&](QSqlDatabase& db) {
        QSqlQuery update(db);
        return update.exec(QStringLiteral("UPDATE kests SET kest_port = %1").arg(port));
    });
}

// Starts quarnel-fetch on the folder; stop, when given, is asked every 50 ms and kills the run
// with SIGKILL once it answers true. False when the run failed or could not be killed.
bool Fetch(const QString& folder, const QStringList& more, TRun* run,
           const std::function<bool()>& stop = {}) {
    QProcess fetch;
    fetch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    fetch.start(QStringLiteral(QUARNEL_FETCH_PROGRAM),
                QStringList{"--data-dir", folder, "--quiet"} + more);
    if (!fetch.waitForStarted()) {
        std::fprintf(stderr, "bench_fetch: quarnel-fetch does not start\n");
        return false;
    }
    if (stop) {
        while (!fetch.waitForFinished(50)) {
            if (stop()) {
                fetch.kill();  // SIGKILL
                fetch.waitForFinished();
                run->WallMs = double(clock.nsecsElapsed()) / 1e6;
                return true;
            }
        }
        std::fprintf(stderr, "bench_fetch: quarnel-fetch ended before it was killed\n");
        return false;
    }
    if (!fetch.waitForFinished(30 * 60 * 1000) || fetch.exitStatus() != QProcess::NormalExit ||
        fetch.exitCode() != 0) {
        std::fprintf(stderr, "bench_fetch: quarnel-fetch failed: %s\n",
                     fetch.readAllStandardOutput().constData());
        return false;
    }
    run->WallMs = double(clock.nsecsElapsed()) / 1e6;
    return true;
}

bool FreshFolder(QTemporaryDir& folder) {
    return folder.isValid() && bench::install_data_folder("bench_fetch", folder.path());
}

// What the database lacks after the killed run, per module and resolution: the slots a full
// download of the same box asks for (window), minus the samples stored, minus the closed
// ranges the box answered "no value" for that history_reach records. A perfect incremental run
// must read each of them once, and one request carries up to SlotsPerRequest consecutive slots,
// so a run of n consecutive missing slots is ceil(n / SlotsPerRequest) blocks. HoldValue counts
// the missing slots the box has a value for; the rest are slots before the installation that
// the killed run had not yet learnt to be empty.
struct TMissing {
    int Slots = 0;
    int Blocks = 0;
    int HoldValue = 0;
    std::map<Key, int> BlocksOf;  // per module and resolution
};

bool Missing(const QString& folder, const std::map<Key, std::set<QString>>& window,
             const kestemu::Emulator& box, TMissing* missing) {
    std::set<std::tuple<int, int, QString>> known;
    std::vector<std::tuple<int, int, QString, QString>> empty;  // type, resolution, first, last
    const bool read = Sql(folder, [&](QSqlDatabase& db) {
        QSqlQuery samples(db);
        if (!samples.exec("SELECT module_type, sample_resolution, sample_timestamp FROM samples "
                          "JOIN modules ON module_id = sample_module")) {
            return false;
        }
        while (samples.next()) {
            known.insert(
                {samples.value(0).toInt(), samples.value(1).toInt(), samples.value(2).toString()});
        }
        QSqlQuery reach(db);
        if (!reach.exec("SELECT module_type, reach_resolution, reach_first, reach_last FROM "
                        "history_reach JOIN modules ON module_id = reach_module "
                        "WHERE reach_open = 0")) {
            return false;
        }
        while (reach.next()) {
            empty.emplace_back(reach.value(0).toInt(), reach.value(1).toInt(),
                               reach.value(2).toString(), reach.value(3).toString());
        }
        return true;
    });
    if (!read) {
        return false;
    }
    const kestemu::CivilTime now = box.now();
    for (const auto& [key, stamps] : window) {
        const int module = key.first;
        const int resolution = key.second;
        int run = 0;
        const auto endRun = [&] {
            missing->BlocksOf[key] += (run + SlotsPerRequest(uint8_t(resolution)) - 1) /
                                      SlotsPerRequest(uint8_t(resolution));
            missing->Blocks += (run + SlotsPerRequest(uint8_t(resolution)) - 1) /
                               SlotsPerRequest(uint8_t(resolution));
            run = 0;
        };
        for (auto slot = stamps.rbegin(); slot != stamps.rend(); ++slot) {  // newest first
            bool lacking = known.count(std::make_tuple(module, resolution, *slot)) == 0;
            for (const auto& [m, r, first, last] : empty) {
                lacking =
                    lacking && !(m == module && r == resolution && first <= *slot && *slot <= last);
            }
            if (!lacking) {
                endRun();
                continue;
            }
            ++run;
            ++missing->Slots;
            const QDateTime t = QDateTime::fromString(*slot, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            const kestemu::CivilTime civil{t.date().year(), t.date().month(),  t.date().day(),
                                           t.time().hour(), t.time().minute(), 0};
            missing->HoldValue +=
                box.model().yield(uint8_t(module), uint8_t(resolution), civil, now) ? 1 : 0;
        }
        endRun();
    }
    return true;
}

const char* Met(bool met) {
    return met ? "met" : "NOT met";
}

// 1. Two boxes side by side, full download, against the floor.
bool TwoBoxes(int modules) {
    QTemporaryDir folder;
    if (!FreshFolder(folder)) {
        return false;
    }
    const auto large = StartBox("2026-06-20 23:00", "ABC", 1);
    const auto small = StartBox("2026-06-20 23:00", "A", 1);
    if (!large || !small || !Sql(folder.path(), [&](QSqlDatabase& db) {
            return AddBox(db, "Large", large->port(), modules) &&
                   AddBox(db, "Small", small->port(), 1);
        })) {
        return false;
    }
    TRun run;
    if (!Fetch(folder.path(), {"--full"}, &run)) {
        return false;
    }
    const int largeRequests = int(HistoryRequests(*large).size());
    const int smallRequests = int(HistoryRequests(*small).size());
    const int most = std::max(largeRequests, smallRequests);
    const double floorMs = most * Floor_Ms_Per_Request;
    std::printf(
        "bench_fetch: two boxes, --full, four resolutions, 80 ms pause (%d and 1 modules)\n",
        modules);
    std::printf("  history requests   %6d larger box, %d smaller box\n", largeRequests,
                smallRequests);
    std::printf("  wall time          %9.1f s\n", run.WallMs / 1000);
    std::printf("  design floor       %9.1f s   (%d requests x 81 ms)\n", floorMs / 1000, most);
    std::printf("  ratio              %9.3f     (target: within 5 %%, 1.05)\n",
                run.WallMs / floorMs);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int modules = 2;
    if (argc > 1 && (!bench::parse_count(argv[1], &modules) || modules > 4)) {
        std::fprintf(stderr, "usage: bench_fetch [MODULES 1..4]\n");
        return 2;
    }
    if (!TwoBoxes(modules)) {
        return 1;
    }

    // 2. One box of four modules: --full on a fresh database, then the box an hour later.
    const std::string clock = "2026-06-20 12:03";
    QTemporaryDir upToDate;
    if (!FreshFolder(upToDate)) {
        return 1;
    }
    const auto box = StartBox(clock, "ABC");
    if (!box || !Sql(upToDate.path(),
                     [&](QSqlDatabase& db) { return AddBox(db, "Roof", box->port(), 4); })) {
        return 1;
    }
    TRun full;
    if (!Fetch(upToDate.path(), {"--full"}, &full)) {
        return 1;
    }
    const std::vector<TAsked> fullAsked = HistoryRequests(*box);
    full.Requests = int(fullAsked.size());
    const std::map<Key, std::set<QString>> window = AskedSlots(fullAsked, box->now());

    const auto later = StartBox("2026-06-20 13:03", "ABC");
    if (!later || !SetPort(upToDate.path(), later->port())) {
        return 1;
    }
    TRun hourly;
    if (!Fetch(upToDate.path(), {}, &hourly)) {
        return 1;
    }
    const std::vector<TAsked> hourlyAsked = HistoryRequests(*later);
    hourly.Requests = int(hourlyAsked.size());
    const double hourlyRatio = double(hourly.Requests) / full.Requests;
    const double floorMs = full.Requests * Floor_Ms_Per_Request;
    std::printf("\nbench_fetch: one box of 4 modules, four resolutions, 80 ms pause\n");
    std::printf("  full download (--full, fresh database)\n");
    std::printf("    history requests %6d\n", full.Requests);
    std::printf("    wall time        %9.1f s\n", full.WallMs / 1000);
    std::printf("    design floor     %9.1f s   (%d requests x 81 ms), ratio %.3f (target 1.05)\n",
                floorMs / 1000, full.Requests, full.WallMs / floorMs);
    std::printf("  hourly run (same box an hour later, up-to-date database)\n");
    std::printf("    history requests %6d\n", hourly.Requests);
    std::printf("    wall time        %9.1f s\n", hourly.WallMs / 1000);
    std::printf("%s", PerModuleText(hourlyAsked).c_str());
    std::printf("  hourly / full      requests %.4f, wall time %.4f\n", hourlyRatio,
                hourly.WallMs / full.WallMs);
    std::printf("  target: hourly requests at most 2 %% of the full download's: %s\n",
                Met(hourlyRatio <= Hourly_Target));
    std::fflush(stdout);

    // 3. The same box on a fresh database: killed at half-way, then run again.
    QTemporaryDir killed;
    if (!FreshFolder(killed)) {
        return 1;
    }
    const auto again = StartBox(clock, "ABC");
    if (!again || !Sql(killed.path(),
                       [&](QSqlDatabase& db) { return AddBox(db, "Roof", again->port(), 4); })) {
        return 1;
    }
    const int half = full.Requests / 2;
    TRun first;
    if (!Fetch(killed.path(), {}, &first,
               [&] { return int(HistoryRequests(*again).size()) >= half; })) {
        return 1;
    }
    first.Requests = int(HistoryRequests(*again).size());
    TMissing missing;
    if (!Missing(killed.path(), window, *again, &missing)) {
        return 1;
    }
    again->clear_received();
    TRun resumed;
    if (!Fetch(killed.path(), {}, &resumed)) {
        return 1;
    }
    const std::vector<TAsked> resumedAsked = HistoryRequests(*again);
    resumed.Requests = int(resumedAsked.size());
    const int pairs = 4 * 4;
    const int budget = missing.Blocks + 2 * pairs;
    const double resumedRatio = double(resumed.Requests) / budget;
    std::printf("  killed run (incremental, fresh database, SIGKILL at %d history requests)\n",
                first.Requests);
    std::printf("    wall time        %9.1f s\n", first.WallMs / 1000);
    std::printf("  run after it\n");
    std::printf("    history requests %6d\n", resumed.Requests);
    std::printf("    wall time        %9.1f s\n", resumed.WallMs / 1000);
    std::printf("%s", PerModuleText(resumedAsked, &missing.BlocksOf).c_str());
    std::printf(
        "    missing slots    %6d   (of the full download's slots: not stored, not "
        "recorded as no value; %d with a value on the box)\n",
        missing.Slots, missing.HoldValue);
    std::printf(
        "    missing blocks   %6d   (each run of n missing slots: ceil(n / 10) for "
        "10min, n otherwise)\n",
        missing.Blocks);
    std::printf("    modules x res.   %6d\n", pairs);
    std::printf("  requests / (missing blocks + 2 x modules x resolutions) = %d / %d = %.3f\n",
                resumed.Requests, budget, resumedRatio);
    std::printf(
        "  target: at most the missing blocks plus two requests per module and "
        "resolution (ratio <= 1): %s\n",
        Met(resumedRatio <= 1.0));
    return 0;
}

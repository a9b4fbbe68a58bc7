// Box faults end to end. Each *.scenario file in this folder is one test: the program's windows
// on a fresh data folder, kestemu boxes in-process and quarnel-fetch as a child process, driven
// step by step. One step a line; '#' starts a comment; "..." keeps spaces in one word. Every
// session the program opens gets short link time-outs and a 1 ms pause between requests; every
// wait measures the main thread's longest stand-still, checked against the gap limit at the end.
// The first failed step ends the scenario.
//
//   boxes N [idleK=MS]       N boxes named Roof, Shed, Barn (box1..boxN) and the windows; a box
//                            with idleK drops a link that was idle that long
//   known-fault "WHY"        the scenario is skipped until the product fault WHY is mended
//   gap-limit MS             the longest the main thread's event loop may stand still (3000)
//   live                     the current performance view with each box's total ticked
//   download [all]           the 10-minute history view, Total and A (or all) ticked, "Get data"
//   view history | current   shows that view (the live scan runs only in the current one)
//   fetch start [ARGS...]    quarnel-fetch on the data folder, request delay 0, ARGS appended
//   fault boxK off | fault boxK key=value...   switch a box's faults (kestemu::Faults names)
//   wait live N [boxK]       N fresh power readings of every inverter of the box (default: all)
//   wait samples N boxK      the box has at least N stored samples
//   wait download            the download window has closed itself
//   wait boxK dropped        the box holds no open connection
//   fetch wait exit=N        quarnel-fetch ends with that exit code
//   action tick boxK         what a user does after a lost session: ticks the box's total again
//   action download          "Get data" once more
//   expect notification "LINE"   the next notification line to appear is LINE
//   expect notifications N   exactly N notification lines so far
//   expect boxK connected | expect boxK disconnected | expect boxK no-power
//   expect output "TEXT"     quarnel-fetch's output holds TEXT
//   snapshot                 remember every stored sample
//   expect stored-unchanged  every remembered sample is still stored once, with its value
//   expect stored-model boxK [complete]   the box's stored samples are the model's (all of them);
//                            the period the box's clock is in still grows and counts only once
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlTableModel>
#include <QTemporaryFile>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <set>

#include "link/Pc2Lan.h"
#include "monitor/can/CanObjects.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/CheckList.h"
#include "monitor/ui/Dialogs.h"
#include "monitor/ui/DownloadFrm.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/Quarnel.h"
#include "monitor/ui/frmMain.h"
#include "tests/data/DataHarness.h"

namespace {

using namespace std::chrono_literals;
using cantest::WaitFor;

// Short link time-outs for every session the program opens, so that a box that stops answering
// costs well under a second; the connect itself still runs on the library's defaults.
constexpr int32_t Io_Timeout_Ms = 400;
constexpr int32_t Reply_Timeout_Ms = 600;
// A connect to a box that does not answer its login blocks the main thread for the link's
// default reply time-out of 2500 ms; half a second more is scheduling. A real hang is far longer.
constexpr qint64 Default_Gap_Limit_Ms = 3000;
const char* const Kest_Names[] = {"Roof", "Shed", "Barn"};

// (kest name, module type, resolution, time stamp) -> yield; a key seen twice counts in Doubles.
using Key = std::tuple<QString, int, int, QString>;
struct Stored {
    std::map<Key, int64_t> Values;
    int Doubles = 0;
};

QStringList Words(const QString& line) {
    QStringList words;
    QString word;
    bool quoted = false, any = false;
    for (QChar c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && c == '#') {
            break;
        } else if (!quoted && c.isSpace()) {
            if (any) {
                words << word;
            }
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) {
        words << word;
    }
    return words;
}

class Runner {
public:
    Runner() {
        Dialogs::TakeAsked();
        Probe.setInterval(10);
        QObject::connect(&Probe, &QTimer::timeout, [this] { Tick(); });
    }
    ~Runner() {
        Probe.stop();
        if (FetchPid > 0) {
            kill(FetchPid, SIGKILL);
            waitpid(FetchPid, nullptr, 0);
        }
        Program.reset();
        for (auto& box : Boxes) {
            box->stop();
        }
        QSqlDatabase::database(Side).close();
        QSqlDatabase::removeDatabase(Side);
        Folder.reset();
        Dialogs::TakeAsked();
    }

    void Run(const QString& path) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text)) << path.toStdString();
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < lines.size() && !::testing::Test::HasFatalFailure(); ++i) {
            const QStringList words = Words(lines[i]);
            if (words.isEmpty()) {
                continue;
            }
            SCOPED_TRACE("line " + std::to_string(i + 1) + ": " + lines[i].trimmed().toStdString());
            QElapsedTimer step;
            step.start();
            Step(words);
            if (step.elapsed() > 1000) {
                std::printf("[ scenario ] line %d took %lld ms\n", i + 1, step.elapsed());
            }
            if (::testing::Test::HasFailure() || ::testing::Test::IsSkipped()) {
                break;  // later steps would only repeat the first failure
            }
        }
        std::printf("[ scenario ] %s: longest event-loop gap %lld ms (limit %lld), %lld ms\n",
                    QFileInfo(path).fileName().toLocal8Bit().constData(), LongestGap, GapLimit,
                    clock.elapsed());
        EXPECT_LE(LongestGap, GapLimit) << "the main thread stood still";
    }

private:
    void Step(const QStringList& w) {
        const QString verb = w[0];
        const QString what = w.value(1);
        if (verb == "boxes") {
            StartBoxes(w);
        } else if (verb == "known-fault") {
            GTEST_SKIP() << what.toStdString();
        } else if (verb == "gap-limit") {
            GapLimit = what.toLongLong();
        } else if (verb == "live") {
            Main().ClickMenuNode(Node_Current);
            // Each box's total asks all three inverters, and the scan stays quick.
            TCheckList& list = *Main().OvcCheckListSelectedForW;
            for (int i = 0; i < list.count(); ++i) {
                list.SetChecked(i, list.item(i)->text().endsWith("(Total)"));
            }
            // The scan's first round, without waiting out its start interval.
            Main().ACPowerScanTimerTimer();
        } else if (verb == "download" || (verb == "action" && what == "download")) {
            if (verb == "download") {
                Main().ClickMenuNode(Node_Per10Minutes);
                TCheckList& list = *Main().OvcCheckListSelectedForkWh;
                for (int i = 0; i < list.count(); ++i) {
                    list.SetChecked(i, what == "all" || list.item(i)->text().endsWith("(Total)") ||
                                           list.item(i)->text().endsWith("(A)"));
                }
            }
            Main().LabelGetDataClick();
        } else if (verb == "action" && what == "tick") {
            TCheckList& list = *Main().OvcCheckListSelectedForW;
            for (int i = 0; i < list.count(); ++i) {
                if (list.item(i)->text() == Name(w.value(2)) + " (Total)") {
                    list.SetChecked(i, true);
                }
            }
        } else if (verb == "view") {
            Main().ClickMenuNode(what == "current" ? Node_Current : Node_Per10Minutes);
        } else if (verb == "fault") {
            SetFaults(w);
        } else if (verb == "wait") {
            Wait(w);
        } else if (verb == "fetch") {
            Fetch(w);
        } else if (verb == "snapshot") {
            Snapshot = Read();
        } else if (verb == "expect") {
            Expect(w);
        } else {
            FAIL() << "unknown step " << verb.toStdString();
        }
    }

    void StartBoxes(const QStringList& w) {
        Folder = std::make_unique<datatest::DataFolderFixture>();
        QSqlDatabase side = QSqlDatabase::addDatabase("QSQLITE", Side);
        side.setDatabaseName(Folder->DatabasePath());
        ASSERT_TRUE(side.open());
        Program = std::make_unique<TQuarnelWindows>();
        for (int k = 0; k < w.value(1).toInt() && k < 3; ++k) {
            kestemu::Config config = datatest::BoxConfig("2024-06-20 12:30");
            config.seed = 4711 + k;
            for (const QString& option : w.mid(2)) {
                if (option.startsWith(QString("idle%1=").arg(k + 1))) {
                    config.idle_limit_ms = option.section('=', 1).toInt();
                }
            }
            datatest::StartBoxInto(Boxes, config);
            datatest::KestSpec spec;
            spec.Name = Kest_Names[k];
            spec.Port = Boxes.back()->port();
            Kests.push_back(datatest::AddKestRow(*Main().UserData(), spec));
        }
        Main().UserData()->KestsTable->select();
        Gap.start();
        Probe.start();
    }

    void SetFaults(const QStringList& w) {
        kestemu::Emulator& box = Box(w.value(1));
        kestemu::Faults f;
        for (const QString& option : w.mid(2)) {
            const QString key = option.section('=', 0, 0);
            const QString value = option.section('=', 1);
            const std::map<QString, int*> numbers{{"silent_after", &f.silent_after},
                                                  {"close_after", &f.close_after},
                                                  {"skip_frames", &f.skip_frames},
                                                  {"delay_ms", &f.delay_ms}};
            const std::map<QString, bool*> flags{{"stale_sequence", &f.stale_sequence},
                                                 {"split_reply", &f.split_reply},
                                                 {"short_reply", &f.short_reply},
                                                 {"garbage", &f.garbage},
                                                 {"refuse_logins", &f.refuse_logins}};
            if (numbers.count(key)) {
                *numbers.at(key) = value.toInt();
            } else if (flags.count(key)) {
                *flags.at(key) = value != "0";
            } else if (key == "can_timeout_probability") {
                f.can_timeout_probability = value.toDouble();
            } else if (key != "off") {
                FAIL() << "unknown fault " << key.toStdString();
            }
        }
        box.set_faults(f);
    }

    void Wait(const QStringList& w) {
        const QString what = w.value(1);
        if (what == "live") {
            for (int k = 0; k < int(Boxes.size()); ++k) {
                if (w.size() < 4 || Index(w[3]) == k) {
                    for (int n = 0; n < w[2].toInt(); ++n) {
                        ASSERT_TRUE(FreshPower(k)) << Name(k).toStdString() << " gives no power";
                    }
                }
            }
        } else if (what == "samples") {
            const int k = Index(w.value(3));
            ASSERT_TRUE(Until([&] { return StoredOf(k) >= w[2].toInt(); }, 60s))
                << StoredOf(k) << " samples of " << Name(k).toStdString();
        } else if (what == "download") {
            ASSERT_TRUE(Until([&] { return !Program->DownloadForm->isVisible(); }, 90s))
                << "the download window stays open";
        } else if (w.value(2) == "dropped") {
            ASSERT_TRUE(Until([&] { return Box(what).open_connections() == 0; }, 10s));
        } else {
            FAIL() << "unknown wait " << what.toStdString();
        }
    }

    // Zeroes the box's inverter powers and waits until every one has been read afresh.
    bool FreshPower(int k) {
        if (TCANMessages* channel = Main().Sessions()->ChannelOfKest(Kests[k])) {
            channel->PowerA = channel->PowerB = channel->PowerC = 0;
        }
        return Until(
            [&] {
                TCANMessages* c = Main().Sessions()->ChannelOfKest(Kests[k]);
                return c != nullptr && Main().Sessions()->IsKestConnected(Kests[k]) &&
                       c->PowerA > 0 && c->PowerB > 0 && c->PowerC > 0;
            },
            15s);
    }

    void Fetch(const QStringList& w) {
        if (w.value(1) == "start") {
            ASSERT_LE(FetchPid, 0) << "quarnel-fetch runs already";
            FetchLog = std::make_unique<QTemporaryFile>();
            ASSERT_TRUE(FetchLog->open());
            FetchPid = datatest::StartProgram(
                QUARNEL_FETCH_PROGRAM,
                QStringList{"--data-dir", Folder->Folder(), "--request-delay", "0"} + w.mid(2),
                FetchLog->handle());
            ASSERT_GT(FetchPid, 0);
            return;
        }
        ASSERT_GT(FetchPid, 0) << "quarnel-fetch was not started";
        int status = 0;
        const bool ended = Until([&] { return waitpid(FetchPid, &status, WNOHANG) > 0; }, 90s);
        if (!ended) {
            kill(FetchPid, SIGKILL);
            waitpid(FetchPid, &status, 0);
        }
        FetchPid = -1;
        FetchLog->seek(0);
        FetchOutput = QString::fromLocal8Bit(FetchLog->readAll());
        ASSERT_TRUE(ended) << "quarnel-fetch hangs:\n" << FetchOutput.toStdString();
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        EXPECT_EQ("exit=" + QString::number(code), w.value(2)) << FetchOutput.toStdString();
    }

    void Expect(const QStringList& w) {
        const QString what = w.value(1);
        if (what == "notification") {
            int found = -1;
            Until([&] {
                const QStringList lines = Program->NotificationForm->Lines();
                found = lines.indexOf(w.value(2), Seen);
                return found >= 0;
            });
            ASSERT_GE(found, 0) << "no line \"" << w.value(2).toStdString() << "\" after line "
                                << Seen << " in\n"
                                << Program->NotificationForm->Lines().join('\n').toStdString();
            EXPECT_EQ(found, Seen) << "lines before it:\n"
                                   << Program->NotificationForm->Lines().join('\n').toStdString();
            Seen = found + 1;
        } else if (what == "notifications") {
            EXPECT_EQ(Program->NotificationForm->Lines().size(), w.value(2).toInt())
                << Program->NotificationForm->Lines().join('\n').toStdString();
        } else if (w.value(2) == "connected" || w.value(2) == "disconnected") {
            const int32_t kest = Kests[Index(what)];
            const bool want = w[2] == "connected";
            EXPECT_TRUE(Until([&] {
                return !Main().SessionCodeBusy() &&
                       Main().Sessions()->IsKestConnected(kest) == want &&
                       (want || Main().Sessions()->ChannelOfKest(kest) == nullptr);
            })) << what.toStdString()
                << " is not " << w[2].toStdString();
        } else if (w.value(2) == "no-power") {
            const int32_t kest = Kests[Index(what)];
            EXPECT_TRUE(Until([&] {
                const TCANMessages* c = Main().Sessions()->ChannelOfKest(kest);
                return c != nullptr && c->PowerA == 0 && c->PowerB == 0 && c->PowerC == 0;
            })) << what.toStdString()
                << " still shows power";
        } else if (what == "output") {
            EXPECT_TRUE(FetchOutput.contains(w.value(2))) << FetchOutput.toStdString();
        } else if (what == "stored-unchanged") {
            const Stored now = Read();
            EXPECT_EQ(now.Doubles, 0);
            int missing = 0;
            for (const auto& [key, value] : Snapshot.Values) {
                const auto it = now.Values.find(key);
                missing += it == now.Values.end() || (it->second != value && !Growing(key)) ? 1 : 0;
            }
            EXPECT_EQ(missing, 0) << "of " << Snapshot.Values.size() << " samples";
        } else if (what == "stored-model") {
            ModelHolds(Index(w.value(2)), w.value(3) == "complete");
        } else {
            FAIL() << "unknown expectation " << what.toStdString();
        }
    }

    static kestemu::CivilTime PeriodOf(int resolution, const kestemu::CivilTime& t) {
        switch (resolution) {
            case Res_Ten_Minutes:
                return {t.year, t.month, t.day, t.hour, t.minute / 10 * 10, 0};
            case Res_Day:
                return {t.year, t.month, t.day, 0, 0, 0};
            case Res_Month:
                return {t.year, t.month, 1, 0, 0, 0};
            default:
                return {t.year, 1, 1, 0, 0, 0};
        }
    }

    // A sample of the period the box is in still grows while the test runs.
    bool Growing(const Key& key) const {
        const QDateTime t = QDateTime::fromString(std::get<3>(key), "yyyy-MM-dd HH:mm:ss");
        const kestemu::CivilTime civil{t.date().year(), t.date().month(),  t.date().day(),
                                       t.time().hour(), t.time().minute(), 0};
        for (size_t k = 0; k < Boxes.size(); ++k) {
            if (Name(int(k)) == std::get<0>(key)) {
                return civil == PeriodOf(std::get<2>(key), Boxes[k]->now());
            }
        }
        return false;
    }

    // Every stored sample of the box is the model's; complete: every period the download asks
    // for, newest first from the box's current period, is stored for each resolution stored.
    void ModelHolds(int k, bool complete) {
        const Stored stored = Read();
        EXPECT_EQ(stored.Doubles, 0);
        const kestemu::Emulator& box = *Boxes[size_t(k)];
        const kestemu::CivilTime now = box.now();
        std::map<std::pair<int, int>, int> counts;
        int wrong = 0;
        for (const auto& [key, value] : stored.Values) {
            if (std::get<0>(key) != Name(k)) {
                continue;
            }
            ++counts[{std::get<1>(key), std::get<2>(key)}];
            const auto model = datatest::ModelYield(
                box, now, std::get<1>(key), uint8_t(std::get<2>(key)),
                QDateTime::fromString(std::get<3>(key), "yyyy-MM-dd HH:mm:ss"));
            wrong += !Growing(key) && (!model || !datatest::SameYield(value, *model)) ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0) << "stored samples of " << Name(k).toStdString() << " differ";
        EXPECT_FALSE(counts.empty()) << "nothing stored for " << Name(k).toStdString();
        if (!complete) {
            return;
        }
        for (const auto& [moduleResolution, count] : counts) {
            const auto [module, resolution] = moduleResolution;
            const size_t expected =
                datatest::ModelDownload(box, now, module, uint8_t(resolution)).size();
            EXPECT_EQ(size_t(count), expected)
                << Name(k).toStdString() << " module " << module << " resolution " << resolution;
        }
    }

    // Every stored sample, read on a connection of its own as another program would.
    Stored Read() {
        QSqlQuery query(QSqlDatabase::database(Side));
        EXPECT_TRUE(query.exec(
            "SELECT k.kest_name, m.module_type, s.sample_resolution, s.sample_timestamp, "
            "s.sample_yield FROM samples s JOIN modules m ON m.module_id = s.sample_module "
            "JOIN kests k ON k.kest_id = m.module_kest"));
        Stored stored;
        while (query.next()) {
            const Key key{query.value(0).toString(), query.value(1).toInt(), query.value(2).toInt(),
                          query.value(3).toString()};
            stored.Doubles += stored.Values.count(key) ? 1 : 0;
            stored.Values[key] = query.value(4).toLongLong();
        }
        return stored;
    }

    int StoredOf(int k) {
        QSqlQuery query(QSqlDatabase::database(Side));
        query.prepare(
            "SELECT COUNT(*) FROM samples s JOIN modules m ON m.module_id = s.sample_module "
            "WHERE m.module_kest = ?");
        query.addBindValue(Kests[size_t(k)]);
        return query.exec() && query.next() ? query.value(0).toInt() : -1;
    }

    // Runs the event loop until condition holds. The stand-still is measured only while the loop
    // runs: the runner's own reading and comparing between waits is no stand-still of the program.
    bool Until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
        Gap.restart();
        const bool held = WaitFor(condition, limit);
        LongestGap = std::max(LongestGap, Gap.elapsed());
        return held;
    }

    // Every 10 ms: the event loop's pulse, and short time-outs for sessions opened since.
    void Tick() {
        LongestGap = std::max(LongestGap, Gap.restart());
        if (!Program || Main().SessionCodeBusy()) {
            return;
        }
        for (const auto& channel : Main().Sessions()->Channels) {
            if (channel->InterfaceType() == Interface_Link && !Shortened.count(channel.get())) {
                Shortened.insert(channel.get());
                channel->RequestDelay = 1;
                Pc2Lan_Set_Com_Param(channel->LinkHandle(), Io_Timeout_Ms, Reply_Timeout_Ms);
            }
        }
        // A freed channel's address may come back for the next session.
        std::set<const TCANMessages*> live;
        for (const auto& channel : Main().Sessions()->Channels) {
            live.insert(channel.get());
        }
        std::erase_if(Shortened, [&](const TCANMessages* c) { return !live.count(c); });
        Gap.restart();
    }

    TMainForm& Main() { return *Program->MainForm; }
    int Index(const QString& box) const {
        const int k = box.startsWith("box") ? box.mid(3).toInt() - 1 : -1;
        EXPECT_TRUE(k >= 0 && k < int(Boxes.size())) << "no box " << box.toStdString();
        return std::clamp(k, 0, int(Boxes.size()) - 1);
    }
    kestemu::Emulator& Box(const QString& box) { return *Boxes[size_t(Index(box))]; }
    QString Name(int k) const { return QString::fromLatin1(Kest_Names[k]); }
    QString Name(const QString& box) const { return Name(Index(box)); }

    const QString Side = QStringLiteral("scenario-side");
    std::unique_ptr<datatest::DataFolderFixture> Folder;
    std::unique_ptr<TQuarnelWindows> Program;
    std::vector<std::unique_ptr<kestemu::Emulator>> Boxes;
    std::vector<int32_t> Kests;
    std::set<const TCANMessages*> Shortened;
    QTimer Probe;
    QElapsedTimer Gap;
    qint64 LongestGap = 0;
    qint64 GapLimit = Default_Gap_Limit_Ms;
    int Seen = 0;  // notification lines matched so far
    Stored Snapshot;
    pid_t FetchPid = -1;
    std::unique_ptr<QTemporaryFile> FetchLog;
    QString FetchOutput;
};

class Scenario : public ::testing::TestWithParam<std::string> {};

TEST_P(Scenario, Run) {
    ASSERT_FALSE(GetParam().empty()) << "no scenario files";
    Runner runner;
    runner.Run(QStringLiteral(QUARNEL_SCENARIO_DIR "/") + QString::fromStdString(GetParam()) +
               ".scenario");
}

std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    for (const QString& name : QStringLiteral(QUARNEL_SCENARIOS).split(',')) {
        names.push_back(name.toStdString());
    }
    return names;
}

INSTANTIATE_TEST_SUITE_P(Faults, Scenario, ::testing::ValuesIn(ScenarioNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name.empty() ? std::string("none") : name;
                         });

}  // namespace

// What quarnel-fetch asks a box for once the database holds history: read from the emulated box's
// frame log, request by request, against what the database held before the run.
#include <signal.h>
#include <unistd.h>

#include <QSqlQuery>
#include <QTemporaryFile>
#include <QThread>
#include <map>
#include <set>

#include "monitor/can/CanObjects.h"
#include "monitor/can/HistorySlots.h"
#include "monitor/data/Coverage.h"
#include "tests/data/DataHarness.h"

namespace datatest {
namespace {

// One history request as the box received it; Time is null for a request without time.
struct TAsked {
    int Module = 0;
    int Resolution = 0;
    QDateTime Time;
    int Weekday = 0;
    int Count = 0;
};

std::vector<TAsked> HistoryRequests(const kestemu::Emulator& box) {
    std::vector<TAsked> asked;
    for (const kestemu::HistoryRequest& r : box.history_requests()) {
        const kestemu::CivilTime& t = r.time;
        asked.push_back(
            {r.module, r.resolution,
             r.timed ? NaiveDateTime(t.year, t.month, t.day, t.hour, t.minute) : QDateTime(),
             r.weekday, r.count});
    }
    return asked;
}

using Key = std::pair<int, int>;  // module, resolution

std::map<Key, int> PerModule(const std::vector<TAsked>& asked) {
    std::map<Key, int> count;
    for (const TAsked& a : asked) {
        ++count[{a.Module, a.Resolution}];
    }
    return count;
}

class IncrementalTest : public MonitorTest {
protected:
    // A box whose clock starts at that time, listed in the database with all four modules.
    int32_t AddBox(const std::string& clock, const std::string& installed = "2021-03-15") {
        kestemu::Config config = BoxConfig(clock);
        config.installed = installed;
        KestSpec spec;
        spec.Port = StartBox(config).port();
        return AddKest(spec);
    }

    // The same box as seen later: its clock moved on to that time.
    kestemu::Emulator& Later(int32_t kestId, const std::string& clock) {
        kestemu::Config config = BoxConfig(clock);
        config.installed = Installed;
        kestemu::Emulator& box = StartBox(config);
        Folder->Sql(QStringLiteral("UPDATE kests SET kest_port = %1 WHERE kest_id = %2")
                        .arg(box.port())
                        .arg(kestId));
        return box;
    }

    QString Fetch(QStringList more = {}) {
        QByteArray output;
        const int code = RunProgram(
            QUARNEL_FETCH_PROGRAM,
            QStringList{"--data-dir", Folder->Folder(), "--request-delay", "0", "--quiet"} + more,
            &output);
        EXPECT_EQ(code, 0) << output.toStdString();
        return QString::fromLocal8Bit(output);
    }

    // Every period the box holds a value for is stored with the box's value; the current one,
    // which grows while the run goes on, only stored.
    ::testing::AssertionResult HoldsModel(int32_t kestId, const kestemu::Emulator& box,
                                          const std::vector<uint8_t>& resolutions) {
        const StoredSamples stored = SamplesOfKest(*UserData, kestId);
        for (int module : {128, 4, 8, 12}) {
            for (uint8_t resolution : resolutions) {
                const kestemu::CivilTime now = box.now();
                const QDateTime current = DownloadPeriod(now, resolution, 0);
                for (const auto& [period, value] : ModelDownload(box, now, module, resolution)) {
                    const auto found = stored.find({module, resolution, SampleTimestamp(period)});
                    if (found == stored.end() ||
                        (period != current && !SameYield(found->second, value))) {
                        return ::testing::AssertionFailure()
                               << "module " << module << " resolution " << int(resolution) << " at "
                               << SampleTimestamp(period).toStdString()
                               << (found == stored.end() ? " not stored" : " stored wrong");
                    }
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    std::string Installed = "2021-03-15";
};

TEST_F(IncrementalTest, AnHourLaterOnlyTheOpenAndTheNewSlotsAreAsked) {
    const int32_t kest = AddBox("2024-06-20 12:03");
    Fetch();
    ASSERT_TRUE(HoldsModel(kest, *Boxes[0], AllResolutions()));
    const std::tuple<int, int, QString> today{Addr_Inverter_A, Res_Day, "2024-06-20 00:00:00"};
    const int64_t morning = SamplesOfKest(*UserData, kest).at(today);

    kestemu::Emulator& later = Later(kest, "2024-06-20 13:03");
    Fetch();
    const std::vector<TAsked> asked = HistoryRequests(later);
    for (const auto& [key, count] : PerModule(asked)) {
        SCOPED_TRACE("module " + std::to_string(key.first) + " resolution " +
                     std::to_string(key.second));
        // The box's newest slot, then for ten minutes the six new ones and the one that was
        // open: one request of seven slots. Today, this month and this year are one slot each.
        EXPECT_EQ(count, key.second == Res_Ten_Minutes ? 2 : 1);
    }
    EXPECT_EQ(asked.size(), size_t(4 * 5));
    // Today's yield has grown since the first run, and is stored as the box has it now.
    EXPECT_GT(SamplesOfKest(*UserData, kest).at(today), morning);
    EXPECT_TRUE(HoldsModel(kest, later, AllResolutions()));
}

TEST_F(IncrementalTest, AfterAKilledDownloadOnlyWhatIsMissingAndTheOpenSlotsAreAsked) {
    const int32_t kest = AddBox("2024-06-20 12:03");
    {
        QTemporaryFile log;
        ASSERT_TRUE(log.open());
        const pid_t child = StartProgram(QUARNEL_FETCH_PROGRAM,
                                         {"--data-dir", Folder->Folder(), "--request-delay", "1",
                                          "--resolution", "day", "--resolution", "10min"},
                                         log.handle());
        ASSERT_GT(child, 0);
        ASSERT_TRUE(WaitFor([&] { return Count("SELECT 1 FROM samples") >= 1200; }, 60s))
            << log.readAll().toStdString();
        kill(child, SIGKILL);
        WaitForProgram(child);
    }
    std::set<std::tuple<int, int, QString>> before;
    for (const auto& [key, value] : SamplesOfKest(*UserData, kest)) {
        before.insert(key);
    }
    std::map<Key, QString> newest;
    for (const auto& [module, resolution, time] : before) {
        newest[{module, resolution}] = std::max(newest[{module, resolution}], time);
    }
    Boxes[0]->clear_received();
    Fetch({"--resolution", "day", "--resolution", "10min"});

    int reasked = 0;
    for (const TAsked& a : HistoryRequests(*Boxes[0])) {
        if (!a.Time.isValid()) {
            continue;  // the box's newest slot
        }
        for (int i = 0; i < a.Count; ++i) {
            const QString slot = SampleTimestamp(SlotStep(a.Time, uint8_t(a.Resolution), -i));
            if (before.count({a.Module, a.Resolution, slot}) > 0 &&
                slot != newest[{a.Module, a.Resolution}]) {
                ++reasked;
            }
        }
    }
    // A slot stored while open is read again once: the killed run's newest ones.
    EXPECT_LE(reasked, 4 * 2);
    EXPECT_TRUE(HoldsModel(kest, *Boxes[0], {Res_Ten_Minutes, Res_Day}));
}

TEST_F(IncrementalTest, TheMonthsBeforeTheInstallationAreWalkedOnce) {
    Installed = "2023-09-01";
    const int32_t kest = AddBox("2024-06-20 12:03", Installed);
    Fetch({"--resolution", "month", "--resolution", "year"});
    const std::map<Key, int> first = PerModule(HistoryRequests(*Boxes[0]));
    // Back to January 2004 once: 246 months, and the years 2004 to 2024.
    EXPECT_EQ(first.at({Addr_Inverter_A, Res_Month}), 246);
    EXPECT_EQ(first.at({Addr_Inverter_A, Res_Year}), 21);
    EXPECT_EQ(Count("SELECT 1 FROM history_reach WHERE reach_open = 0 AND "
                    "reach_first = '2004-01-01 00:00:00' AND reach_last = '2023-08-01 00:00:00'"),
              4);

    Boxes[0]->clear_received();
    Fetch({"--resolution", "month", "--resolution", "year"});
    for (const auto& [key, count] : PerModule(HistoryRequests(*Boxes[0]))) {
        EXPECT_EQ(count, 1) << key.first << " " << key.second;
    }
    EXPECT_TRUE(HoldsModel(kest, *Boxes[0], {Res_Month, Res_Year}));

    const QString report = Fetch({"--coverage", "--resolution", "month"});
    EXPECT_TRUE(report.contains("2004-01 .. 2023-08 no value on the box, 236 slots"))
        << report.toStdString();
}

TEST_F(IncrementalTest, AGapInTheMiddleIsFilledAndNothingAroundItAskedTwice) {
    const int32_t kest = AddBox("2024-06-20 12:03");
    Fetch({"--resolution", "day"});
    const int32_t inverterA = ModuleId(kest, Module_Type_A);
    Folder->Sql(QStringLiteral("DELETE FROM samples WHERE sample_module = %1 AND "
                               "sample_resolution = %2 AND sample_timestamp >= '2024-03-01' AND "
                               "sample_timestamp < '2024-03-06'")
                    .arg(inverterA)
                    .arg(Res_Day));
    Boxes[0]->clear_received();
    Fetch({"--resolution", "day"});

    std::vector<QDateTime> gap;
    for (const TAsked& a : HistoryRequests(*Boxes[0])) {
        if (a.Module == Addr_Inverter_A && a.Time.isValid()) {
            gap.push_back(a.Time);
            // The box's weekdays, counted from its first reply: it numbers them as the PC does.
            EXPECT_EQ(a.Weekday, a.Time.date().dayOfWeek());
        }
    }
    const std::vector<QDateTime> expected = {NaiveDateTime(2024, 3, 5), NaiveDateTime(2024, 3, 4),
                                             NaiveDateTime(2024, 3, 3), NaiveDateTime(2024, 3, 2),
                                             NaiveDateTime(2024, 3, 1)};
    EXPECT_EQ(gap, expected);
    EXPECT_EQ(HistoryRequests(*Boxes[0]).size(), size_t(4 + 5));
    EXPECT_TRUE(HoldsModel(kest, *Boxes[0], {Res_Day}));
}

TEST_F(IncrementalTest, FullAsksForTheWholeHistoryAsBefore) {
    AddBox("2024-06-20 12:03");
    Fetch({"--resolution", "day"});
    Boxes[0]->clear_received();
    Fetch({"--resolution", "day", "--full"});
    for (const auto& [key, count] : PerModule(HistoryRequests(*Boxes[0]))) {
        EXPECT_EQ(count, 366) << key.first;
    }
}

}  // namespace
}  // namespace datatest

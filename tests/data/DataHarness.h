// What the database, session and acquisition tests share: a data folder made by the install
// step, a recording main window, and a fixture that wires the data module, the sessions and the
// acquisition together as the main window does.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "monitor/can/NaiveTime.h"
#include "monitor/data/Acquisition.h"
#include "monitor/data/MainView.h"
#include "monitor/data/Sessions.h"
#include "monitor/data/Store.h"
#include "monitor/data/dmUser.h"
#include "monitor/ui/texts/MessageFrm.h"
#include "tests/can/ChannelHarness.h"
#include "tests/support/ChildProcess.h"
#include "tools/kestemu/Emulator.h"

namespace datatest {

using namespace cantest;

// Runs a program to its end and returns its exit code (-1 when it could not run); its standard
// output and error go to output. A plain fork: the vfork-style start of QProcess leaves the
// thread checker with a wrong picture of the main thread's locks for the rest of the run, and
// every later lock looks like a race.
int RunProgram(const QString& program, const QStringList& arguments, QByteArray* output);
// The same in two steps: the program started with its output into outputFd, and its exit code.
using testsupport::StartProgram;
using testsupport::WaitForProgram;

// True in the suites' PostgreSQL runs (QUARNEL_TEST_POSTGRESQL=1): every data folder's user
// database is then a fresh database on the server libpq's variables name (PGHOST, PGPORT,
// PGUSER, PGPASSWORD), which scripts/with-postgresql.sh starts.
bool TestingPostgres();
// Skips the test in the PostgreSQL runs: for what only a SQLite file has.
#define QUARNEL_SQLITE_ONLY()                                                  \
    do {                                                                       \
        if (::datatest::TestingPostgres()) {                                   \
            GTEST_SKIP() << "a property of the SQLite file, not of the store"; \
        }                                                                      \
    } while (false)
// Skips the test outside the PostgreSQL runs: for what only a server has.
#define QUARNEL_POSTGRES_ONLY()                                      \
    do {                                                             \
        if (!::datatest::TestingPostgres()) {                        \
            GTEST_SKIP() << "runs only against a PostgreSQL server"; \
        }                                                            \
    } while (false)
// A fresh, empty database on the test server, dropped again with the object.
class TestDatabase {
public:
    TestDatabase();
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;
    // postgresql://user@host:port/name; the password stays in PGPASSWORD.
    QString Url() const { return DatabaseUrl; }
    QString Name() const { return DatabaseName; }

private:
    QString DatabaseName;
    QString DatabaseUrl;
};
// Runs SQL on a PostgreSQL database with psql; returns what it printed (unaligned, tuples only).
QByteArray Psql(const QString& url, const QString& statement, int* exitCode = nullptr);

// A temporary data folder from the install step, and QUARNEL_DATA_DIR pointing at it while it
// lives: with a fresh KestUser.sqlite, or in the PostgreSQL runs with a fresh database on the
// test server and QUARNEL_DATABASE naming it.
class DataFolderFixture {
public:
    DataFolderFixture();
    ~DataFolderFixture();
    QString Folder() const;  // ends in "/"
    QString DatabasePath() const { return Folder() + "KestUser.sqlite"; }
    // The user database the folder's programs use.
    TStore Store() const;
    // Runs one SQL statement on the user database with the engine's command-line shell, outside
    // the program.
    void Sql(const QString& statement) const;
    // The rows a query gives there, as the shell prints them: rows joined by "\n", fields by
    // "|". What it sees has been committed.
    QString Read(const QString& statement) const;
    // Runs the install step on folder, for the engine of the run; returns its exit code.
    static int Install(const QString& folder);

private:
    QTemporaryDir Dir;
    std::unique_ptr<TestDatabase> Database;
    QByteArray PreviousDataDir;
    bool HadDataDir = false;
    QByteArray PreviousDatabase;
    bool HadDatabase = false;
};

// A main window that records what it was asked to do. Its lists behave as the real ones: a
// changed checked state runs the list's handler, which stores the mark through the acquisition.
class TRecordingView : public TMainView {
public:
    void ShowError(const QString& text) override { Errors << text; }
    void RequestQuit() override { QuitRequested = true; }
    void UpdateViewState() override { ++ViewStateUpdates; }
    void SetInputEnabled(bool enabled) override;
    void ShowWait(const QString& text) override;
    void CloseWait() override;
    void ShowNotification(const QString& text) override { Notifications << text; }
    void ShowDownloadProgress() override { ++DownloadProgressShown; }
    bool CurrentPerformanceVisible() const override { return PerformanceVisible; }
    int KeepAliveInterval() const override { return KeepAlive; }
    void SetKeepAliveInterval(int ms) override { KeepAlive = ms; }
    void SetACPowerScanInterval(int ms) override { ScanInterval = ms; }
    void ClearCheckList(TModuleList list) override { Items(list).clear(); }
    void AddCheckListItem(TModuleList list, const TCheckListItem& item) override;
    int CheckListCount(TModuleList list) const override;
    TCheckListItem CheckListItem(TModuleList list, int index) const override;
    void SetCheckListItemChecked(TModuleList list, int index, bool checked) override;
    void DeselectDisconnect(TCANMessages* channel) override;

    std::vector<TCheckListItem>& Items(TModuleList list) {
        return list == TModuleList::W ? W : KWh;
    }
    const std::vector<TCheckListItem>& Items(TModuleList list) const {
        return list == TModuleList::W ? W : KWh;
    }

    TKestSessions* Sessions = nullptr;
    TAcquisition* Acquisition = nullptr;

    QStringList Errors;
    bool QuitRequested = false;
    int ViewStateUpdates = 0;
    bool InputEnabled = true;
    int InputDisabledCount = 0;
    QStringList WaitTexts;  // every text shown in the wait window
    bool WaitShowing = false;
    int WaitCloses = 0;
    QStringList Notifications;
    int DownloadProgressShown = 0;
    bool PerformanceVisible = false;
    int KeepAlive = 0;
    int ScanInterval = 2000;
    int Deselected = 0;
    std::vector<TCheckListItem> W;
    std::vector<TCheckListItem> KWh;
};

// (module type, resolution code, time stamp) -> stored yield
using StoredSamples = std::map<std::tuple<int, int, QString>, int64_t>;
// Every sample stored for the box's modules; a key stored twice fails the test.
StoredSamples SamplesOfKest(const TUserData& data, int32_t kestId);

// A box row to add: the defaults of a new box, then these values.
struct KestSpec {
    QString Name = "Roof";
    QString Ip = "127.0.0.1";
    int Port = 7777;
    QString UserName = "Administrator";
    QString Password = "admin1234";
    bool Online = true;
    // Module types marked present.
    std::vector<int> Present = {Module_Type_Total, Module_Type_A, Module_Type_B, Module_Type_C};
};

// Adds a box through the data module, as the box list's insert does, then gives it the given
// values behind the data module's back; returns its id.
int32_t AddKestRow(TUserData& data, const KestSpec& spec);
// A kestemu box on a free port with its clock at the given time, kept in boxes.
kestemu::Config BoxConfig(const std::string& clock);
kestemu::Emulator& StartBoxInto(std::vector<std::unique_ptr<kestemu::Emulator>>& boxes,
                                const kestemu::Config& config);
// The module id of the box's module of that type.
int32_t ModuleIdOf(TUserData& data, int32_t kestId, int type);
// Number of rows a query gives, on the data module's own connection.
int CountRows(const TUserData& data, const QString& sql);

// The data module, the sessions and the acquisition on a fresh data folder, wired together.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a box through the data module, as the box list's insert does; returns its id.
    int32_t AddKest(const KestSpec& spec);
    // A kestemu box on a free port; configure adjusts the defaults first.
    kestemu::Emulator& StartBox(kestemu::Config config = DefaultBoxConfig());
    static kestemu::Config DefaultBoxConfig();
    // The module id of the box's module of that type.
    int32_t ModuleId(int32_t kestId, int type);
    // Number of rows of a query on the database, run through the data module's connection.
    int Count(const QString& sql);

    std::unique_ptr<DataFolderFixture> Folder;
    TRecordingView View;
    TMsgForm Messages;
    std::unique_ptr<TUserData> UserData;
    std::unique_ptr<TKestSessions> Sessions;
    std::unique_ptr<TAcquisition> Acquisition;
    std::vector<std::unique_ptr<kestemu::Emulator>> Boxes;
};

// The emulator's yield model as a download reads it: the start of the i-th period back from
// the box's current period, and the model's value for a period as of now.
QDateTime DownloadPeriod(const kestemu::CivilTime& now, uint8_t resolution, int i);
std::optional<uint32_t> ModelYield(const kestemu::Emulator& box, const kestemu::CivilTime& now,
                                   int module, uint8_t resolution, const QDateTime& period);
// The periods of one download that the model holds a value for, newest first, with the values:
// of the last 1008 ten-minute slots and 366 days, and every month and year back to the box's
// installation. How many months and years a download asks for follows the PC's date, but on
// any date from 2008 on that reaches back past the installation of every emulated box, so
// the periods stored do not depend on it.
std::vector<std::pair<QDateTime, uint32_t>> ModelDownload(const kestemu::Emulator& box,
                                                          const kestemu::CivilTime& now, int module,
                                                          uint8_t resolution);
// The PC's clock fixed at a naive time while it lives.
class FixedPcClock {
public:
    explicit FixedPcClock(const QDateTime& now) { SetNaiveNowForTesting(now); }
    ~FixedPcClock() { SetNaiveNowForTesting({}); }
    FixedPcClock(const FixedPcClock&) = delete;
    FixedPcClock& operator=(const FixedPcClock&) = delete;
};
// A stored value against the model's: the box sends a whole block in units of four once one
// value of it needs that.
bool SameYield(int64_t stored, int64_t model);

}  // namespace datatest

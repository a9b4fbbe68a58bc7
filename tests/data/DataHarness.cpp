#include "DataHarness.h"

#include <sys/wait.h>
#include <unistd.h>

#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <vector>

#include "monitor/can/CANMessages.h"

#ifndef QUARNEL_SOURCE_DIR
#error QUARNEL_SOURCE_DIR must name the source tree
#endif

namespace datatest {

int RunProgram(const QString& program, const QStringList& arguments, QByteArray* output) {
    QTemporaryFile log;
    if (!log.open()) {
        return -1;
    }
    const pid_t child = StartProgram(program, arguments, log.handle());
    if (child < 0) {
        return -1;
    }
    const int exitCode = WaitForProgram(child);
    if (output != nullptr && log.seek(0)) {
        *output = log.readAll();
    }
    return exitCode;
}

StoredSamples SamplesOfKest(const TUserData& data, int32_t kestId) {
    QSqlQuery query(QSqlDatabase::database(data.ConnectionName()));
    query.prepare(
        "SELECT m.module_type, s.sample_resolution, s.sample_timestamp, s.sample_yield "
        "FROM samples s JOIN modules m ON m.module_id = s.sample_module "
        "WHERE m.module_kest = ?");
    query.addBindValue(kestId);
    EXPECT_TRUE(query.exec());
    StoredSamples samples;
    while (query.next()) {
        const auto key = std::make_tuple(query.value(0).toInt(), query.value(1).toInt(),
                                         query.value(2).toString());
        EXPECT_EQ(samples.count(key), 0u) << "stored twice";
        samples[key] = query.value(3).toLongLong();
    }
    return samples;
}

bool TestingPostgres() {
    return qEnvironmentVariable("QUARNEL_TEST_POSTGRESQL") == QLatin1String("1");
}

QByteArray Psql(const QString& url, const QString& statement, int* exitCode) {
    QByteArray output;
    const int code = RunProgram(
        "psql", {"-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-d", url, "-c", statement}, &output);
    if (exitCode != nullptr) {
        *exitCode = code;
    } else {
        EXPECT_EQ(code, 0) << statement.toStdString() << ": " << output.toStdString();
    }
    return output;
}

namespace {

QString ServerUrl(const QString& database) {
    return QStringLiteral("postgresql://%1@%2:%3/%4")
        .arg(qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGHOST"),
             qEnvironmentVariable("PGPORT"), database);
}

void Restore(const char* name, bool had, const QByteArray& value) {
    if (had) {
        qputenv(name, value);
    } else {
        qunsetenv(name);
    }
}

}  // namespace

TestDatabase::TestDatabase() {
    static int made = 0;
    DatabaseName = QStringLiteral("quarnel_test_%1_%2").arg(getpid()).arg(++made);
    DatabaseUrl = ServerUrl(DatabaseName);
    Psql(ServerUrl("postgres"), "CREATE DATABASE " + DatabaseName);
}

TestDatabase::~TestDatabase() {
    // Whatever connection the test left open goes with it.
    Psql(ServerUrl("postgres"), "DROP DATABASE IF EXISTS " + DatabaseName + " WITH (FORCE)");
}

DataFolderFixture::DataFolderFixture() {
    HadDataDir = qEnvironmentVariableIsSet("QUARNEL_DATA_DIR");
    PreviousDataDir = qgetenv("QUARNEL_DATA_DIR");
    HadDatabase = qEnvironmentVariableIsSet("QUARNEL_DATABASE");
    PreviousDatabase = qgetenv("QUARNEL_DATABASE");
    EXPECT_TRUE(Dir.isValid());
    if (TestingPostgres()) {
        Database = std::make_unique<TestDatabase>();
        QByteArray output;
        EXPECT_EQ(RunProgram(QStringLiteral(QUARNEL_SOURCE_DIR "/data/install.sh"),
                             {"--postgresql", Database->Url(), Folder()}, &output),
                  0)
            << output.toStdString();
        qputenv("QUARNEL_DATABASE", Database->Url().toLocal8Bit());
    } else {
        EXPECT_EQ(Install(Folder()), 0);
        qunsetenv("QUARNEL_DATABASE");
    }
    qputenv("QUARNEL_DATA_DIR", Folder().toLocal8Bit());
}

DataFolderFixture::~DataFolderFixture() {
    Restore("QUARNEL_DATA_DIR", HadDataDir, PreviousDataDir);
    Restore("QUARNEL_DATABASE", HadDatabase, PreviousDatabase);
}

TStore DataFolderFixture::Store() const {
    if (Database == nullptr) {
        return SqliteStore(DatabasePath());
    }
    TStore store;
    QString message;
    EXPECT_TRUE(PostgresStore(Database->Url(), &store, &message)) << message.toStdString();
    return store;
}

QString DataFolderFixture::Folder() const {
    return Dir.path() + "/";
}

int DataFolderFixture::Install(const QString& folder) {
    return RunProgram(QStringLiteral(QUARNEL_SOURCE_DIR "/data/install.sh"), {folder}, nullptr);
}

void DataFolderFixture::Sql(const QString& statement) const {
    if (Database != nullptr) {
        Psql(Database->Url(), statement);
        return;
    }
    QByteArray output;
    ASSERT_EQ(RunProgram("sqlite3", {"-bail", DatabasePath(), statement}, &output), 0)
        << output.toStdString();
}

QString DataFolderFixture::Read(const QString& statement) const {
    QByteArray output;
    if (Database != nullptr) {
        output = Psql(Database->Url(), statement);
    } else {
        EXPECT_EQ(
            RunProgram("sqlite3", {"-batch", "-noheader", DatabasePath(), statement}, &output), 0)
            << output.toStdString();
    }
    return QString::fromUtf8(output).trimmed();
}

void TRecordingView::SetInputEnabled(bool enabled) {
    InputEnabled = enabled;
    InputDisabledCount += enabled ? 0 : 1;
}

void TRecordingView::ShowWait(const QString& text) {
    WaitTexts << text;
    WaitShowing = true;
}

void TRecordingView::CloseWait() {
    WaitShowing = false;
    ++WaitCloses;
}

void TRecordingView::AddCheckListItem(TModuleList list, const TCheckListItem& item) {
    Items(list).push_back(item);
}

int TRecordingView::CheckListCount(TModuleList list) const {
    return int(Items(list).size());
}

TCheckListItem TRecordingView::CheckListItem(TModuleList list, int index) const {
    return Items(list).at(size_t(index));
}

void TRecordingView::SetCheckListItemChecked(TModuleList list, int index, bool checked) {
    TCheckListItem& item = Items(list).at(size_t(index));
    if (item.Checked == checked) {
        return;
    }
    item.Checked = checked;
    if (Acquisition == nullptr) {
        return;
    }
    if (list == TModuleList::W) {
        Acquisition->WListItemChanged(item.ModuleId, checked);
    } else {
        Acquisition->KWhListItemChanged(item.ModuleId, checked);
    }
}

void TRecordingView::DeselectDisconnect(TCANMessages* channel) {
    ++Deselected;
    const int32_t kest = channel->KestId();
    if (Acquisition != nullptr) {
        Acquisition->UncheckKestModules(kest);
    }
    if (Sessions != nullptr) {
        Sessions->DisconnectKest(kest);
    }
}

void MonitorTest::SetUp() {
    Folder = std::make_unique<DataFolderFixture>();
    UserData = std::make_unique<TUserData>(View);
    ASSERT_TRUE(UserData->IsOpen()) << View.Errors.join("\n").toStdString();
    ASSERT_EQ(UserData->Store.IsPostgreSQL(), TestingPostgres());
    Sessions = std::make_unique<TKestSessions>(*UserData, View, Messages);
    Acquisition = std::make_unique<TAcquisition>(*Sessions, *UserData);
    View.Sessions = Sessions.get();
    View.Acquisition = Acquisition.get();
    Sessions->InitSessions();
}

void MonitorTest::TearDown() {
    // The channels' workers end first; they may still hand samples to the data module.
    Acquisition.reset();
    Sessions.reset();
    View.Sessions = nullptr;
    View.Acquisition = nullptr;
    UserData.reset();
    for (auto& box : Boxes) {
        box->stop();
    }
    Boxes.clear();
    Folder.reset();
}

kestemu::Config BoxConfig(const std::string& clock) {
    kestemu::Config config;
    config.port = 0;
    config.clock = clock;
    config.installed = "2021-03-15";
    config.seed = 4711;
    config.log_connections = false;
    return config;
}

kestemu::Emulator& StartBoxInto(std::vector<std::unique_ptr<kestemu::Emulator>>& boxes,
                                const kestemu::Config& config) {
    auto box = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    EXPECT_TRUE(box->start(&error)) << error;
    boxes.push_back(std::move(box));
    return *boxes.back();
}

int32_t ModuleIdOf(TUserData& data, int32_t kestId, int type) {
    TModuleRow row;
    EXPECT_TRUE(data.FindKestModule(kestId, type, &row));
    return row.Id;
}

int CountRows(const TUserData& data, const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(data.ConnectionName()));
    EXPECT_TRUE(query.exec(sql)) << sql.toStdString();
    int rows = 0;
    while (query.next()) {
        ++rows;
    }
    return rows;
}

kestemu::Config MonitorTest::DefaultBoxConfig() {
    return BoxConfig("2024-06-20 23:00");
}

kestemu::Emulator& MonitorTest::StartBox(kestemu::Config config) {
    return StartBoxInto(Boxes, config);
}

int32_t AddKestRow(TUserData& data, const KestSpec& spec) {
    const int32_t id = data.KestsTableAfterInsert();
    EXPECT_GT(id, 0);
    QSqlQuery update(QSqlDatabase::database(data.ConnectionName()));
    update.prepare(
        "UPDATE kests SET kest_name = ?, kest_ip = ?, kest_port = ?, kest_username = ?, "
        "kest_password = ?, kest_online = ? WHERE kest_id = ?");
    update.addBindValue(spec.Name);
    update.addBindValue(spec.Ip);
    update.addBindValue(spec.Port);
    update.addBindValue(spec.UserName);
    update.addBindValue(spec.Password);
    update.addBindValue(spec.Online ? 1 : 0);
    update.addBindValue(id);
    EXPECT_TRUE(update.exec());
    for (int type : spec.Present) {
        QSqlQuery present(QSqlDatabase::database(data.ConnectionName()));
        present.prepare(
            "UPDATE modules SET module_ispresent = 1 WHERE module_kest = ? AND module_type = ?");
        present.addBindValue(id);
        present.addBindValue(type);
        EXPECT_TRUE(present.exec());
    }
    return id;
}

int32_t MonitorTest::AddKest(const KestSpec& spec) {
    return AddKestRow(*UserData, spec);
}

int32_t MonitorTest::ModuleId(int32_t kestId, int type) {
    return ModuleIdOf(*UserData, kestId, type);
}

int MonitorTest::Count(const QString& sql) {
    return CountRows(*UserData, sql);
}

std::vector<std::pair<QDateTime, uint32_t>> ModelDownload(const kestemu::Emulator& box,
                                                          const kestemu::CivilTime& now, int module,
                                                          uint8_t resolution) {
    const bool fixedCount = resolution == Res_Ten_Minutes || resolution == Res_Day;
    const int periods = resolution == Res_Ten_Minutes ? 7 * 144 : 366;
    std::vector<std::pair<QDateTime, uint32_t>> download;
    for (int i = 0; !fixedCount || i < periods; ++i) {
        const QDateTime period = DownloadPeriod(now, resolution, i);
        const auto value = ModelYield(box, now, module, resolution, period);
        if (value) {
            download.emplace_back(period, *value);
        } else if (!fixedCount) {
            break;
        }
    }
    return download;
}

QDateTime DownloadPeriod(const kestemu::CivilTime& now, uint8_t resolution, int i) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return QDateTime(QDate(now.year, now.month, now.day),
                             QTime(now.hour, now.minute / 10 * 10), Qt::UTC)
                .addSecs(-600 * i);
        case Res_Day:
            return QDateTime(QDate(now.year, now.month, now.day), QTime(0, 0), Qt::UTC).addDays(-i);
        case Res_Month:
            return QDateTime(QDate(now.year, now.month, 1), QTime(0, 0), Qt::UTC).addMonths(-i);
        default:
            return QDateTime(QDate(now.year, 1, 1), QTime(0, 0), Qt::UTC).addYears(-i);
    }
}

std::optional<uint32_t> ModelYield(const kestemu::Emulator& box, const kestemu::CivilTime& now,
                                   int module, uint8_t resolution, const QDateTime& period) {
    const kestemu::CivilTime civil{period.date().year(),   period.date().month(),
                                   period.date().day(),    period.time().hour(),
                                   period.time().minute(), 0};
    return box.model().yield(uint8_t(module), resolution, civil, now);
}

bool SameYield(int64_t stored, int64_t model) {
    return stored == model || stored == std::min<int64_t>((model + 2) / 4, 65534) * 4;
}

}  // namespace datatest

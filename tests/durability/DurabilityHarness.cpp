#include "DurabilityHarness.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDate>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTime>
#include <algorithm>
#include <atomic>
#include <cerrno>

#include "monitor/data/dmUser.h"
#include "tests/data/DataHarness.h"

extern char** environ;

namespace durability {

Child::~Child() {
    if (Pid > 0 && ExitCode == -3) {
        kill(Pid, SIGKILL);
        Wait();
    }
}

bool Child::Start(const QString& program, const QStringList& arguments,
                  const QStringList& environment, long fileSizeLimit) {
    if (!Log.open()) {
        return false;
    }
    // Everything the child needs is made before the fork: the test runs threads (the emulated
    // boxes), and between fork and exec only plain system calls are safe.
    std::vector<QByteArray> texts{program.toLocal8Bit()};
    for (const QString& argument : arguments) {
        texts.push_back(argument.toLocal8Bit());
    }
    std::vector<QByteArray> variables;
    for (const QString& entry : environment) {
        variables.push_back(entry.toLocal8Bit());
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const QByteArray text(*entry);
        const QByteArray name = text.left(text.indexOf('=') + 1);
        const bool replaced =
            std::any_of(variables.begin(), variables.end(),
                        [&name](const QByteArray& v) { return v.startsWith(name); });
        if (!replaced) {
            variables.push_back(text);
        }
    }
    std::vector<char*> argv;
    for (QByteArray& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (QByteArray& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    const int output = Log.handle();
    Pid = fork();
    if (Pid == 0) {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        if (fileSizeLimit > 0) {
            struct sigaction ignore = {};
            ignore.sa_handler = SIG_IGN;
            sigaction(SIGXFSZ, &ignore, nullptr);
            const rlimit limit{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return Pid > 0;
}

bool Child::Running() {
    if (Pid <= 0 || ExitCode != -3) {
        return false;
    }
    int status = 0;
    const pid_t ended = waitpid(Pid, &status, WNOHANG);
    if (ended == Pid) {
        ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return ended == 0;
}

void Child::Signal(int signal) const {
    if (Pid > 0 && ExitCode == -3) {
        kill(Pid, signal);
    }
}

int Child::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
            ExitCode = -2;
            break;
        }
        QThread::msleep(5);
    }
    return ExitCode;
}

bool Child::WaitForOutput(const QString& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (Output().contains(text)) {
            return true;
        }
        if (!Running() || std::chrono::steady_clock::now() > deadline) {
            return Output().contains(text);
        }
        QThread::msleep(10);
    }
}

QString Child::Output() {
    QFile file(Log.fileName());
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

Reader::Reader(const TStore& store) : Postgres(store.IsPostgreSQL()) {
    static std::atomic<int> next{0};
    Connection = QStringLiteral("durability-reader-%1").arg(next++);
    QSqlDatabase db = AddStoreDatabase(Connection, store);
    Opened = db.open();
    EXPECT_TRUE(Opened) << store.Shown.toStdString() << ": " << db.lastError().text().toStdString();
}

Reader::~Reader() {
    QSqlDatabase::database(Connection, false).close();
    QSqlDatabase::removeDatabase(Connection);
}

bool Reader::Exec(const QString& statement) {
    QSqlQuery query(QSqlDatabase::database(Connection, false));
    return query.exec(statement);
}

Rows Reader::Samples() {
    QSqlQuery query(QSqlDatabase::database(Connection, false));
    Rows rows;
    if (!query.exec(QStringLiteral(
            "SELECT m.module_kest, m.module_type, s.sample_resolution, s.sample_timestamp, "
            "s.sample_yield FROM samples s JOIN modules m ON m.module_id = s.sample_module"))) {
        ADD_FAILURE() << "samples not readable";
        return rows;
    }
    while (query.next()) {
        rows[{query.value(0).toInt(), query.value(1).toInt(), query.value(2).toInt(),
              query.value(3).toString()}] = query.value(4).toLongLong();
    }
    return rows;
}

int Reader::CountSamples() {
    QSqlQuery query(QSqlDatabase::database(Connection, false));
    return query.exec(QStringLiteral("SELECT COUNT(*) FROM samples")) && query.next()
               ? query.value(0).toInt()
               : -1;
}

int Reader::Duplicates() {
    QSqlQuery query(QSqlDatabase::database(Connection, false));
    if (!query.exec(
            QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM samples GROUP BY sample_module, "
                           "sample_resolution, sample_timestamp HAVING COUNT(*) > 1) AS twice")) ||
        !query.next()) {
        return -1;
    }
    return query.value(0).toInt();
}

QString Reader::IntegrityCheck() {
    if (Postgres) {
        return QStringLiteral("ok");
    }
    QSqlQuery query(QSqlDatabase::database(Connection, false));
    QStringList lines;
    if (!query.exec(QStringLiteral("PRAGMA integrity_check"))) {
        return QStringLiteral("not run");
    }
    while (query.next()) {
        lines << query.value(0).toString();
    }
    return lines.join('\n');
}

int Reader::AddKest(const QString& name, int port) {
    QSqlQuery query(QSqlDatabase::database(Connection, false));
    query.prepare(QStringLiteral(
        "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, "
        "kest_online) VALUES (?, '127.0.0.1', ?, 'Administrator', 'admin1234', 1) "
        "RETURNING kest_id"));
    query.addBindValue(name);
    query.addBindValue(port);
    if (!query.exec() || !query.next()) {
        return -1;
    }
    const int kest = query.value(0).toInt();
    query.finish();
    for (int type : {Module_Type_Total, Module_Type_A, Module_Type_B, Module_Type_C}) {
        query.prepare(QStringLiteral(
            "INSERT INTO modules (module_kest, module_type, module_color, module_pattern, "
            "module_linetype, module_ispresent, module_ischecked_kwh, module_ischecked_w) "
            "VALUES (?, ?, ?, 0, 0, 1, 0, 0)"));
        query.addBindValue(kest);
        query.addBindValue(type);
        query.addBindValue(type % 22);
        if (!query.exec()) {
            return -1;
        }
    }
    return kest;
}

kestemu::Config BoxConfig(uint32_t seed) {
    kestemu::Config config;
    config.port = 0;
    // Late in the evening: the open periods (this ten minutes, today, this month and year) no
    // longer grow, so a value stored before a kill is the value a later download brings.
    config.clock = "2024-06-20 23:00";
    config.installed = "2021-03-15";
    config.seed = seed;
    config.log_connections = false;
    return config;
}

namespace {

std::string Describe(const Key& key) {
    return "box " + std::to_string(std::get<0>(key)) + " module " +
           std::to_string(std::get<1>(key)) + " resolution " + std::to_string(std::get<2>(key)) +
           " at " + std::get<3>(key).toStdString();
}

}  // namespace

Rows ModelRows(const kestemu::Emulator& box, int kestId, uint8_t resolution) {
    const kestemu::CivilTime now = box.now();
    Rows rows;
    for (int module : {Module_Type_Total, Module_Type_A, Module_Type_B, Module_Type_C}) {
        for (const auto& [period, value] : datatest::ModelDownload(box, now, module, resolution)) {
            rows[{kestId, module, resolution, period.toString("yyyy-MM-dd HH:mm:ss")}] = value;
        }
    }
    return rows;
}

::testing::AssertionResult Matches(const Rows& stored, const Rows& model, bool complete) {
    for (const auto& [key, value] : stored) {
        const auto expected = model.find(key);
        if (expected == model.end() || !datatest::SameYield(value, expected->second)) {
            return ::testing::AssertionFailure()
                   << Describe(key) << ": stored " << value << ", the box has "
                   << (expected == model.end() ? std::string("nothing")
                                               : std::to_string(expected->second));
        }
    }
    if (complete && stored.size() != model.size()) {
        return ::testing::AssertionFailure()
               << stored.size() << " rows stored, " << model.size() << " in the box";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Keeps(const Rows& after, const Rows& before) {
    for (const auto& [key, value] : before) {
        const auto now = after.find(key);
        if (now == after.end()) {
            return ::testing::AssertionFailure() << Describe(key) << " was committed and is gone";
        }
        if (now->second != value) {
            return ::testing::AssertionFailure()
                   << Describe(key) << " was " << value << ", is " << now->second;
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace durability

// The program and quarnel-fetch killed with SIGKILL at random moments of a history download from
// emulated boxes. After each kill the database is sound, holds every sample that was committed
// before the kill with the box's value and no sample twice; the next start is not held up by the
// lock the killed process left; and a second download completes the data.
//
// DURABILITY_KILLS (kills per program, 10 by default) and DURABILITY_SEED repeat a run;
// scripts/kill-test.sh runs many.
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <memory>
#include <random>

#include "DurabilityHarness.h"
#include "tests/data/DataHarness.h"

namespace durability {
namespace {

// Under a sanitizer every start of the program costs several times as much; a few kills there
// still look for what the sanitizers catch, and the plain build does the counting.
#ifdef DURABILITY_SANITIZED
constexpr int Default_Kills = 3;
#else
constexpr int Default_Kills = 10;
#endif

int KillsPerProgram() {
    const int kills = qEnvironmentVariableIntValue("DURABILITY_KILLS");
    return kills > 0 ? kills : Default_Kills;
}

uint32_t Seed() {
    bool ok = false;
    const uint32_t seed = qEnvironmentVariable("DURABILITY_SEED").toUInt(&ok);
    return ok ? seed : std::random_device()();
}

// A resolution and the pause after each request that makes its download last about a second
// (four modules: 404, 148, 112 and 12 requests).
struct Resolution {
    uint8_t Code;
    int DelayMs;
};
constexpr Resolution Resolutions[] = {
    {Res_Ten_Minutes, 1}, {Res_Day, 4}, {Res_Month, 6}, {Res_Year, 60}};

enum class Target { Program, Fetch };

class KillTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Temp.isValid());
        ASSERT_EQ(datatest::DataFolderFixture::Install(Installed.path() + "/"), 0);
    }

    // One round: a fresh data folder and boxes, a download killed at a random moment, the
    // checks, the next start and a second download. False after any failed check.
    bool Round(Target target, std::mt19937& random) {
        // A copy of the installed files: the install step itself takes longer than a kill. On
        // PostgreSQL a fresh database of its own, installed into.
        QTemporaryDir round;
        const QString folder = round.path() + "/";
        std::unique_ptr<datatest::TestDatabase> server;
        TStore database = SqliteStore(folder + "KestUser.sqlite");
        if (datatest::TestingPostgres()) {
            server = std::make_unique<datatest::TestDatabase>();
            QByteArray output;
            QString message;
            if (datatest::RunProgram(QStringLiteral(QUARNEL_SOURCE_DIR "/data/install.sh"),
                                     {"--postgresql", server->Url(), folder}, &output) != 0 ||
                !PostgresStore(server->Url(), &database, &message)) {
                ADD_FAILURE() << "not installed: " << output.toStdString() << message.toStdString();
                return false;
            }
        } else {
            for (const char* file : {"KestUser.sqlite", "language.sqlite"}) {
                if (!QFile::copy(Installed.path() + "/" + file, folder + file)) {
                    ADD_FAILURE() << "the data folder was not copied";
                    return false;
                }
            }
        }
        std::vector<std::unique_ptr<kestemu::Emulator>> boxes;
        Reader setup(database);
        if (!setup.IsOpen()) {
            return false;
        }
        const int boxCount = 1 + int(random() % 2);
        Rows model;
        for (int i = 0; i < boxCount; ++i) {
            boxes.push_back(std::make_unique<kestemu::Emulator>(BoxConfig(100 + random() % 1000)));
            std::string error;
            if (!boxes.back()->start(&error)) {
                ADD_FAILURE() << error;
                return false;
            }
            const int kest = setup.AddKest(QStringLiteral("Box%1").arg(i), boxes.back()->port());
            if (kest < 0) {
                ADD_FAILURE() << "box row not added";
                return false;
            }
        }
        const Resolution resolution = Resolutions[random() % std::size(Resolutions)];
        for (int i = 0; i < boxCount; ++i) {
            for (const auto& row : ModelRows(*boxes[size_t(i)], i + 1, resolution.Code)) {
                model.insert(row);
            }
        }
        const int killAfterMs = int(random() % 900);
        SCOPED_TRACE(testing::Message()
                     << (target == Target::Program ? "program" : "quarnel-fetch") << ", resolution "
                     << int(resolution.Code) << ", " << boxCount << " boxes, kill " << killAfterMs
                     << " ms into the download");

        // The download, and the kill.
        Child first;
        if (!Start(first, target, folder, resolution, false)) {
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (setup.CountSamples() <= 0) {
            if (!first.Running() || std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the download did not start:\n" << first.Output().toStdString();
                return false;
            }
            QThread::msleep(2);
        }
        QThread::msleep(ulong(killAfterMs));
        const Rows committed = setup.Samples();
        first.Signal(SIGKILL);
        first.Wait();

        bool ok = true;
        auto check = [&ok](const ::testing::AssertionResult& result) {
            EXPECT_TRUE(result);
            ok = ok && bool(result);
        };
        {
            Reader after(database);
            check(after.IntegrityCheck() == "ok"
                      ? ::testing::AssertionSuccess()
                      : ::testing::AssertionFailure() << after.IntegrityCheck().toStdString());
            check(after.Duplicates() == 0
                      ? ::testing::AssertionSuccess()
                      : ::testing::AssertionFailure() << after.Duplicates() << " duplicate rows");
            const Rows rows = after.Samples();
            check(Keeps(rows, committed));
            check(Matches(rows, model, false));
        }

        // The next start takes over the lock of the killed process and completes the data.
        Child second;
        if (!Start(second, target, folder, resolution, true)) {
            return false;
        }
        // The real program starts beside it on the same folder.
        Child real;
        const bool realStarted = target == Target::Program && StartRealProgram(real, folder);
        const int exitCode = second.Wait();
        const QString output = second.Output();
        check(exitCode == 0 ? ::testing::AssertionSuccess()
                            : ::testing::AssertionFailure()
                                  << "the next start ended with " << exitCode << ":\n"
                                  << output.toStdString());
        if (target == Target::Program) {
            check(output.contains("Main window shown") && output.contains("download finished")
                      ? ::testing::AssertionSuccess()
                      : ::testing::AssertionFailure()
                            << "not the running instance after the kill:\n"
                            << output.toStdString());
            check(realStarted ? RealProgramCameUp(real)
                              : ::testing::AssertionFailure() << "quarnel did not start");
        }
        check(Matches(Reader(database).Samples(), model, true));
        for (auto& box : boxes) {
            box->stop();
        }
        return ok;
    }

    bool Start(Child& child, Target target, const QString& folder, const Resolution& resolution,
               bool complete) {
        const QString delay = QString::number(complete ? 0 : resolution.DelayMs);
        const QStringList environment = {"QUARNEL_DATA_DIR=" + folder,
                                         "TMPDIR=" + Temp.path(),
                                         "QT_QPA_PLATFORM=offscreen",
                                         "QT_LOGGING_RULES=quarnel.debug.debug=true",
                                         "DRIVER_DELAY=" + delay,
                                         "DRIVER_RESOLUTION=" + QString::number(resolution.Code),
                                         QStringLiteral("DRIVER_FINISH=") + (complete ? "1" : "0")};
        bool started = false;
        if (target == Target::Program) {
            started = child.Start(QStringLiteral(DOWNLOAD_DRIVER), {}, environment);
        } else {
            const QString name = resolution.Code == Res_Ten_Minutes ? "10min"
                                 : resolution.Code == Res_Day       ? "day"
                                 : resolution.Code == Res_Month     ? "month"
                                                                    : "year";
            started = child.Start(
                QStringLiteral(QUARNEL_FETCH_PROGRAM),
                {"--data-dir", folder, "--quiet", "--request-delay", delay, "--resolution", name},
                environment);
        }
        EXPECT_TRUE(started);
        return started;
    }

    // The real program, on the folder the kill left.
    bool StartRealProgram(Child& program, const QString& folder) {
        return program.Start(
            QStringLiteral(QUARNEL_PROGRAM), {},
            {"QUARNEL_DATA_DIR=" + folder, "TMPDIR=" + Temp.path(), "QT_QPA_PLATFORM=offscreen",
             "QT_LOGGING_RULES=quarnel.debug.debug=true"});
    }
    // It comes up as the running instance, with its main window shown.
    ::testing::AssertionResult RealProgramCameUp(Child& program) {
        const bool shown = program.WaitForOutput(QStringLiteral("Main window shown"), 60s);
        program.Signal(SIGTERM);
        program.Wait();
        if (!shown) {
            return ::testing::AssertionFailure() << "quarnel did not come up:\n"
                                                 << program.Output().toStdString();
        }
        return ::testing::AssertionSuccess();
    }

    void Run(Target target, const char* name) {
        const uint32_t seed = Seed();
        const int kills = KillsPerProgram();
        SCOPED_TRACE(testing::Message() << "DURABILITY_SEED=" << seed);
        std::mt19937 random(seed);
        int failed = 0;
        for (int kill = 0; kill < kills; ++kill) {
            SCOPED_TRACE(testing::Message() << "kill " << kill + 1);
            failed += Round(target, random) ? 0 : 1;
        }
        std::printf("durability: %s: %d kills, %d failed (DURABILITY_SEED=%u)\n", name, kills,
                    failed, seed);
        std::fflush(stdout);
    }

    // The single-instance lock and socket live in the temporary folder: each test has its own.
    QTemporaryDir Temp;
    QTemporaryDir Installed;  // the files of the install step, copied for each round
};

TEST_F(KillTest, TheProgramKilledInADownload) {
    Run(Target::Program, "program");
}

TEST_F(KillTest, QuarnelFetchKilledInADownload) {
    Run(Target::Fetch, "quarnel-fetch");
}

}  // namespace
}  // namespace durability

// quarneld as a program of its own, against emulated boxes in this process and a real broker:
// what it publishes, how it follows boxes and the broker going away, and how it ends.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <map>
#include <set>

#include "monitor/can/CanObjects.h"
#include "monitor/data/BoxLock.h"
#include "monitor/ui/texts/Translation.h"
#include "tests/data/DataHarness.h"
#include "tests/quarneld/Broker.h"
#include "tests/quarneld/NotificationServer.h"

namespace datatest {
namespace {

using quarneldtest::TBroker;
using quarneldtest::TSubscriber;
using Message = TSubscriber::TMessage;

// quarneld started in the background, its standard error in a file of its own.
class ServiceProcess {
public:
    explicit ServiceProcess(const QStringList& arguments) {
        EXPECT_TRUE(Log.open());
        Pid = StartProgram(QUARNELD_PROGRAM, arguments, Log.handle());
    }
    ~ServiceProcess() {
        if (Pid > 0 && ExitCode == -2) {
            kill(Pid, SIGKILL);
            WaitForProgram(Pid);
        }
    }
    void Signal(int signal) const { kill(Pid, signal); }
    // The exit code once it has ended within the time, else -2.
    int WaitAtMost(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (ExitCode == -2 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(Pid, &status, WNOHANG) == Pid) {
                ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            usleep(5000);
        }
        return ExitCode;
    }
    QString Output() {
        Log.seek(0);
        return QString::fromLocal8Bit(Log.readAll());
    }
    // Resident memory in kB.
    long Rss() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(Pid));
        if (!status.open(QIODevice::ReadOnly)) {
            return -1;
        }
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                return line.mid(6).trimmed().split(' ').front().toLong();
            }
        }
        return -1;
    }

private:
    QTemporaryFile Log;
    pid_t Pid = -1;
    int ExitCode = -2;
};

bool DownloadsDone(ServiceProcess& service) {
    return service.Output().count(QStringLiteral("history download complete")) >= 2;
}

const QString Roof_Serial = QStringLiteral("KEST-0001-1111");
const QString Shed_Serial = QStringLiteral("KEST-0002-2222");

double Number(const QByteArray& payload) {
    bool ok = false;
    const double value = payload.toDouble(&ok);
    return ok ? value : -1;
}

class ServiceTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        // The services the tests start show their notifications on the private bus of a Bus
        // run only, never on the desktop of whoever runs the tests.
        if (!quarneldtest::TestBusRunning()) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quarneld-tests");
        }
    }

    // Two boxes: Roof with inverters A, B and C, Shed with A and C only.
    void StartBoxes(const std::string& clock = "2024-06-20 12:00",
                    const kestemu::Faults& roofFaults = {},
                    const kestemu::Faults& shedFaults = {}) {
        kestemu::Config roof = BoxConfig(clock);
        roof.serial = Roof_Serial.toStdString();
        roof.faults = roofFaults;
        KestSpec roofSpec;
        roofSpec.Port = StartBox(roof).port();
        RoofKest = AddKest(roofSpec);
        kestemu::Config shed = roof;
        shed.serial = Shed_Serial.toStdString();
        shed.inverters = "AC";
        shed.seed = 7;
        shed.faults = shedFaults;
        KestSpec shedSpec;
        shedSpec.Name = "Shed";
        shedSpec.Port = StartBox(shed).port();
        shedSpec.Present = {Module_Type_Total, Module_Type_A, Module_Type_C};
        ShedKest = AddKest(shedSpec);
    }

    QString WriteConfig(const TBroker& broker, const QString& more = {}) {
        const QString path = ConfigDir.filePath("quarneld.conf");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QString text = QStringLiteral("[mqtt]\nhost = 127.0.0.1\nport = %1\nkeepalive = 5\n")
                           .arg(broker.Port());
        if (!broker.UserName().isEmpty()) {
            text += "username = " + broker.UserName() + "\npassword = " + broker.Password() + "\n";
        }
        text += "[service]\nlive_interval = 2\nhistory_interval = 1\n" + more;
        // The tests run side by side: none takes the endpoint's default port.
        if (!more.contains(QLatin1String("[metrics]"))) {
            text += "[metrics]\nport = 0\n";
        }
        file.write(text.toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return path;
    }

    QStringList Arguments(const QString& config) const {
        return {"--config", config, "--data-dir", Folder->Folder(), "--request-delay", "0"};
    }

    static QString State(const QString& serial, const QString& module, const char* state) {
        return "quarnel/" + serial + '/' + module + '/' + state;
    }

    // Every present module of both boxes has its lifetime energy out: the first downloads are
    // over.
    bool EnergiesOut(const TSubscriber& subscriber) const {
        for (const char* m : {"total", "a", "b", "c"}) {
            if (!subscriber.Latest(State(Roof_Serial, m, "energy_total"))) {
                return false;
            }
        }
        for (const char* m : {"total", "a", "c"}) {
            if (!subscriber.Latest(State(Shed_Serial, m, "energy_total"))) {
                return false;
            }
        }
        return true;
    }

    static bool DownloadsDone(ServiceProcess& service, int boxes) {
        return service.Output().count(QStringLiteral("history download complete")) >= boxes;
    }

    // The module's energies as the database gives them: newest day and sum of the years, kWh.
    std::pair<double, double> StoredEnergies(int32_t kestId, int type) {
        const int32_t module = ModuleId(kestId, type);
        QSqlQuery day(QSqlDatabase::database(UserData->ConnectionName()));
        day.exec(QStringLiteral("SELECT sample_yield FROM samples WHERE sample_module = %1 AND "
                                "sample_resolution = 71 ORDER BY sample_timestamp DESC LIMIT 1")
                     .arg(module));
        const double today = day.next() ? day.value(0).toDouble() * 0.0005 : -1;
        QSqlQuery year(QSqlDatabase::database(UserData->ConnectionName()));
        year.exec(QStringLiteral("SELECT SUM(sample_yield) FROM samples WHERE sample_module = %1 "
                                 "AND sample_resolution = 125")
                      .arg(module));
        const double total = year.next() ? year.value(0).toDouble() * 0.5 : -1;
        return {today, total};
    }

    void ExpectEnergiesAsStored(const TSubscriber& subscriber) {
        for (const auto& [kest, serial, types] :
             {std::tuple{RoofKest, Roof_Serial, std::vector<int>{128, 4, 8, 12}},
              std::tuple{ShedKest, Shed_Serial, std::vector<int>{128, 4, 12}}}) {
            for (int type : types) {
                const QString slug = type == 128 ? "total"
                                     : type == 4 ? "a"
                                     : type == 8 ? "b"
                                                 : "c";
                const auto [today, total] = StoredEnergies(kest, type);
                const auto publishedToday = subscriber.Latest(State(serial, slug, "energy_today"));
                const auto publishedTotal = subscriber.Latest(State(serial, slug, "energy_total"));
                ASSERT_TRUE(publishedToday && publishedTotal)
                    << serial.toStdString() << slug.toStdString();
                EXPECT_NEAR(Number(publishedToday->Payload), today, 0.0006) << slug.toStdString();
                EXPECT_NEAR(Number(publishedTotal->Payload), total, 0.0006) << slug.toStdString();
            }
        }
    }

    QTemporaryDir ConfigDir;
    int32_t RoofKest = 0;
    int32_t ShedKest = 0;
};

TEST_F(ServiceTest, DiscoveryDescribesEveryStateAndTheStatesAreTheBoxes) {
    TBroker broker(true);
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    StartBoxes();
    ServiceProcess service(Arguments(WriteConfig(broker)));
    TSubscriber live;
    ASSERT_TRUE(live.Connect(broker.Port(), broker.UserName(), broker.Password()));
    ASSERT_TRUE(live.WaitFor([&] { return EnergiesOut(live) && DownloadsDone(service, 2); }, 60000))
        << service.Output().toStdString();

    // A consumer that knows only the discovery rules: the retained configurations lead it to
    // every state.
    TSubscriber late;
    ASSERT_TRUE(late.Connect(broker.Port(), broker.UserName(), broker.Password()));
    const QRegularExpression configTopic(QStringLiteral(
        "^homeassistant/(sensor|binary_sensor)/([A-Za-z0-9_-]+)/([A-Za-z0-9_-]+)/config$"));
    // The broker hands the retained messages out one after the other.
    auto configsIn = [&] {
        int n = 0;
        for (const Message& m : late.Messages()) {
            n += configTopic.match(m.Topic).hasMatch() && !m.Payload.isEmpty() ? 1 : 0;
        }
        return n;
    };
    // Roof: 4 modules x 3 sensors and 3 problem sensors; Shed: 3 x 3 and 2.
    ASSERT_TRUE(late.WaitFor([&] { return configsIn() >= 15 + 11; }, 5000)) << configsIn();
    std::map<QString, QJsonObject> devices;  // first identifier -> device block
    std::set<QString> uniqueIds;
    std::map<QString, int> perDevice;
    int configs = 0;
    for (const Message& m : late.Messages()) {
        if (!configTopic.match(m.Topic).hasMatch() || m.Payload.isEmpty()) {
            continue;
        }
        ++configs;
        EXPECT_TRUE(m.Retained) << m.Topic.toStdString();
        const QJsonObject config = QJsonDocument::fromJson(m.Payload).object();
        const bool binary = m.Topic.contains("/binary_sensor/");
        const QStringList keys = binary ? QStringList{"payload_on", "payload_off"}
                                        : QStringList{"state_class", "unit_of_measurement"};
        for (const QString& key : keys + QStringList{"name", "unique_id", "state_topic",
                                                     "device_class", "availability", "device"}) {
            EXPECT_TRUE(config.contains(key))
                << m.Topic.toStdString() << " lacks " << key.toStdString();
        }
        for (const char* abbreviation : {"stat_t", "dev", "uniq_id", "avty", "unit_of_meas"}) {
            EXPECT_FALSE(config.contains(abbreviation)) << m.Topic.toStdString();
        }
        EXPECT_TRUE(uniqueIds.insert(config["unique_id"].toString()).second);
        const QJsonObject device = config["device"].toObject();
        const QString id = device["identifiers"].toArray().first().toString();
        devices[id] = device;
        ++perDevice[id];
        const bool power = config["device_class"] == "power";
        const QString stateTopic = config["state_topic"].toString();
        ASSERT_TRUE(late.WaitFor([&] { return late.Latest(stateTopic).has_value(); }, 2000))
            << stateTopic.toStdString();
        const auto state = late.Latest(stateTopic);
        if (binary) {
            EXPECT_EQ(config["device_class"], "problem");
            EXPECT_EQ(state->Payload, "OFF") << stateTopic.toStdString();
        } else {
            EXPECT_EQ(config["state_class"], power ? "measurement" : "total_increasing");
            EXPECT_EQ(config["unit_of_measurement"], power ? "W" : "kWh");
            EXPECT_GE(Number(state->Payload), 0) << state->Payload.toStdString();
        }
        for (const QJsonValue& availability : config["availability"].toArray()) {
            const QString statusTopic = availability["topic"].toString();
            ASSERT_TRUE(late.WaitFor([&] { return late.Latest(statusTopic).has_value(); }, 2000));
            const auto status = late.Latest(statusTopic);
            EXPECT_EQ(status->Payload, "online");
        }
    }
    EXPECT_EQ(configs, 15 + 11);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(perDevice[Roof_Serial], 15);
    EXPECT_EQ(perDevice[Shed_Serial], 11);
    EXPECT_EQ(devices[Roof_Serial]["name"], "Roof");
    EXPECT_EQ(devices[Shed_Serial]["name"], "Shed");
    EXPECT_FALSE(devices[Shed_Serial]["sw_version"].toString().isEmpty());
    // Shed has no inverter B: its configurations are removed.
    const auto removed =
        live.Latest("homeassistant/sensor/quarnel_" + Shed_Serial + "/b_power/config");
    ASSERT_TRUE(removed);
    EXPECT_TRUE(removed->Payload.isEmpty());
    const auto noProblem =
        live.Latest("homeassistant/binary_sensor/quarnel_" + Shed_Serial + "/b_problem/config");
    ASSERT_TRUE(noProblem);
    EXPECT_TRUE(noProblem->Payload.isEmpty());

    ExpectEnergiesAsStored(live);

    // The power against what kestctl reads from the box at the same moment.
    for (const auto& [box, serial] :
         {std::pair{Boxes[0].get(), Roof_Serial}, std::pair{Boxes[1].get(), Shed_Serial}}) {
        ASSERT_TRUE(live.WaitFor(
            [&, serial = serial] { return live.Latest(State(serial, "a", "power")).has_value(); },
            10000));
        QByteArray output;
        RunProgram(KESTCTL_PROGRAM, {"--port", QString::number(box->port()), "power"}, &output);
        const QRegularExpression line(QStringLiteral("^(?:inverter )?(A|B|C|total): ([0-9.]+) W"),
                                      QRegularExpression::MultilineOption);
        int compared = 0;
        for (auto it = line.globalMatch(QString::fromLocal8Bit(output)); it.hasNext();) {
            const auto match = it.next();
            const QString module = match.captured(1).toLower();
            const auto published = live.Latest(State(serial, module, "power"));
            if (!published) {
                continue;
            }
            const double read = match.captured(2).toDouble();
            EXPECT_NEAR(Number(published->Payload), read, 25 + read * 0.05)
                << serial.toStdString() << ' ' << module.toStdString();
            ++compared;
        }
        EXPECT_GE(compared, 2) << output.toStdString();
    }
    EXPECT_FALSE(service.Output().contains(broker.Password())) << service.Output().toStdString();
}

TEST_F(ServiceTest, ABoxThatStopsGoesOfflineAndComesBackWhileTheOthersGoOn) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    StartBoxes();
    // A third box takes connections but never answers: every attempt to log in to it waits for
    // the link's time-out.
    kestemu::Config silent = BoxConfig("2024-06-20 12:00");
    silent.faults.silent_after = 0;
    KestSpec silentSpec;
    silentSpec.Name = "Silent";
    silentSpec.Port = StartBox(silent).port();
    AddKest(silentSpec);

    ServiceProcess service(Arguments(WriteConfig(broker)));
    TSubscriber subscriber;
    ASSERT_TRUE(subscriber.Connect(broker.Port()));
    const QString roofStatus = "quarnel/" + Roof_Serial + "/status";
    const QString shedPower = State(Shed_Serial, "a", "power");
    ASSERT_TRUE(subscriber.WaitFor(
        [&] {
            const auto status = subscriber.Latest(roofStatus);
            return status && status->Payload == "online" && subscriber.Latest(shedPower);
        },
        30000))
        << service.Output().toStdString();

    const int port = Boxes[0]->port();
    Boxes[0]->stop();
    ASSERT_TRUE(subscriber.WaitFor(
        [&] { return subscriber.Latest(roofStatus)->Payload == "offline"; }, 15000))
        << service.Output().toStdString();
    kestemu::Config again = BoxConfig("2024-06-20 12:00");
    again.serial = Roof_Serial.toStdString();
    again.port = port;
    Boxes[0] = std::make_unique<kestemu::Emulator>(again);
    std::string why;
    ASSERT_TRUE(Boxes[0]->start(&why)) << why;
    const int64_t back = subscriber.Latest(roofStatus)->ReceivedNs;
    ASSERT_TRUE(subscriber.WaitFor(
        [&] {
            const auto status = subscriber.Latest(roofStatus);
            const auto power = subscriber.Latest(State(Roof_Serial, "a", "power"));
            return status->Payload == "online" && power && power->ReceivedNs > status->ReceivedNs;
        },
        30000))
        << service.Output().toStdString();
    EXPECT_GT(subscriber.Latest(roofStatus)->ReceivedNs, back);

    // Shed's power came every interval throughout, the silent box and Roof's outage aside.
    std::vector<int64_t> times;
    for (const Message& m : subscriber.Messages()) {
        if (m.Topic == shedPower) {
            times.push_back(m.ReceivedNs);
        }
    }
    ASSERT_GE(times.size(), 5u);
    int64_t longest = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        longest = std::max(longest, times[i] - times[i - 1]);
    }
    EXPECT_LT(longest, int64_t(4000) * 1000 * 1000) << "ms: " << longest / 1000000;
    EXPECT_TRUE(service.Output().contains("Silent: cannot connect"))
        << service.Output().toStdString();
}

TEST_F(ServiceTest, TheBrokerKilledAndStartedAgainGetsEverythingBackWithFlatMemory) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    StartBoxes();
    ServiceProcess service(Arguments(WriteConfig(broker)));
    auto complete = [&](const TSubscriber& s) {
        const auto status = s.Latest("quarnel/status");
        return status && status->Payload == "online" && EnergiesOut(s) &&
               s.Latest("quarnel/" + Shed_Serial + "/status") &&
               s.Latest("homeassistant/sensor/quarnel_" + Roof_Serial + "/c_energy_total/config") &&
               s.Latest(State(Roof_Serial, "total", "power"));
    };
    {
        TSubscriber first;
        ASSERT_TRUE(first.Connect(broker.Port()));
        ASSERT_TRUE(first.WaitFor([&] { return complete(first); }, 60000))
            << service.Output().toStdString();
    }
    [[maybe_unused]] long rssAfterFirst = 0;
    for (int restart = 1; restart <= 20; ++restart) {
        broker.Kill();
        ASSERT_TRUE(broker.Restart(&error)) << error.toStdString();
        // The broker kept nothing: whatever a new subscriber finds, the service sent again.
        TSubscriber subscriber;
        ASSERT_TRUE(subscriber.Connect(broker.Port()));
        ASSERT_TRUE(subscriber.WaitFor([&] { return complete(subscriber); }, 30000))
            << "restart " << restart << '\n'
            << service.Output().toStdString();
        if (restart == 1) {
            rssAfterFirst = service.Rss();
        }
    }
    [[maybe_unused]] const long rssAfterLast = service.Rss();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (The sanitizers keep freed memory back for a while: their builds' resident size grows.)
    EXPECT_LT(rssAfterLast - rssAfterFirst, 1024) << rssAfterFirst << " kB, then " << rssAfterLast;
#endif
}

TEST_F(ServiceTest, HomeAssistantStartingAgainGetsTheConfigurationsAgain) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    StartBoxes();
    ServiceProcess service(Arguments(WriteConfig(broker)));
    TSubscriber subscriber;
    ASSERT_TRUE(subscriber.Connect(broker.Port()));
    const QString config = "homeassistant/sensor/quarnel_" + Shed_Serial + "/total_power/config";
    ASSERT_TRUE(subscriber.WaitFor([&] { return subscriber.Latest(config).has_value(); }, 30000));
    subscriber.Clear();
    subscriber.Publish("homeassistant/status", "online", false);
    ASSERT_TRUE(subscriber.WaitFor([&] { return subscriber.Latest(config).has_value(); }, 10000));
    EXPECT_FALSE(subscriber.Latest(config)->Payload.isEmpty());
}

// Roof's inverter B answers 0 W and Shed's inverter C does not answer at all, while their other
// inverters produce at midday.
TEST_F(ServiceTest, AnInverterThatStopsBesideProducingOnesIsAProblemAndClearsWhenItProducesAgain) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    kestemu::Faults zeroB;
    zeroB.zero_inverter = 'B';
    kestemu::Faults silentC;
    silentC.silent_inverter = 'C';
    StartBoxes("2024-06-20 12:00", zeroB, silentC);
    const int metricsPort = quarneldtest::FreePort();
    ServiceProcess service(Arguments(
        WriteConfig(broker, QStringLiteral("[metrics]\nport = %1\n[alerts]\nafter_minutes = 0.1\n"
                                           "clear_minutes = 0.1\n")
                                .arg(metricsPort))));
    TSubscriber subscriber;
    ASSERT_TRUE(subscriber.Connect(broker.Port()));
    auto problem = [&](const QString& serial, const char* module) {
        const auto state = subscriber.Latest(State(serial, module, "problem"));
        return state ? state->Payload : QByteArray();
    };
    ASSERT_TRUE(subscriber.WaitFor(
        [&] { return problem(Roof_Serial, "b") == "ON" && problem(Shed_Serial, "c") == "ON"; },
        60000))
        << service.Output().toStdString();
    const QString output = service.Output();
    EXPECT_TRUE(
        output.contains("Roof, inverter B: not producing (0 W or no answer for 0.1 min "
                        "while inverter A at "))
        << output.toStdString();
    EXPECT_TRUE(output.contains("Shed, inverter C: not producing")) << output.toStdString();

    const auto page = quarneldtest::Scrape(metricsPort);
    ASSERT_TRUE(page) << output.toStdString();
    const QString roof = "box=\"Roof\",serial=\"" + Roof_Serial + '"';
    const QString shed = "box=\"Shed\",serial=\"" + Shed_Serial + '"';
    for (const QString& line :
         {"quarnel_inverter_not_producing{" + roof + ",module=\"B\"} 1",
          "quarnel_inverter_not_producing{" + roof + ",module=\"A\"} 0",
          "quarnel_inverter_not_producing{" + shed + ",module=\"C\"} 1",
          "quarnel_power_watts{" + roof + ",module=\"B\"} 0", "quarnel_box_up{" + shed + "} 1"}) {
        EXPECT_TRUE(page->contains(line.toUtf8())) << line.toStdString() << '\n'
                                                   << page->toStdString();
    }
    const QRegularExpression noAnswer("quarnel_box_request_failures_total\\{" +
                                      QRegularExpression::escape(shed) +
                                      ",kind=\"no_answer\"\\} ([0-9]+)");
    const auto failures = noAnswer.match(QString::fromUtf8(*page));
    ASSERT_TRUE(failures.hasMatch()) << page->toStdString();
    EXPECT_GE(failures.captured(1).toInt(), 3);
    if (const auto said = quarneldtest::PromtoolSays(*page)) {
        EXPECT_EQ(*said, QByteArray()) << page->toStdString();
    }

    // Roof's B produces again: after the clear time its problem ends.
    Boxes[0]->set_faults({});
    ASSERT_TRUE(subscriber.WaitFor([&] { return problem(Roof_Serial, "b") == "OFF"; }, 30000))
        << service.Output().toStdString();
    EXPECT_TRUE(service.Output().contains("Roof, inverter B: producing again (for 0.1 min, now "));
    EXPECT_EQ(problem(Shed_Serial, "c"), "ON");
    // The healthy inverters never turned on.
    for (const auto& [serial, module] :
         {std::pair{Roof_Serial, "a"}, std::pair{Roof_Serial, "c"}, std::pair{Shed_Serial, "a"}}) {
        const auto states = subscriber.Messages(State(serial, module, "problem"));
        EXPECT_FALSE(states.empty());
        for (const Message& m : states) {
            EXPECT_EQ(m.Payload, "OFF") << serial.toStdString() << module;
        }
    }
}

TEST_F(ServiceTest, BusAStoppedInverterIsShownOnTheDesktopInTheStoredLanguage) {
    QUARNELD_REQUIRE_TEST_BUS();
    quarneldtest::TNotificationServer desktop;
    ASSERT_TRUE(desktop.Start());
    UserData->SetLanguage(Language_German);
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    kestemu::Faults zeroB;
    zeroB.zero_inverter = 'B';
    StartBoxes("2024-06-20 12:00", zeroB);
    ServiceProcess service(Arguments(WriteConfig(
        broker, QStringLiteral("[alerts]\nafter_minutes = 0.05\nclear_minutes = 0.05\n"))));
    ASSERT_TRUE(desktop.WaitForCount(1, std::chrono::seconds(60)))
        << service.Output().toStdString();
    const quarneldtest::TNotification shown = desktop.Received().front();
    EXPECT_EQ(shown.AppName, "quarneld");
    EXPECT_EQ(shown.Summary, "Wechselrichter produziert nicht");
    EXPECT_EQ(shown.Body,
              "Roof (B) produziert nicht, während die anderen Wechselrichter produzieren");
    EXPECT_EQ(shown.Urgency, 2);

    Boxes[0]->set_faults({});
    ASSERT_TRUE(desktop.WaitForCount(2, std::chrono::seconds(30)))
        << service.Output().toStdString();
    const quarneldtest::TNotification again = desktop.Received().back();
    EXPECT_EQ(again.Body, "Roof (B) produziert wieder");
    EXPECT_EQ(again.ReplacesId, shown.Id);
    EXPECT_EQ(desktop.Received().size(), 2u) << "only Roof's B stopped";
}

TEST_F(ServiceTest, AtNightThePowerIsZeroAndTheEnergiesStay) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    StartBoxes("2024-06-20 23:30");
    ServiceProcess service(
        Arguments(WriteConfig(broker, QStringLiteral("[alerts]\nafter_minutes = 0.05\n"))));
    TSubscriber subscriber;
    ASSERT_TRUE(subscriber.Connect(broker.Port()));
    ASSERT_TRUE(subscriber.WaitFor(
        [&] {
            return EnergiesOut(subscriber) && DownloadsDone(service, 2) &&
                   subscriber.Latest(State(Shed_Serial, "total", "power"));
        },
        60000))
        << service.Output().toStdString();
    for (const QString& serial : {Roof_Serial, Shed_Serial}) {
        for (const char* m : {"total", "a", "c"}) {
            const auto power = subscriber.Latest(State(serial, m, "power"));
            ASSERT_TRUE(power);
            EXPECT_EQ(Number(power->Payload), 0) << serial.toStdString() << m;
            EXPECT_GT(Number(subscriber.Latest(State(serial, m, "energy_total"))->Payload), 0);
        }
    }
    // Dark inverters beside dark ones: none is a problem, however long they stay at 0 W.
    for (const Message& m : subscriber.Messages()) {
        if (m.Topic.endsWith("/problem")) {
            EXPECT_EQ(m.Payload, "OFF") << m.Topic.toStdString();
        }
    }
    EXPECT_FALSE(service.Output().contains("not producing")) << service.Output().toStdString();
    ExpectEnergiesAsStored(subscriber);
}

// systemd's side of the notify socket: what the service reports, datagram by datagram.
class NotifySocket {
public:
    NotifySocket() {
        Path = Dir.filePath("notify").toStdString();
        Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Path.c_str());
        EXPECT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~NotifySocket() { close(Fd); }
    const std::string& Name() const { return Path; }
    // Everything received so far, one datagram after the other.
    QByteArray Received() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = recv(Fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return All;
            }
            All += QByteArray(buffer, int(n)) + '\n';
        }
    }

private:
    QTemporaryDir Dir;
    std::string Path;
    int Fd = -1;
    QByteArray All;
};

TEST_F(ServiceTest, ItTellsSystemdAndEndsOnSigtermWithinTwoSeconds) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    StartBoxes();
    NotifySocket notify;
    qputenv("NOTIFY_SOCKET", QByteArray::fromStdString(notify.Name()));
    qputenv("WATCHDOG_USEC", "400000");
    ServiceProcess service(Arguments(WriteConfig(broker)));
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    TSubscriber subscriber;
    ASSERT_TRUE(subscriber.Connect(broker.Port()));
    ASSERT_TRUE(subscriber.WaitFor(
        [&] { return subscriber.Latest(State(Roof_Serial, "a", "power")).has_value(); }, 30000));
    ASSERT_TRUE(
        subscriber.WaitFor([&] { return notify.Received().count("WATCHDOG=1") >= 3; }, 5000))
        << notify.Received().toStdString();
    EXPECT_TRUE(notify.Received().startsWith("READY=1")) << notify.Received().toStdString();

    const auto start = std::chrono::steady_clock::now();
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitAtMost(std::chrono::seconds(2)), 0) << service.Output().toStdString();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(notify.Received().contains("STOPPING=1"));
    ASSERT_TRUE(subscriber.WaitFor(
        [&] { return subscriber.Latest("quarnel/status")->Payload == "offline"; }, 2000));
}

TEST_F(ServiceTest, ABadValueAndAFileOthersCanReadAreRefused) {
    TBroker broker;  // not started: the configuration is refused before any broker is needed
    const QString path = WriteConfig(broker, QStringLiteral("[service]\nlive_interval = 1\n"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[service]\nlive_interval = 1\n");
    file.close();
    QByteArray output;
    EXPECT_EQ(RunProgram(QUARNELD_PROGRAM, Arguments(path), &output), 2);
    EXPECT_TRUE(output.contains("live_interval")) << output.toStdString();

    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[mqtt]\nhost = 127.0.0.1\npassword = secret\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    EXPECT_EQ(RunProgram(QUARNELD_PROGRAM, Arguments(path), &output), 2);
    EXPECT_TRUE(output.contains(path.toUtf8())) << output.toStdString();
    EXPECT_TRUE(output.contains("chmod")) << output.toStdString();
}

TEST_F(ServiceTest, ADesktopSessionWritesBesideTheServicesDownload) {
    TBroker broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    KestSpec roof;
    roof.Port = StartBox(BoxConfig("2024-06-20 12:00")).port();
    const int32_t kestRoof = AddKest(roof);
    KestSpec desk;  // the desktop's own box, which the service leaves alone
    desk.Name = "Desk";
    desk.Online = false;
    const int32_t kestDesk = AddKest(desk);

    ServiceProcess service(Arguments(WriteConfig(broker)));
    ASSERT_TRUE(WaitFor([&] { return Count("SELECT 1 FROM samples") > 0; }, 30s))
        << service.Output().toStdString();
    int written = 0;
    for (int i = 0; i < 1000; ++i) {
        written += UserData->SaveYield(kestDesk, Module_Type_Total, Res_Ten_Minutes,
                                       At(2024, 1, 1).addSecs(600 * i), i) == TSaveResult::Written;
    }
    ASSERT_TRUE(WaitFor([&] { return service.Output().contains("Roof: history download"); }, 60s))
        << service.Output().toStdString();
    EXPECT_TRUE(service.Output().contains("Roof: history download complete"))
        << service.Output().toStdString();
    EXPECT_EQ(written, 1000);
    EXPECT_EQ(SamplesOfKest(*UserData, kestDesk).size(), 1000u);
    const StoredSamples stored = SamplesOfKest(*UserData, kestRoof);
    size_t expected = 0;
    for (int module : {128, 4, 8, 12}) {
        for (uint8_t resolution : {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year}) {
            for (const auto& [period, value] :
                 ModelDownload(*Boxes[0], Boxes[0]->now(), module, resolution)) {
                const auto found =
                    stored.find({module, resolution, period.toString("yyyy-MM-dd HH:mm:ss")});
                if (found != stored.end() && SameYield(found->second, value)) {
                    ++expected;
                }
            }
        }
    }
    // Every period the box holds is stored with its value; the newest may have grown since.
    EXPECT_GE(expected + 16, stored.size());
    EXPECT_GT(stored.size(), 1000u);
}

// The periods the box holds that a download stores and the database lacks or holds with
// another value; the newest period of each module and resolution may have grown since and is
// not counted.
int MissingHistory(const TUserData& data, int32_t kestId, const kestemu::Emulator& box,
                   const std::vector<int>& modules) {
    const StoredSamples stored = SamplesOfKest(data, kestId);
    int missing = 0;
    for (int module : modules) {
        for (uint8_t resolution : {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year}) {
            const auto download = ModelDownload(box, box.now(), module, resolution);
            for (size_t i = 1; i < download.size(); ++i) {
                const auto& [period, value] = download[i];
                const auto found =
                    stored.find({module, resolution, period.toString("yyyy-MM-dd HH:mm:ss")});
                missing += found == stored.end() || !SameYield(found->second, value) ? 1 : 0;
            }
        }
    }
    return missing;
}

QString ServiceConfig(const QTemporaryDir& dir) {
    const QString path = dir.filePath("quarneld.conf");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[service]\nlive_interval = 2\nhistory_interval = 60\n[metrics]\nport = 0\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    return path;
}

// A PostgreSQL server of the test's own, in a temporary folder on a free port: restarting it
// disturbs no other test's server. The server refuses to run as root; then its programs run
// as the postgres account.
class PrivateServer {
public:
    bool Start(QString* error) {
        QTcpServer probe;
        if (!Dir.isValid() || !probe.listen(QHostAddress::LocalHost, 0)) {
            *error = "no folder or port for the server";
            return false;
        }
        Port = probe.serverPort();
        probe.close();
        if (geteuid() == 0 && RunProgram("chown", {"postgres:", Dir.path()}, nullptr) != 0) {
            *error = "the folder cannot be given to postgres";
            return false;
        }
        const QString options = QStringLiteral(
                                    "-p %1 -k %2 -c listen_addresses=127.0.0.1 "
                                    "-c fsync=off")
                                    .arg(Port)
                                    .arg(Dir.path());
        return Run("initdb", {"-D", Data(), "-U", "postgres", "--auth=trust", "--no-sync"},
                   error) &&
               Run("pg_ctl",
                   {"-D", Data(), "-l", Dir.filePath("log"), "-o", options, "-w", "start"}, error);
    }
    // A fast restart, as an administrator's: every session ends, what was committed stays.
    bool Restart(QString* error) {
        return Run("pg_ctl", {"-D", Data(), "-m", "fast", "-w", "restart"}, error);
    }
    ~PrivateServer() {
        if (Port > 0) {
            QString error;
            Run("pg_ctl", {"-D", Data(), "-m", "immediate", "-w", "stop"}, &error);
        }
    }
    // password: given in the URI and never needed (the server trusts its local users).
    QString Url(const QString& database) const {
        return QStringLiteral("postgresql://postgres:%1@127.0.0.1:%2/%3")
            .arg(Password)
            .arg(Port)
            .arg(database);
    }
    const QString Password = QStringLiteral("Unshown-9f3b");

private:
    QString Data() const { return Dir.filePath("data"); }
    bool Run(const QString& program, const QStringList& arguments, QString* error) const {
        const QString path =
            QStandardPaths::findExecutable(program, {QStringLiteral("/usr/lib/postgresql/15/bin")});
        QByteArray output;
        const int code =
            geteuid() == 0
                ? RunProgram("runuser", QStringList{"-u", "postgres", "--", path} + arguments,
                             &output)
                : RunProgram(path, arguments, &output);
        if (code != 0) {
            *error = program + ": " + QString::fromLocal8Bit(output);
        }
        return code == 0;
    }

    QTemporaryDir Dir;
    int Port = 0;
};

// quarneld downloading from two boxes into a database on a server of the test's own.
class StoreOutageTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUARNEL_POSTGRES_ONLY();
        QString error;
        ASSERT_TRUE(Server.Start(&error)) << error.toStdString();
        Psql(Server.Url("postgres"), "CREATE DATABASE quarnel");
        QByteArray output;
        ASSERT_EQ(RunProgram(QStringLiteral(QUARNEL_SOURCE_DIR "/data/install.sh"),
                             {"--postgresql", Server.Url("quarnel"), Folder.path() + "/"}, &output),
                  0)
            << output.toStdString();
        HadDatabase = qEnvironmentVariableIsSet("QUARNEL_DATABASE");
        PreviousDatabase = qgetenv("QUARNEL_DATABASE");
        qputenv("QUARNEL_DATABASE", Server.Url("quarnel").toLocal8Bit());
        OpenData();
        for (const auto& [name, serial, seed] :
             {std::tuple{"Roof", Roof_Serial, 4711}, std::tuple{"Shed", Shed_Serial, 7}}) {
            kestemu::Config config = BoxConfig("2024-06-20 12:00");
            config.serial = serial.toStdString();
            config.seed = uint32_t(seed);
            KestSpec spec;
            spec.Name = name;
            spec.Port = StartBoxInto(Boxes, config).port();
            Kests.push_back(AddKestRow(*UserData, spec));
        }
    }
    void TearDown() override {
        UserData.reset();
        for (auto& box : Boxes) {
            box->stop();
        }
        if (HadDatabase) {
            qputenv("QUARNEL_DATABASE", PreviousDatabase);
        } else {
            qunsetenv("QUARNEL_DATABASE");
        }
    }
    // A fresh connection of the test's own: a restart of the server ends the old one.
    void OpenData() {
        UserData.reset();
        TStore store;
        QString message;
        ASSERT_TRUE(PostgresStore(Server.Url("quarnel"), &store, &message));
        UserData = std::make_unique<TUserData>(View, store);
        ASSERT_TRUE(UserData->IsOpen()) << View.Errors.join("\n").toStdString();
    }
    QStringList Arguments(const QString& delayMs) const {
        return {"--config",          ServiceConfig(ConfigDir), "--data-dir",
                Folder.path() + "/", "--request-delay",        delayMs};
    }
    int Samples() const {
        int code = 0;
        return Psql(Server.Url("quarnel"), "SELECT COUNT(*) FROM samples", &code).trimmed().toInt();
    }
    void ExpectEveryBoxsHistoryStored() {
        EXPECT_EQ(MissingHistory(*UserData, Kests[0], *Boxes[0], {128, 4, 8, 12}), 0);
        EXPECT_EQ(MissingHistory(*UserData, Kests[1], *Boxes[1], {128, 4, 8, 12}), 0);
    }

    PrivateServer Server;
    QTemporaryDir Folder;
    QTemporaryDir ConfigDir;
    TRecordingView View;
    std::unique_ptr<TUserData> UserData;
    std::vector<std::unique_ptr<kestemu::Emulator>> Boxes;
    std::vector<int32_t> Kests;
    bool HadDatabase = false;
    QByteArray PreviousDatabase;
};

TEST_F(StoreOutageTest, TheServerRestartedInMidDownloadLosesNoSample) {
    ServiceProcess service(Arguments("10"));
    ASSERT_TRUE(WaitFor([&] { return Samples() > 300; }, 60s)) << service.Output().toStdString();
    QString error;
    ASSERT_TRUE(Server.Restart(&error)) << error.toStdString();
    ASSERT_FALSE(service.Output().contains("history download complete"))
        << "the restart came after the downloads:\n"
        << service.Output().toStdString();

    ASSERT_TRUE(WaitFor([&] { return DownloadsDone(service); }, 120s))
        << service.Output().toStdString();
    const QString output = service.Output();
    EXPECT_EQ(output.count("cannot be reached"), 1) << output.toStdString();
    EXPECT_EQ(output.count("is reachable again"), 1) << output.toStdString();
    EXPECT_FALSE(output.contains("history download failed")) << output.toStdString();
    EXPECT_FALSE(output.contains(Server.Password)) << output.toStdString();
    OpenData();
    ExpectEveryBoxsHistoryStored();
}

TEST_F(StoreOutageTest, KilledInMidDownloadItKeepsWhatWasCommittedAndTheNextStartCompletesIt) {
    StoredSamples committed;
    {
        ServiceProcess service(Arguments("10"));
        ASSERT_TRUE(WaitFor([&] { return Samples() > 300; }, 60s))
            << service.Output().toStdString();
        committed = SamplesOfKest(*UserData, Kests[0]);
        service.Signal(SIGKILL);
        EXPECT_EQ(service.WaitAtMost(30s), -1);
    }
    const StoredSamples after = SamplesOfKest(*UserData, Kests[0]);
    int lost = 0;
    for (const auto& [key, value] : committed) {
        const auto found = after.find(key);
        lost += found == after.end() || found->second != value ? 1 : 0;
    }
    EXPECT_EQ(lost, 0) << committed.size() << " rows before the kill";

    ServiceProcess next(Arguments("0"));
    ASSERT_TRUE(WaitFor([&] { return DownloadsDone(next); }, 120s)) << next.Output().toStdString();
    ExpectEveryBoxsHistoryStored();
}

// The connections whose history requests reached the box, in their order, with repeats of one
// connection folded: every download of one service is one run of its connection there, and two
// downloads at once would interleave theirs.
std::vector<int> HistoryRuns(const kestemu::Emulator& box) {
    std::vector<int> runs;
    for (const kestemu::ReceivedFrame& frame : box.received()) {
        const std::vector<uint8_t>& b = frame.bytes;
        const bool history = b.size() >= 17 && b[0] == 0x10 && b[3] == 0 && b[4] == 0x41;
        if (history && (runs.empty() || runs.back() != frame.connection)) {
            runs.push_back(frame.connection);
        }
    }
    return runs;
}

TEST_F(ServiceTest, TwoServicesWithOverlappingListsDownloadEachBoxOnceAtATime) {
    QUARNEL_POSTGRES_ONLY();
    std::vector<int32_t> kests;
    for (const char* name : {"Roof", "Shed", "Barn"}) {
        kestemu::Config config = BoxConfig("2024-06-20 12:00");
        config.seed = int(kests.size()) + 3;
        KestSpec spec;
        spec.Name = name;
        spec.Port = StartBox(config).port();
        kests.push_back(AddKest(spec));
    }
    // Shed is on both lists, once by name and once by id; the test holds its lock first, as
    // another program would.
    TBoxLocks other(*UserData);
    ASSERT_EQ(other.Take(kests[1]), TLockResult::Taken);
    QTemporaryDir secondDir;
    auto config = [](const QTemporaryDir& dir, const QString& boxes) {
        const QString path = dir.filePath("quarneld.conf");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(("[mqtt]\nhost =\n[service]\nlive_interval = 2\nhistory_interval = 1\n"
                    "boxes = " +
                    boxes + "\n[metrics]\nport = 0\n")
                       .toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return path;
    };
    ServiceProcess first(Arguments(config(ConfigDir, "Roof, Shed")));
    ServiceProcess second(
        Arguments(config(secondDir, QString::number(kests[1]) + ", Barn, Nowhere")));
    const QString waits = "Shed: " + other.Holder(kests[1]) + " is downloading it into ";
    auto both = [&](const QString& text) {
        return first.Output().contains(text) && second.Output().contains(text);
    };
    ASSERT_TRUE(WaitFor(
        [&] {
            return both(waits) && first.Output().contains("Roof: history download complete") &&
                   second.Output().contains("Barn: history download complete");
        },
        200s))
        << first.Output().toStdString() << second.Output().toStdString();
    EXPECT_TRUE(HistoryRuns(*Boxes[1]).empty()) << "nobody asks a box whose lock is held";

    other.ReleaseAll();
    ASSERT_TRUE(WaitFor([&] { return both("Shed: history download complete"); }, 200s))
        << first.Output().toStdString() << second.Output().toStdString();
    const QString one = first.Output();
    const QString two = second.Output();
    for (const QString& output : {one, two}) {
        EXPECT_EQ(output.count(waits), 1) << "one line when the wait begins, not one per try";
        EXPECT_EQ(output.count("Shed: the box lock is free; downloading"), 1);
    }
    EXPECT_FALSE(one.contains("Barn:")) << one.toStdString();
    EXPECT_FALSE(two.contains("Roof:")) << two.toStdString();
    EXPECT_EQ(two.count("[service] boxes lists Nowhere, which is no box of"), 1);

    // Each service asked Shed in one stretch of its own session.
    const std::vector<int> runs = HistoryRuns(*Boxes[1]);
    const int shedDownloads = int(one.count("Shed: history download complete") +
                                  two.count("Shed: history download complete"));
    EXPECT_GE(runs.size(), 2u);
    EXPECT_LE(int(runs.size()), shedDownloads);
    EXPECT_EQ(std::set<int>(runs.begin(), runs.end()).size(), 2u);

    EXPECT_EQ(Count("SELECT sample_module, sample_resolution, sample_timestamp FROM samples "
                    "GROUP BY 1, 2, 3 HAVING COUNT(*) > 1"),
              0);
    for (size_t b = 0; b < kests.size(); ++b) {
        const StoredSamples stored = SamplesOfKest(*UserData, kests[b]);
        size_t expected = 0;
        for (int module : {128, 4, 8, 12}) {
            for (uint8_t resolution : {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year}) {
                for (const auto& [period, value] :
                     ModelDownload(*Boxes[b], Boxes[b]->now(), module, resolution)) {
                    const auto found =
                        stored.find({module, resolution, period.toString("yyyy-MM-dd HH:mm:ss")});
                    expected += found != stored.end() && SameYield(found->second, value);
                }
            }
        }
        // Every period the box holds is stored with its value; the newest may have grown since.
        EXPECT_GE(expected + 16, stored.size()) << b;
        EXPECT_GT(stored.size(), 1000u) << b;
    }
}

}  // namespace
}  // namespace datatest

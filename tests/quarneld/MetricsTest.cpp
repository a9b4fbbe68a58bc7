// The page Prometheus scrapes: accepted by promtool as it stands, with every family described
// once, label values that cannot break out of their quotes, and boxes not yet reached shown
// without inventing values for them.
#include <gtest/gtest.h>

#include <map>

#include "Metrics.h"
#include "tests/quarneld/Broker.h"

namespace {

TServiceMetrics TwoBoxes() {
    TServiceMetrics metrics;
    metrics.StartTimeS = 1718877600;
    metrics.Version = QStringLiteral("1.4.0");
    metrics.MqttEnabled = true;
    metrics.MqttConnected = true;
    TBoxMetrics roof;
    roof.Name = QStringLiteral("Roof \"west\" \\ 2\nnew line");
    roof.Serial = QStringLiteral("KEST-0001");
    roof.Up = true;
    roof.LastReadingS = 1718877700;
    roof.SamplesStored = 2960;
    roof.LastDownloadS = 12.5;
    roof.Count(TFailureKind::NoAnswer);
    roof.Count(TFailureKind::NoAnswer);
    TModuleMetrics total{128, true, 2450.5, true, 12.25, true, 1520.5, false};
    TModuleMetrics b{8, true, 0, true, 0.5, true, 400, true};
    roof.Modules = {total, b};
    TBoxMetrics shed;  // never reached: no serial, no values
    shed.Name = QStringLiteral("Shed");
    shed.Modules = {TModuleMetrics{128}, TModuleMetrics{4}};
    metrics.Boxes = {roof, shed};
    return metrics;
}

// The samples of the page: series name with labels -> value text.
std::map<QString, QString> Samples(const QByteArray& page) {
    std::map<QString, QString> samples;
    for (const QString& line : QString::fromUtf8(page).split('\n', Qt::SkipEmptyParts)) {
        if (!line.startsWith('#')) {
            const qsizetype space = line.lastIndexOf(' ');
            samples[line.left(space)] = line.mid(space + 1);
        }
    }
    return samples;
}

TEST(MetricsTest, PromtoolFindsNothingToSayAndEveryFamilyIsDescribedOnce) {
    const QByteArray page = MetricsText(TwoBoxes());
    std::map<QString, int> help, type;
    for (const QString& line : QString::fromUtf8(page).split('\n', Qt::SkipEmptyParts)) {
        const QStringList words = line.split(' ');
        if (words[0] == "#") {
            ++(words[1] == "HELP" ? help : type)[words[2]];
        }
    }
    EXPECT_EQ(help.size(), 12u);
    for (const auto& [name, count] : help) {
        EXPECT_EQ(count, 1) << name.toStdString();
        EXPECT_EQ(type[name], 1) << name.toStdString();
        EXPECT_EQ(name.endsWith("_total"), page.contains("# TYPE " + name.toUtf8() + " counter"))
            << name.toStdString();
    }

    const std::optional<QByteArray> said = quarneldtest::PromtoolSays(page);
    if (!said) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    EXPECT_EQ(*said, QByteArray()) << page.toStdString();
}

TEST(MetricsTest, ValuesInBaseUnitsAndLabelsEscaped) {
    const auto samples = Samples(MetricsText(TwoBoxes()));
    const QString roof = R"(box="Roof \"west\" \\ 2\nnew line",serial="KEST-0001")";
    EXPECT_EQ(samples.at("quarnel_power_watts{" + roof + R"(,module="total"})"), "2450.5");
    EXPECT_EQ(samples.at("quarnel_energy_today_joules{" + roof + R"(,module="total"})"),
              "44100000");
    EXPECT_EQ(samples.at("quarnel_energy_joules_total{" + roof + R"(,module="B"})"), "1440000000");
    EXPECT_EQ(samples.at("quarnel_inverter_not_producing{" + roof + R"(,module="B"})"), "1");
    EXPECT_EQ(samples.at("quarnel_box_request_failures_total{" + roof + R"(,kind="no_answer"})"),
              "2");
    EXPECT_EQ(samples.at("quarnel_box_request_failures_total{" + roof + R"(,kind="login"})"), "0");
    EXPECT_EQ(samples.at("quarnel_box_last_download_duration_seconds{" + roof + "}"), "12.5");
    EXPECT_EQ(samples.at("quarnel_service_info{version=\"1.4.0\"}"), "1");
    EXPECT_EQ(samples.at("quarnel_mqtt_connected"), "1");

    // The box never reached: down, its counters at 0, and no power, energy or times.
    const QString shed = R"(box="Shed",serial="")";
    EXPECT_EQ(samples.at("quarnel_box_up{" + shed + "}"), "0");
    EXPECT_EQ(samples.at("quarnel_box_samples_stored_total{" + shed + "}"), "0");
    EXPECT_EQ(samples.at("quarnel_inverter_not_producing{" + shed + R"(,module="A"})"), "0");
    for (const auto& [series, value] : samples) {
        if (series.contains(shed)) {
            EXPECT_FALSE(series.contains("power_watts") || series.contains("joules") ||
                         series.contains("timestamp") || series.contains("duration"))
                << series.toStdString();
        }
    }
}

TEST(MetricsTest, NoBrokerMeansNoBrokerState) {
    TServiceMetrics metrics;
    metrics.Version = QStringLiteral("1.4.0");
    const auto samples = Samples(MetricsText(metrics));
    EXPECT_EQ(samples.count("quarnel_mqtt_connected"), 0u);
    EXPECT_EQ(samples.count("quarnel_service_start_time_seconds"), 1u);
}

}  // namespace

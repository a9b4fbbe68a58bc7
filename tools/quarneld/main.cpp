// quarneld: the always-on service. It runs until SIGTERM or SIGINT.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "Acquisition.h"
#include "ConsoleView.h"
#include "DataFolder.h"
#include "DriverWarnings.h"
#include "MessageFrm.h"
#include "Metrics.h"
#include "MetricsServer.h"
#include "MqttLink.h"
#include "Notifier.h"
#include "Service.h"
#include "ServiceConfig.h"
#include "ServiceView.h"
#include "Sessions.h"
#include "StopSignals.h"
#include "dmUser.h"

namespace {

constexpr int Exit_Stopped = 0;
constexpr int Exit_Refused = 2;
// The broker gets this long to take the last offline before the service ends.
constexpr int Last_Publish_Ms = 1000;

void Say(const QString& text) {
    const QByteArray bytes = (text + '\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString DataFolderOf(const TServiceOptions& options) {
    return DataFolderFrom(
        options.DataDir.isEmpty() ? qEnvironmentVariable("QUARNEL_DATA_DIR") : options.DataDir,
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
        QCoreApplication::applicationDirPath());
}

// Feeds systemd's watchdog from the event loop, at half its time: a service whose loop hangs
// is restarted.
void StartWatchdog(QTimer* timer) {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return;
    }
    timer->setObjectName(QStringLiteral("WatchdogTimer"));
    timer->setInterval(int(std::max<uint64_t>(usec / 2000, 100)));
    QObject::connect(timer, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
    timer->start();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quarneld"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUARNEL_VERSION));
    QLoggingCategory::setFilterRules(QStringLiteral("quarnel.debug.debug=false"));
    tools::drop_lost_statement_warnings();

    TServiceOptions options;
    QString message;
    switch (ParseServiceOptions(QCoreApplication::arguments(), &options, &message)) {
        case TServiceParse::Help:
            std::fputs(ServiceUsage().toLocal8Bit().constData(), stdout);
            return Exit_Stopped;
        case TServiceParse::Version:
            std::printf("quarneld %s\n", QUARNEL_VERSION);
            return Exit_Stopped;
        case TServiceParse::Error:
            Say("quarneld: " + message + "\nTry quarneld --help.");
            return Exit_Refused;
        case TServiceParse::Run:
            break;
    }

    const bool named = !options.ConfigFile.isEmpty();
    const QString configPath = named ? options.ConfigFile : DefaultConfigPath();
    TServiceConfig config;
    QStringList warnings;
    if (!ReadServiceConfig(configPath, named, &config, &message, &warnings)) {
        Say("quarneld: " + message);
        return Exit_Refused;
    }
    for (const QString& warning : warnings) {
        Say("quarneld: " + warning);
    }
    if (!tools::catch_stop_signals()) {
        std::perror("quarneld: signals");
        return Exit_Refused;
    }

    const QString folder = DataFolderOf(options);
    TStore store;
    if (!ChooseStore(folder, &store, &message)) {
        Say(message);
        return Exit_Refused;
    }
    if (!store.IsPostgreSQL() && !QFileInfo::exists(store.Path)) {
        Say(MissingFileMessage(store.Path));
        return Exit_Refused;
    }
    TConsole console(false, true);
    TServiceView view(console);
    TUserData data(view, store);
    if (!data.IsOpen()) {
        return Exit_Refused;  // the reason is shown already
    }
    const TMsgForm texts;
    TKestSessions sessions(data, view, texts);
    sessions.InitSessions();
    if (view.QuitRequested) {
        return Exit_Refused;
    }
    TAcquisition acquisition(sessions, data);

    std::unique_ptr<TMqttLink> mqtt;
    if (config.Mqtt.Enabled()) {
        mqtt = std::make_unique<TMqttLink>(config.Mqtt);
        if (!mqtt->Start(&message)) {
            Say("quarneld: " + message);
            return Exit_Refused;
        }
    }
    // Where there is no desktop session bus, the notifier does nothing.
    TNotifier notifier(data, folder + QStringLiteral("language.sqlite"));
    TService service(config, data, sessions, acquisition, console, mqtt.get(), &notifier, folder,
                     options.RequestDelay);
    view.OnChannelEnded = [&service](TCANMessages* channel) { service.ChannelEnded(channel); };

    TMetricsServer metrics([&service] { return MetricsText(service.Metrics()); },
                           [](const QString& line) { Say("quarneld: " + line); });
    const QString endpoint = config.Metrics.Enabled()
                                 ? "metrics on http://" +
                                       QHostAddress(config.Metrics.Listen).toString() + ':' +
                                       QString::number(config.Metrics.Port) + "/metrics"
                                 : QStringLiteral("no metrics endpoint");
    Say("quarneld " QUARNEL_VERSION ": " + store.Shown + ", live power every " +
        QString::number(config.LiveIntervalS) + " s, history every " +
        QString::number(config.HistoryIntervalMin) + " min, " +
        (mqtt ? "broker " + config.Mqtt.Host + ':' + QString::number(config.Mqtt.Port)
              : QStringLiteral("no broker (nothing is published)")) +
        ", " + endpoint);
    if (config.Metrics.Enabled()) {
        metrics.Listen(QHostAddress(config.Metrics.Listen), quint16(config.Metrics.Port));
    }
    service.Start();
    sd_notify(0, "READY=1");
    QTimer watchdog;
    StartWatchdog(&watchdog);

    QSocketNotifier interrupts(tools::stop_signal_fd(), QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, [] {
        tools::take_stop_signal();
        QCoreApplication::quit();
    });
    QCoreApplication::exec();

    sd_notify(0, "STOPPING=1");
    Say(QStringLiteral("quarneld: stopping"));
    service.Stop();
    if (mqtt) {
        mqtt->Stop(Last_Publish_Ms);
    }
    // What was downloaded is committed. A worker in the middle of a request to a box that does
    // not answer, or a link still being opened, would hold the end up for the link's time-outs;
    // the process ends without waiting for them.
    std::fflush(nullptr);
    _exit(Exit_Stopped);
}

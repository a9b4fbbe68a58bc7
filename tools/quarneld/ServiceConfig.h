// The quarneld configuration file and command line. The file is INI text read with QSettings;
// its keys keep their names from version to version. QSettings ends a value at its first ';'
// outside double quotes (so "port = 1883   ; comment" reads 1883) and splits it at its commas,
// which are joined again with ','. The password alone is taken whole from its line (see
// ReadServiceConfig).
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// The [mqtt] section. No host: the service publishes nothing.
struct TMqttConfig {
    QString Host = QStringLiteral("localhost");
    int Port = 1883;
    QString UserName;
    QString Password;     // never in a message
    QString TlsCaFile;    // set: TLS, checking the broker against this CA; an absolute path
    QString TlsCertFile;  // the client certificate and its key, both or neither, only with a CA
    QString TlsKeyFile;
    QString ClientId;    // empty in the file: "quarneld-" and the host name, filled in by the read
    int KeepAlive = 60;  // seconds
    QString BaseTopic = QStringLiteral("quarnel");
    QString DiscoveryPrefix = QStringLiteral("homeassistant");

    bool Enabled() const { return !Host.isEmpty(); }
};

// The [metrics] section: the Prometheus endpoint. 10942 lies outside 9100-9999, the range of
// the exporters' registered ports, which is fully taken.
struct TMetricsConfig {
    QString Listen = QStringLiteral("127.0.0.1");
    int Port = 10942;  // 0: no endpoint

    bool Enabled() const { return Port != 0; }
};

// The [alerts] section: when an inverter counts as not producing (see InverterWatch.h).
struct TAlertConfig {
    double AfterMinutes = 15;
    double SiblingWatts = 100;
    double ClearMinutes = 10;
};

// One entry of [service] boxes: a box id when it is a number, and in any case the name of a box.
struct TBoxChoice {
    QString Text;
    int32_t Id = 0;  // 0: not a number, a name only

    bool Matches(int32_t kestId, const QString& kestName) const {
        return (Id != 0 && Id == kestId) || Text == kestName;
    }
};

struct TServiceConfig {
    TMqttConfig Mqtt;
    TMetricsConfig Metrics;
    TAlertConfig Alerts;
    int LiveIntervalS = 10;       // [service] live_interval, 2 .. 3600
    int HistoryIntervalMin = 15;  // [service] history_interval, 1 .. 1440
    // [service] boxes: the boxes the service keeps; empty, every on-line box of the database.
    // Several services that share one database may list different, overlapping boxes.
    std::vector<TBoxChoice> Boxes;

    bool Keeps(int32_t kestId, const QString& kestName) const;
};

// $XDG_CONFIG_HOME/quarnel/quarneld.conf, or ~/.config/quarnel/quarneld.conf.
QString DefaultConfigPath();

// Reads the file into config: the values it sets, the defaults for the others. A missing file
// gives the defaults when mustExist is false (the default path). False with a one-line message
// that names the file, and the key where a value is bad, when the file cannot be used, config
// then untouched: a file group or others can read or change (it holds the broker's password),
// no regular file, an unreadable one, INI it cannot make sense of, a bad value. Warnings (an
// unknown key or section, a line without '=', a password without user name) are appended to
// *warnings, one line each, and do not refuse the file. message and warnings may be null.
//
// An empty value means the default, except "host =", which turns MQTT off. The password is
// everything after the '=' of its line, blanks at both ends dropped and one pair of double
// quotes around it taken off: ';', ',', '"' and '\' are part of it. Relative TLS file names are
// taken from the folder of the file.
bool ReadServiceConfig(const QString& path, bool mustExist, TServiceConfig* config,
                       QString* message, QStringList* warnings);

struct TServiceOptions {
    QString ConfigFile;     // empty: DefaultConfigPath(), which may be missing
    QString DataDir;        // empty: the program's data folder
    int RequestDelay = 80;  // ms the worker pauses after every request
};

enum class TServiceParse { Run, Help, Version, Error };

// argv as Qt gives it, the program name first.
TServiceParse ParseServiceOptions(const QStringList& arguments, TServiceOptions* options,
                                  QString* message);
QString ServiceUsage();

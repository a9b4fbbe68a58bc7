// The quarneld configuration file and command line. The file is INI text read with QSettings;
// its keys keep their names from version to version.
#pragma once

#include <QString>
#include <QStringList>

// The [mqtt] section. No host: the service publishes nothing.
struct TMqttConfig {
    QString Host = QStringLiteral("localhost");
    int Port = 1883;
    QString UserName;
    QString Password;
    QString TlsCaFile;    // set: TLS, checking the broker against this CA
    QString TlsCertFile;  // the client certificate and its key, both or neither
    QString TlsKeyFile;
    QString ClientId;    // empty in the file: "quarneld-" and the host name
    int KeepAlive = 60;  // seconds
    QString BaseTopic = QStringLiteral("quarnel");
    QString DiscoveryPrefix = QStringLiteral("homeassistant");

    bool Enabled() const { return !Host.isEmpty(); }
};

struct TServiceConfig {
    TMqttConfig Mqtt;
    int LiveIntervalS = 10;       // [service] live_interval, 2 .. 3600
    int HistoryIntervalMin = 15;  // [service] history_interval, 1 .. 1440
};

// $XDG_CONFIG_HOME/quarnel/quarneld.conf, or ~/.config/quarnel/quarneld.conf.
QString DefaultConfigPath();

// Reads the file into config, over its defaults. A missing file gives the defaults when
// mustExist is false (the default path). False with a one-line message that names the file,
// and the key where a value is bad, when the file cannot be used; warnings (an unknown key)
// go to *warnings and do not refuse the file.
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

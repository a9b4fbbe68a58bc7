// The quarneld configuration file and command line: the example block read as users copy it,
// inline comments and all; every bad value refused with the key and the file named; a file
// others can read refused with the fix; values with commas, semicolons and quotes; unknown keys
// warned about; and the password, taken whole, never in a message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryDir>

#include "ServiceConfig.h"

namespace {

constexpr QFile::Permissions kPrivate = QFile::ReadOwner | QFile::WriteOwner;

// The block of the documentation, exactly as users will copy it.
const char* const kExampleBlock =
    "[mqtt]\n"
    "host = localhost          ; the broker; no host: MQTT is off\n"
    "port = 1883\n"
    "username =\n"
    "password =\n"
    "tls_ca_file =             ; set: TLS, checking the broker against this CA\n"
    "tls_cert_file =           ; optional client certificate and key\n"
    "tls_key_file =\n"
    "client_id =               ; default: quarneld- and the host name\n"
    "keepalive = 60            ; seconds\n"
    "base_topic = quarnel      ; the service's own topics start here; its will is "
    "<base_topic>/status\n"
    "discovery_prefix = homeassistant\n"
    "\n"
    "[service]\n"
    "live_interval = 10        ; seconds between live power readings, 2 .. 3600\n"
    "history_interval = 15     ; minutes between history downloads, 1 .. 1440\n"
    "\n"
    "[metrics]\n"
    "listen = 127.0.0.1        ; 0.0.0.0 or :: serves every network\n"
    "port = 10942              ; 0: no endpoint\n"
    "\n"
    "[alerts]\n"
    "after_minutes = 15        ; 0 W or no answer this long beside a producing inverter\n"
    "sibling_watts = 100       ; what the other inverter must produce, W\n"
    "clear_minutes = 10        ; producing again this long ends it\n";

QString DefaultClientId() {
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("quarneld") : "quarneld-" + host;
}

void ExpectDefaults(const TServiceConfig& config) {
    const TMqttConfig& mqtt = config.Mqtt;
    EXPECT_EQ(mqtt.Host, "localhost");
    EXPECT_TRUE(mqtt.Enabled());
    EXPECT_EQ(mqtt.Port, 1883);
    EXPECT_EQ(mqtt.UserName, "");
    EXPECT_EQ(mqtt.Password, "");
    EXPECT_EQ(mqtt.TlsCaFile, "");
    EXPECT_EQ(mqtt.TlsCertFile, "");
    EXPECT_EQ(mqtt.TlsKeyFile, "");
    EXPECT_EQ(mqtt.ClientId, DefaultClientId());
    EXPECT_EQ(mqtt.KeepAlive, 60);
    EXPECT_EQ(mqtt.BaseTopic, "quarnel");
    EXPECT_EQ(mqtt.DiscoveryPrefix, "homeassistant");
    EXPECT_EQ(config.LiveIntervalS, 10);
    EXPECT_EQ(config.HistoryIntervalMin, 15);
    EXPECT_TRUE(config.Boxes.empty());
    EXPECT_EQ(config.Metrics.Listen, "127.0.0.1");
    EXPECT_EQ(config.Metrics.Port, 10942);
    EXPECT_EQ(config.Alerts.AfterMinutes, 15);
    EXPECT_EQ(config.Alerts.SiblingWatts, 100);
    EXPECT_EQ(config.Alerts.ClearMinutes, 10);
}

class ConfigTest : public ::testing::Test {
protected:
    // Every file gets a name of its own: QSettings keeps what it read of a file by name.
    QString Write(const QByteArray& text, QFile::Permissions permissions = kPrivate,
                  const QString& name = QString()) {
        const QString path =
            Folder.filePath(name.isEmpty() ? QStringLiteral("config-%1.conf").arg(++Count) : name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        EXPECT_TRUE(QFile::setPermissions(path, permissions));
        return path;
    }

    // A file the TLS keys may name.
    QString Pem(const QString& name) {
        const QString path = Folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n");
        return path;
    }

    bool Read(const QByteArray& text) {
        Path = Write(text);
        return ReadPath(Path);
    }

    bool ReadPath(const QString& path, bool mustExist = true) {
        Message.clear();
        Warnings.clear();
        Config = TServiceConfig();
        return ReadServiceConfig(path, mustExist, &Config, &Message, &Warnings);
    }

    QTemporaryDir Folder;
    int Count = 0;
    QString Path;
    TServiceConfig Config;
    QString Message;
    QStringList Warnings;
};

TEST_F(ConfigTest, TheExampleBlockAsWrittenGivesTheDefaults) {
    ASSERT_TRUE(Read(kExampleBlock)) << Message.toStdString();
    ExpectDefaults(Config);
    EXPECT_TRUE(Warnings.isEmpty()) << Warnings.join('\n').toStdString();
}

TEST_F(ConfigTest, TheShippedExampleFileGivesTheDefaults) {
    QFile example(QStringLiteral(QUARNEL_SOURCE_DIR "/data/quarneld.conf.example"));
    ASSERT_TRUE(example.open(QIODevice::ReadOnly));
    ASSERT_TRUE(Read(example.readAll())) << Message.toStdString();
    ExpectDefaults(Config);
    EXPECT_TRUE(Warnings.isEmpty()) << Warnings.join('\n').toStdString();
}

TEST_F(ConfigTest, AnEmptyFileGivesTheDefaults) {
    ASSERT_TRUE(Read("")) << Message.toStdString();
    ExpectDefaults(Config);
    EXPECT_TRUE(Warnings.isEmpty());
}

TEST_F(ConfigTest, AMissingDefaultFileGivesTheDefaultsAndANamedOneIsRefused) {
    const QString path = Folder.filePath(QStringLiteral("nowhere/quarneld.conf"));
    ASSERT_TRUE(ReadPath(path, false)) << Message.toStdString();
    ExpectDefaults(Config);
    EXPECT_FALSE(ReadPath(path, true));
    EXPECT_EQ(Message, path + " does not exist");
}

TEST_F(ConfigTest, ValuesWithInlineCommentsReadAsWritten) {
    ASSERT_TRUE(
        Read("[mqtt]\n"
             "host = broker.lan    ; the broker, on the home server\n"
             "port = 8883\t; TLS\n"
             "username = solar ; the account\n"
             "client_id = roof-pi   ; one per machine, please\n"
             "keepalive = 30 ;\n"
             "base_topic = solar/roof ; where the states go, under here\n"
             "discovery_prefix = ha ; as Home Assistant's MQTT integration has it\n"
             "[service]\n"
             "live_interval = 5 ; seconds, 2 .. 3600\n"
             "history_interval = 60 ; minutes, 1 .. 1440\n"))
        << Message.toStdString();
    EXPECT_EQ(Config.Mqtt.Host, "broker.lan");
    EXPECT_EQ(Config.Mqtt.Port, 8883);
    EXPECT_EQ(Config.Mqtt.UserName, "solar");
    EXPECT_EQ(Config.Mqtt.ClientId, "roof-pi");
    EXPECT_EQ(Config.Mqtt.KeepAlive, 30);
    EXPECT_EQ(Config.Mqtt.BaseTopic, "solar/roof");
    EXPECT_EQ(Config.Mqtt.DiscoveryPrefix, "ha");
    EXPECT_EQ(Config.LiveIntervalS, 5);
    EXPECT_EQ(Config.HistoryIntervalMin, 60);
    EXPECT_TRUE(Warnings.isEmpty()) << Warnings.join('\n').toStdString();
}

TEST_F(ConfigTest, ValuesWithCommasAreJoinedAgain) {
    const QString ca = Pem(QStringLiteral("ca,2026.pem"));
    ASSERT_TRUE(
        Read("[mqtt]\n"
             "username = solar,roof\n"
             "client_id = a,b,c ; a comment, with a comma\n"
             "base_topic = site,1/roof\n"
             "tls_ca_file = ca,2026.pem\n"))
        << Message.toStdString();
    EXPECT_EQ(Config.Mqtt.UserName, "solar,roof");
    EXPECT_EQ(Config.Mqtt.ClientId, "a,b,c");
    EXPECT_EQ(Config.Mqtt.BaseTopic, "site,1/roof");
    EXPECT_EQ(Config.Mqtt.TlsCaFile, ca);
}

TEST_F(ConfigTest, TheBoxListTakesNamesAndIds) {
    ASSERT_TRUE(Read("[service]\nboxes = Roof, Barn 2 ,7,0, \"Shed; east\" ; the site's boxes\n"))
        << Message.toStdString();
    ASSERT_EQ(Config.Boxes.size(), 5u);
    EXPECT_EQ(Config.Boxes[0].Text, "Roof");
    EXPECT_EQ(Config.Boxes[0].Id, 0);
    EXPECT_EQ(Config.Boxes[1].Text, "Barn 2");
    EXPECT_EQ(Config.Boxes[2].Id, 7);
    EXPECT_EQ(Config.Boxes[3].Id, 0) << "0 is no box id, only a name";
    EXPECT_EQ(Config.Boxes[4].Text, "Shed; east");
    EXPECT_TRUE(Warnings.isEmpty()) << Warnings.join('\n').toStdString();

    EXPECT_TRUE(Config.Keeps(7, "Anything"));
    EXPECT_TRUE(Config.Keeps(3, "Barn 2"));
    EXPECT_TRUE(Config.Keeps(12, "0"));
    EXPECT_FALSE(Config.Keeps(3, "barn 2")) << "names are matched exactly";
    EXPECT_FALSE(Config.Keeps(70, "Roof2"));
    EXPECT_TRUE(TServiceConfig().Keeps(70, "Roof2")) << "no list keeps every box";

    ASSERT_TRUE(Read("[service]\nboxes = Roof,12,Roof\n")) << Message.toStdString();
    EXPECT_EQ(Config.Boxes.size(), 2u);
    ASSERT_EQ(Warnings.size(), 1);
    EXPECT_EQ(Warnings[0], Path + ": [service] boxes lists 'Roof' more than once");

    ASSERT_TRUE(Read("[service]\nboxes =   \n")) << Message.toStdString();
    EXPECT_TRUE(Config.Boxes.empty());

    for (const QByteArray& bad :
         {QByteArray("Roof,,Barn"), QByteArray("Roof,"), QByteArray("\",Roof\""),
          QByteArray("Ro\x01of"), QByteArray(256, 'x')}) {
        EXPECT_FALSE(Read("[service]\nboxes = " + bad + "\n")) << bad.toStdString();
        EXPECT_TRUE(Message.startsWith(Path + ": [service] boxes ")) << Message.toStdString();
        EXPECT_TRUE(Config.Boxes.empty());
    }
    EXPECT_FALSE(Read(QByteArray("[service]\nboxes = Roof,\n")));
    EXPECT_EQ(Message, Path +
                           ": [service] boxes has an empty entry: separate box names or ids by "
                           "single commas, not 'Roof,'");
}

TEST_F(ConfigTest, AQuotedValueKeepsItsSemicolonsAndBlanks) {
    ASSERT_TRUE(Read("[mqtt]\nusername = \"solar; roof \" ; a comment\n")) << Message.toStdString();
    EXPECT_EQ(Config.Mqtt.UserName, "solar; roof ");
}

TEST_F(ConfigTest, ThePasswordIsTakenWhole) {
    struct Row {
        const char* line;
        const char* password;
    } rows[] = {
        {"password = s3cr;et ; not a comment", "s3cr;et ; not a comment"},
        {"password = a,b , c", "a,b , c"},
        {"password=plain", "plain"},
        {"password = ab\"cd", "ab\"cd"},
        {"password = back\\slash\\", "back\\slash\\"},
        {"password = %41#x", "%41#x"},
        {"password = \" blanks at both ends \"", " blanks at both ends "},
        {"password = \"\"quoted\"\"", "\"quoted\""},
        {"password = pässwörd ✓", "pässwörd ✓"},
    };
    for (const Row& row : rows) {
        // The keys after the password's line still count.
        ASSERT_TRUE(Read(QByteArray("[mqtt]\nusername = solar\n") + row.line +
                         "\nclient_id = after\n[service]\nlive_interval = 7\n"))
            << row.line << ": " << Message.toStdString();
        EXPECT_EQ(Config.Mqtt.Password, QString::fromUtf8(row.password)) << row.line;
        EXPECT_EQ(Config.Mqtt.ClientId, "after") << row.line;
        EXPECT_EQ(Config.LiveIntervalS, 7) << row.line;
        EXPECT_TRUE(Warnings.isEmpty()) << row.line << ": " << Warnings.join('\n').toStdString();
    }
}

TEST_F(ConfigTest, TheLastPasswordLineCounts) {
    ASSERT_TRUE(Read("[mqtt]\nusername = u\npassword = first\npassword = second\n"));
    EXPECT_EQ(Config.Mqtt.Password, "second");
}

TEST_F(ConfigTest, ThePasswordIsNeverInAMessageOrWarning) {
    const QByteArray secret = "TopSecret-7319";
    EXPECT_FALSE(Read("[mqtt]\npassword = " + secret + "\nport = 0\n"));
    EXPECT_FALSE(Message.contains(QString::fromLatin1(secret))) << Message.toStdString();
    EXPECT_TRUE(Read("[mqtt]\npassword = " + secret + "\nhots = x\nno equals here\n"));
    EXPECT_EQ(Config.Mqtt.Password, QString::fromLatin1(secret));
    ASSERT_FALSE(Warnings.isEmpty());
    for (const QString& warning : Warnings) {
        EXPECT_FALSE(warning.contains(QString::fromLatin1(secret))) << warning.toStdString();
    }
}

TEST_F(ConfigTest, AnEmptyHostTurnsMqttOff) {
    for (const char* line : {"host =", "host=", "host = ; no broker", "host = \"\""}) {
        ASSERT_TRUE(Read(QByteArray("[mqtt]\n") + line + "\n")) << line;
        EXPECT_EQ(Config.Mqtt.Host, "") << line;
        EXPECT_FALSE(Config.Mqtt.Enabled()) << line;
    }
}

TEST_F(ConfigTest, OtherEmptyKeysMeanTheirDefaults) {
    ASSERT_TRUE(
        Read("[mqtt]\nport =\nclient_id =\nkeepalive =\nbase_topic =\n"
             "discovery_prefix =\n[service]\nlive_interval =\nhistory_interval =\n"))
        << Message.toStdString();
    ExpectDefaults(Config);
}

TEST_F(ConfigTest, TheLimitsOfTheNumbersAreAccepted) {
    ASSERT_TRUE(
        Read("[mqtt]\nport = 1\nkeepalive = 5\n[service]\nlive_interval = 2\n"
             "history_interval = 1\n"));
    EXPECT_EQ(Config.Mqtt.Port, 1);
    EXPECT_EQ(Config.Mqtt.KeepAlive, 5);
    EXPECT_EQ(Config.LiveIntervalS, 2);
    EXPECT_EQ(Config.HistoryIntervalMin, 1);
    ASSERT_TRUE(
        Read("[mqtt]\nport = 65535\nkeepalive = 65535\n[service]\nlive_interval = 3600\n"
             "history_interval = 1440\n"));
    EXPECT_EQ(Config.Mqtt.Port, 65535);
    EXPECT_EQ(Config.Mqtt.KeepAlive, 65535);
    EXPECT_EQ(Config.LiveIntervalS, 3600);
    EXPECT_EQ(Config.HistoryIntervalMin, 1440);
}

TEST_F(ConfigTest, ABadNumberIsRefusedWithItsKeyAndRange) {
    ASSERT_FALSE(Read("[service]\nlive_interval = 1\n"));
    EXPECT_EQ(Message,
              Path + ": [service] live_interval must be a whole number from 2 to 3600, not '1'");
}

TEST_F(ConfigTest, EveryBadValueIsRefusedNamingItsKeyAndTheFile) {
    struct Row {
        const char* section;
        const char* key;
        QByteArray value;
    };
    const QByteArray control(
        "ab\x01"
        "cd");
    std::vector<Row> rows;
    for (const char* bad :
         {"0", "65536", "-1", "+1", "1e3", "0x10", "abc", "12 34", "99999999999", "1883.0"}) {
        rows.push_back({"mqtt", "port", bad});
    }
    for (const char* bad : {"4", "65536", "x", "-60"}) {
        rows.push_back({"mqtt", "keepalive", bad});
    }
    for (const char* bad : {"1", "3601", "10s", "0"}) {
        rows.push_back({"service", "live_interval", bad});
    }
    for (const char* bad : {"0", "1441", "15min", " \"15 \""}) {
        rows.push_back({"service", "history_interval", bad});
    }
    for (const char* key : {"base_topic", "discovery_prefix"}) {
        for (const QByteArray& bad : {QByteArray("a/+/b"), QByteArray("a/#"), QByteArray("#"),
                                      QByteArray("/a"), QByteArray("a/"), QByteArray("a//b"),
                                      QByteArray("$SYS/x"), control, QByteArray(300, 'a')}) {
            rows.push_back({"mqtt", key, bad});
        }
    }
    for (const QByteArray& bad : {QByteArray("\"a b\""), QByteArray(300, 'h'), control}) {
        rows.push_back({"mqtt", "host", bad});
    }
    for (const char* bad : {"localhost", "127.0.0.256", "1.2.3", "::g", "10942"}) {
        rows.push_back({"metrics", "listen", bad});
    }
    for (const char* bad : {"-1", "65536", "port"}) {
        rows.push_back({"metrics", "port", bad});
    }
    for (const char* key : {"after_minutes", "clear_minutes"}) {
        for (const char* bad : {"0", "0.01", "-5", "1e3", ",5", "1,5", "1441", "15min", "1.2.3"}) {
            rows.push_back({"alerts", key, bad});
        }
    }
    for (const char* bad : {"-1", "100001", "100 W", "nan", "inf"}) {
        rows.push_back({"alerts", "sibling_watts", bad});
    }
    rows.push_back({"mqtt", "username", control});
    rows.push_back({"mqtt", "client_id", control});
    rows.push_back({"mqtt", "tls_ca_file", "missing.pem"});
    rows.push_back({"mqtt", "tls_ca_file", "."});
    rows.push_back({"mqtt", "port", "@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)"});
    for (const Row& row : rows) {
        const QByteArray text =
            QByteArray("[") + row.section + "]\n" + row.key + " = " + row.value + "\n";
        EXPECT_FALSE(Read(text)) << text.toStdString();
        const QString name = QStringLiteral("[%1] %2").arg(row.section, row.key);
        EXPECT_TRUE(Message.startsWith(Path + ": " + name)) << Message.toStdString();
        EXPECT_FALSE(Message.contains(QLatin1Char('\n')));
        EXPECT_FALSE(Message.contains(QChar(1))) << Message.toStdString();
    }
}

TEST_F(ConfigTest, MetricsAndAlertsTakeAddressesAndDecimalMinutes) {
    ASSERT_TRUE(
        Read("[metrics]\nlisten = ::\nport = 0\n[alerts]\nafter_minutes = 0.1\n"
             "sibling_watts = 0\nclear_minutes = 2.5\n"))
        << Message.toStdString();
    EXPECT_EQ(Config.Metrics.Listen, "::");
    EXPECT_FALSE(Config.Metrics.Enabled());
    EXPECT_DOUBLE_EQ(Config.Alerts.AfterMinutes, 0.1);
    EXPECT_DOUBLE_EQ(Config.Alerts.SiblingWatts, 0);
    EXPECT_DOUBLE_EQ(Config.Alerts.ClearMinutes, 2.5);
    ASSERT_TRUE(Read("[metrics]\nlisten = 0.0.0.0\nport = 9000\n")) << Message.toStdString();
    EXPECT_EQ(Config.Metrics.Listen, "0.0.0.0");
    EXPECT_EQ(Config.Metrics.Port, 9000);
}

TEST_F(ConfigTest, TheBaseTopicMustDifferFromTheDiscoveryPrefix) {
    ASSERT_FALSE(Read("[mqtt]\nbase_topic = homeassistant\n"));
    EXPECT_TRUE(Message.startsWith(Path + ": [mqtt] base_topic must differ from discovery_prefix"))
        << Message.toStdString();
}

TEST_F(ConfigTest, TopicsWithSeveralLevelsAreAccepted) {
    ASSERT_TRUE(Read("[mqtt]\nbase_topic = home/solar/quarnel\ndiscovery_prefix = ha/disc\n"));
    EXPECT_EQ(Config.Mqtt.BaseTopic, "home/solar/quarnel");
    EXPECT_EQ(Config.Mqtt.DiscoveryPrefix, "ha/disc");
}

TEST_F(ConfigTest, TlsFilesGoTogether) {
    const QString ca = Pem(QStringLiteral("ca.pem"));
    const QString cert = Pem(QStringLiteral("client.pem"));
    const QString key = Pem(QStringLiteral("client.key"));
    ASSERT_TRUE(Read("[mqtt]\ntls_ca_file = " + ca.toUtf8() + "\n")) << Message.toStdString();
    EXPECT_EQ(Config.Mqtt.TlsCaFile, ca);
    ASSERT_TRUE(Read("[mqtt]\ntls_ca_file = " + ca.toUtf8() + "\ntls_cert_file = " + cert.toUtf8() +
                     "\ntls_key_file = " + key.toUtf8() + "\n"))
        << Message.toStdString();
    EXPECT_EQ(Config.Mqtt.TlsCertFile, cert);
    EXPECT_EQ(Config.Mqtt.TlsKeyFile, key);

    EXPECT_FALSE(
        Read("[mqtt]\ntls_ca_file = " + ca.toUtf8() + "\ntls_cert_file = " + cert.toUtf8() + "\n"));
    EXPECT_TRUE(Message.startsWith(Path + ": [mqtt] tls_cert_file needs its partner"))
        << Message.toStdString();
    EXPECT_FALSE(
        Read("[mqtt]\ntls_ca_file = " + ca.toUtf8() + "\ntls_key_file = " + key.toUtf8() + "\n"));
    EXPECT_TRUE(Message.startsWith(Path + ": [mqtt] tls_key_file needs its partner"))
        << Message.toStdString();
    EXPECT_FALSE(Read("[mqtt]\ntls_cert_file = " + cert.toUtf8() +
                      "\ntls_key_file = " + key.toUtf8() + "\n"));
    EXPECT_TRUE(Message.startsWith(Path + ": [mqtt] tls_cert_file needs tls_ca_file"))
        << Message.toStdString();
}

TEST_F(ConfigTest, ARelativeTlsFileIsFoundBesideTheConfiguration) {
    const QString ca = Pem(QStringLiteral("broker-ca.pem"));
    ASSERT_TRUE(Read("[mqtt]\ntls_ca_file = broker-ca.pem\n")) << Message.toStdString();
    EXPECT_EQ(Config.Mqtt.TlsCaFile, ca);
}

TEST_F(ConfigTest, AMissingOrUnreadableTlsFileIsRefused) {
    EXPECT_FALSE(Read("[mqtt]\ntls_ca_file = /nonexistent/ca.pem\n"));
    EXPECT_EQ(Message, Path + ": [mqtt] tls_ca_file: /nonexistent/ca.pem does not exist");
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    const QString ca = Pem(QStringLiteral("locked.pem"));
    ASSERT_TRUE(QFile::setPermissions(ca, QFile::WriteOwner));
    EXPECT_FALSE(Read("[mqtt]\ntls_ca_file = " + ca.toUtf8() + "\n"));
    EXPECT_EQ(Message, Path + ": [mqtt] tls_ca_file: " + ca + " cannot be read");
}

TEST_F(ConfigTest, AFileOthersCanReadIsRefusedWithTheFix) {
    for (const QFile::Permissions others :
         {QFile::Permissions(QFile::ReadGroup), QFile::Permissions(QFile::ReadOther),
          QFile::ReadGroup | QFile::ReadOther}) {
        const QString path = Write("[mqtt]\npassword = x\n", kPrivate | others);
        EXPECT_FALSE(ReadPath(path));
        EXPECT_EQ(Message, path +
                               " can be read by other users and holds the broker's password; "
                               "make it private with: chmod 600 " +
                               path);
    }
    // Even without a password in it, and when it is the default path.
    const QString path = Write("[service]\nlive_interval = 5\n", kPrivate | QFile::ReadOther);
    EXPECT_FALSE(ReadPath(path, false));
    EXPECT_TRUE(Message.contains(QLatin1String("chmod 600"))) << Message.toStdString();
}

TEST_F(ConfigTest, AFileOthersCanChangeIsRefused) {
    const QString path = Write("[mqtt]\n", kPrivate | QFile::WriteGroup);
    EXPECT_FALSE(ReadPath(path));
    EXPECT_EQ(Message, path +
                           " can be changed by other users, who could send the broker's password "
                           "elsewhere; make it private with: chmod 600 " +
                           path);
}

TEST_F(ConfigTest, TheChmodHintQuotesAPathWithBlanks) {
    const QString path = Write("[mqtt]\n", kPrivate | QFile::ReadGroup, "solar user's.conf");
    EXPECT_FALSE(ReadPath(path));
    EXPECT_TRUE(Message.endsWith("chmod 600 '" + Folder.path() + "/solar user'\\''s.conf'"))
        << Message.toStdString();
}

TEST_F(ConfigTest, APrivateFileIsRead) {
    EXPECT_TRUE(ReadPath(Write("[mqtt]\n", QFile::ReadOwner))) << Message.toStdString();
    EXPECT_TRUE(ReadPath(Write("[mqtt]\n", kPrivate | QFile::ExeOwner))) << Message.toStdString();
}

TEST_F(ConfigTest, SomethingElseThanAFileIsRefused) {
    EXPECT_FALSE(ReadPath(Folder.path()));
    EXPECT_EQ(Message, Folder.path() + " is not a regular file");
    // A named pipe would block the reading for ever.
    const QString fifo = Folder.filePath(QStringLiteral("pipe.conf"));
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    EXPECT_FALSE(ReadPath(fifo));
    EXPECT_EQ(Message, fifo + " is not a regular file");
    // A link to nowhere at the default path is not taken for a missing file.
    const QString link = Folder.filePath(QStringLiteral("dangling.conf"));
    ASSERT_TRUE(QFile::link(Folder.filePath(QStringLiteral("gone.conf")), link));
    EXPECT_FALSE(ReadPath(link, false));
    EXPECT_TRUE(Message.startsWith(link + " is a symbolic link to ")) << Message.toStdString();
}

TEST_F(ConfigTest, AnUnreadableFileIsRefused) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    const QString path = Write("[mqtt]\n", QFile::WriteOwner);
    EXPECT_FALSE(ReadPath(path));
    EXPECT_TRUE(Message.startsWith(path + " cannot be read")) << Message.toStdString();
}

TEST_F(ConfigTest, AnInvalidIniFileIsRefused) {
    EXPECT_FALSE(Read("[mqtt]\nhost = x\n[service\nlive_interval = 5\n"));
    EXPECT_EQ(Message, Path +
                           " is not a valid INI file (line 3: a section name without its "
                           "closing ])");
}

TEST_F(ConfigTest, ALineSwallowedByAnUnclosedQuoteIsRefused) {
    EXPECT_FALSE(Read("[mqtt]\nusername = o\"brien\nclient_id = roof\n"));
    EXPECT_EQ(Message, Path +
                           ": line 3 is read as part of a value above it, which opens a double "
                           "quote and does not close it, or ends in a backslash");
}

TEST_F(ConfigTest, UnknownKeysAndSectionsAreWarnedAbout) {
    ASSERT_TRUE(
        Read("stray = 1\n"
             "[mqtt]\n"
             "hots = broker\n"
             "Port = 1884\n"
             "host broker\n"
             "[mqttt]\n"
             "host = a\n"
             "port = 2\n"
             "[service]\n"
             "live_intervall = 5\n"))
        << Message.toStdString();
    ExpectDefaults(Config);
    const QStringList expected = {
        Path +
            ": the key 'stray' stands outside the sections [mqtt], [service], [metrics] and "
            "[alerts] and is ignored",
        Path + ": unknown key [mqtt] hots is ignored",
        Path + ": unknown key [mqtt] Port is ignored; the keys are written in lower case: port",
        Path +
            ": unknown section [mqttt] is ignored; the sections are [mqtt], [service], "
            "[metrics] and [alerts]",
        Path + ": unknown key [service] live_intervall is ignored",
        Path + ": line 5 holds no key = value and is ignored",
    };
    for (const QString& line : expected) {
        EXPECT_TRUE(Warnings.contains(line)) << line.toStdString() << "\nin:\n"
                                             << Warnings.join('\n').toStdString();
    }
    EXPECT_EQ(Warnings.size(), expected.size()) << Warnings.join('\n').toStdString();
}

TEST_F(ConfigTest, APasswordWithoutUserNameIsWarnedAbout) {
    ASSERT_TRUE(Read("[mqtt]\npassword = lonely\n"));
    ASSERT_EQ(Warnings.size(), 1);
    EXPECT_TRUE(Warnings[0].contains(QLatin1String("username is empty")));
}

TEST_F(ConfigTest, AFailedReadLeavesTheConfigurationAlone) {
    TServiceConfig config;
    config.LiveIntervalS = 33;
    QString message;
    ASSERT_FALSE(ReadServiceConfig(Write("[service]\nlive_interval = 1\n"), true, &config, &message,
                                   nullptr));
    EXPECT_EQ(config.LiveIntervalS, 33);
}

TEST_F(ConfigTest, ReadingChangesNothingAndLeavesNoCopyBehind) {
    QTemporaryDir temp;
    const QByteArray old = qgetenv("TMPDIR");
    qputenv("TMPDIR", temp.path().toLocal8Bit());
    const QByteArray text = "[mqtt]\nusername = u\npassword = p;w\"d\n";
    const QString path = Write(text);
    const QDateTime modified = QFileInfo(path).lastModified();
    EXPECT_TRUE(ReadPath(path)) << Message.toStdString();
    qputenv("TMPDIR", old);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), text);
    EXPECT_EQ(QFileInfo(path).lastModified(), modified);
    constexpr QFile::Permissions kMode = kPrivate | QFile::ExeOwner | QFile::ReadGroup |
                                         QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    EXPECT_EQ(QFileInfo(path).permissions() & kMode, kPrivate);
    EXPECT_TRUE(QDir(temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

// XDG_CONFIG_HOME when set and absolute, else ~/.config.
TEST(DefaultConfigPathTest, FollowsXdgConfigHome) {
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", "/home/solar user");
    qputenv("XDG_CONFIG_HOME", "/srv/config/");
    EXPECT_EQ(DefaultConfigPath(), "/srv/config/quarnel/quarneld.conf");
    qputenv("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(DefaultConfigPath(), "/home/solar user/.config/quarnel/quarneld.conf");
    qputenv("XDG_CONFIG_HOME", "");
    EXPECT_EQ(DefaultConfigPath(), "/home/solar user/.config/quarnel/quarneld.conf");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultConfigPath(), "/home/solar user/.config/quarnel/quarneld.conf");
    qputenv("HOME", oldHome);
    if (oldConfig.isNull()) {
        qunsetenv("XDG_CONFIG_HOME");
    } else {
        qputenv("XDG_CONFIG_HOME", oldConfig);
    }
}

TServiceParse Parse(const QStringList& arguments, TServiceOptions* options, QString* message) {
    return ParseServiceOptions(QStringList{QStringLiteral("quarneld")} + arguments, options,
                               message);
}

TEST(ServiceOptionsTest, NoOptionsMeanTheDefaults) {
    TServiceOptions options;
    options.RequestDelay = 5;
    QString message;
    ASSERT_EQ(Parse({}, &options, &message), TServiceParse::Run);
    EXPECT_EQ(options.ConfigFile, "");
    EXPECT_EQ(options.DataDir, "");
    EXPECT_EQ(options.RequestDelay, 80);
}

TEST(ServiceOptionsTest, EveryOptionIsRead) {
    TServiceOptions options;
    QString message;
    ASSERT_EQ(Parse({"--config", "/etc/q d.conf", "--data-dir=/data", "--request-delay", "0"},
                    &options, &message),
              TServiceParse::Run)
        << message.toStdString();
    EXPECT_EQ(options.ConfigFile, "/etc/q d.conf");
    EXPECT_EQ(options.DataDir, "/data");
    EXPECT_EQ(options.RequestDelay, 0);
    ASSERT_EQ(Parse({"--request-delay", "10000"}, &options, &message), TServiceParse::Run);
    EXPECT_EQ(options.RequestDelay, 10000);
    EXPECT_EQ(Parse({"--help"}, &options, &message), TServiceParse::Help);
    EXPECT_EQ(Parse({"--version"}, &options, &message), TServiceParse::Version);
}

TEST(ServiceOptionsTest, BadArgumentsGetOneCleanLine) {
    const QString huge(100 * 1024, QLatin1Char('a'));
    const QString control = QStringLiteral("ab\x01\x1b[2J\r\ncd");
    struct Row {
        QStringList arguments;
        const char* needle;
    };
    std::vector<Row> rows;
    for (const QString& bad :
         {QStringLiteral("10001"), QStringLiteral("-1"), QStringLiteral("+5"),
          QStringLiteral("1e3"), QStringLiteral(""), QStringLiteral(" 5"), QStringLiteral("0x10"),
          QStringLiteral("99999999999999999999"), control}) {
        rows.push_back({{"--request-delay", bad}, "--request-delay"});
    }
    for (const char* option : {"--config", "--data-dir"}) {
        for (const QString& bad : {QString(), huge, control}) {
            rows.push_back({{option, bad}, option});
        }
        rows.push_back({{option}, option});
        rows.push_back({{option, "a", option, "b"}, option});
    }
    rows.push_back({{"--request-delay"}, "request-delay"});
    rows.push_back({{"--request-delay", "1", "--request-delay", "2"}, "--request-delay"});
    rows.push_back({{"stray"}, "stray"});
    rows.push_back({{"--verbose"}, "verbose"});
    rows.push_back({{control}, "?"});
    for (const Row& row : rows) {
        TServiceOptions options;
        QString message;
        EXPECT_EQ(Parse(row.arguments, &options, &message), TServiceParse::Error)
            << row.arguments.join(' ').left(80).toStdString();
        EXPECT_TRUE(message.contains(QLatin1String(row.needle))) << message.toStdString();
        EXPECT_LE(message.size(), 300) << message.left(80).toStdString();
        EXPECT_FALSE(std::any_of(message.begin(), message.end(), [](QChar c) {
            return c.unicode() < 0x20;
        })) << message.toStdString();
    }
}

TEST(ServiceOptionsTest, TheUsageNamesTheOptionsAndExitCodes) {
    const QString usage = ServiceUsage();
    for (const char* part :
         {"usage: quarneld", "--config FILE", "--data-dir DIR", "--request-delay MS", "--help",
          "--version", "0 stopped by SIGTERM", "2 bad arguments, configuration or database"}) {
        EXPECT_TRUE(usage.contains(QLatin1String(part))) << part;
    }
    for (const QString& line : usage.split('\n')) {
        EXPECT_LE(line.size(), 100) << line.toStdString();
    }
}

}  // namespace

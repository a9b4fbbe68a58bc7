#include "ServiceConfig.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryFile>
#include <QVariant>
#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "Shown.h"

namespace {

// As for quarnel-fetch: a box that needs more than ten seconds between requests is better left
// alone.
constexpr int Max_Request_Delay = 10000;
constexpr int Max_Path = 4095;
// A configuration file is a few hundred bytes; anything this large is not one.
constexpr qint64 Max_File_Size = 1024 * 1024;
constexpr int Max_Host = 255;
constexpr int Max_Topic = 256;          // characters, for base_topic and discovery_prefix
constexpr int Max_Mqtt_String = 65535;  // bytes of UTF-8: MQTT's length field
constexpr int Max_Number_Digits = 9;    // fits an int
constexpr int Max_Box_Entry = 255;      // characters of a name in [service] boxes
constexpr int Max_Box_Entries = 10000;

const char* const Section_Mqtt = "mqtt";
const char* const Section_Service = "service";
const char* const Section_Metrics = "metrics";
const char* const Section_Alerts = "alerts";

// Every key the file may hold, as QSettings names it: section/key.
constexpr std::array<const char*, 19> Known_Keys = {"mqtt/host",
                                                    "mqtt/port",
                                                    "mqtt/username",
                                                    "mqtt/password",
                                                    "mqtt/tls_ca_file",
                                                    "mqtt/tls_cert_file",
                                                    "mqtt/tls_key_file",
                                                    "mqtt/client_id",
                                                    "mqtt/keepalive",
                                                    "mqtt/base_topic",
                                                    "mqtt/discovery_prefix",
                                                    "service/live_interval",
                                                    "service/history_interval",
                                                    "service/boxes",
                                                    "metrics/listen",
                                                    "metrics/port",
                                                    "alerts/after_minutes",
                                                    "alerts/sibling_watts",
                                                    "alerts/clear_minutes"};
const std::array<const char*, 4> Sections = {Section_Mqtt, Section_Service, Section_Metrics,
                                             Section_Alerts};

bool IsControl(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7F;
}

bool HasControlCharacter(const QString& text) {
    return std::any_of(text.begin(), text.end(), IsControl);
}

QString Shown(const QString& text) {
    return QString::fromStdString(tools::shown(text.toStdString()));
}

// Messages stay one line: a path with a line break in it is shown with '?' there.
QString OneLine(const QString& text) {
    QString out = text;
    std::replace_if(out.begin(), out.end(), IsControl, QChar('?'));
    return out;
}

// The parser's own messages quote what was typed; keep them one short, clean line.
QString CleanMessage(const QString& text) {
    constexpr int Max_Message = 200;
    const QString out = OneLine(text);
    return out.size() > Max_Message ? out.left(Max_Message) + "..." : out;
}

// A path as a shell reads it back: as it is when it holds only harmless characters, else in
// single quotes.
QString ShellWord(const QString& path) {
    const bool plain = !path.isEmpty() && std::all_of(path.begin(), path.end(), [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
               (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
               QStringLiteral("/._-+,:@%=").contains(c);
    });
    if (plain) {
        return path;
    }
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return "'" + quoted + "'";
}

// Plain decimal digits: QString::toInt would also take " 12" and "+12".
bool ReadNumber(const QString& text, int low, int high, int* out) {
    if (text.isEmpty() || text.size() > Max_Number_Digits ||
        !std::all_of(text.begin(), text.end(),
                     [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); })) {
        return false;
    }
    const int value = text.toInt();
    if (value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

bool IsAsciiBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArray TrimBlanks(QByteArray text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && IsAsciiBlank(text[start])) {
        ++start;
    }
    while (end > start && IsAsciiBlank(text[end - 1])) {
        --end;
    }
    return text.mid(start, end - start);
}

// A key's line as the file holds it, for the check that QSettings read every one.
struct TRawKey {
    int Line = 0;
    QString Name;  // as QSettings names it: section/key, or key outside a section
};

// What QSettings does not tell: the password exactly as its line holds it, the keys of the
// lines, the lines it skips because they hold no '=', and where a section name is not closed.
// Sanitized is the file with the password's value left out, for QSettings to read.
struct TRawScan {
    bool HasPassword = false;
    QString Password;
    QByteArray Sanitized;
    QList<TRawKey> Keys;
    QList<int> LinesWithoutEquals;
    int UnclosedSectionLine = 0;
};

bool IsPlainName(const QByteArray& name) {
    return !name.isEmpty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    });
}

// Follows QSettings' reading of the lines: a section starts at a line "[name]", a line whose
// first non-blank character is ';' is a comment, a key is what stands before the first '=' (with
// %XX decoded), and a line ending in a backslash continues on the next.
TRawScan ScanLines(QByteArray content) {
    TRawScan scan;
    if (content.startsWith("\xEF\xBB\xBF")) {
        content.remove(0, 3);
    }
    QByteArray section;
    bool continued = false;
    int number = 0;
    QByteArrayList lines = content.split('\n');
    for (QByteArray& raw : lines) {
        ++number;
        QByteArray line = raw;
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        const bool wasContinued = continued;
        continued = line.endsWith('\\');
        if (wasContinued) {
            continue;
        }
        const QByteArray text = TrimBlanks(line);
        if (text.isEmpty() || text.startsWith(';')) {
            continue;
        }
        if (text.startsWith('[')) {
            const qsizetype close = text.indexOf(']');
            if (close < 0) {
                if (scan.UnclosedSectionLine == 0) {
                    scan.UnclosedSectionLine = number;
                }
                continue;
            }
            section = TrimBlanks(text.mid(1, close - 1));
            continue;
        }
        const qsizetype equals = text.indexOf('=');
        const qsizetype semicolon = text.indexOf(';');
        if (equals < 0 || (semicolon >= 0 && semicolon < equals)) {
            scan.LinesWithoutEquals.append(number);
            continue;
        }
        const QByteArray key = QByteArray::fromPercentEncoding(TrimBlanks(text.left(equals)));
        const bool topLevel = section.isEmpty() || section == "General";
        if (IsPlainName(key) && (topLevel || IsPlainName(section))) {
            scan.Keys.append({number, QString::fromUtf8(topLevel ? key : section + "/" + key)});
        }
        if (section != Section_Mqtt || key != "password") {
            continue;
        }
        // Taken whole: a ';', a '"' or a backslash in it is the password's. The last one
        // counts, as in QSettings.
        QByteArray value = TrimBlanks(text.mid(equals + 1));
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) {
            value = value.mid(1, value.size() - 2);
        }
        scan.HasPassword = true;
        scan.Password = QString::fromUtf8(value);
        raw = "password =";
        continued = false;
    }
    scan.Sanitized = lines.join('\n');
    return scan;
}

// Why text is no topic prefix for the service, as the end of "must ...", or empty when it is one.
QString TopicProblem(const QString& text) {
    if (text.size() > Max_Topic) {
        return QStringLiteral("must be at most %1 characters").arg(Max_Topic);
    }
    if (HasControlCharacter(text)) {
        return QStringLiteral("must hold no control characters");
    }
    if (text.contains(QLatin1Char('+')) || text.contains(QLatin1Char('#'))) {
        return QStringLiteral("must hold no wildcard (+ or #)");
    }
    if (text.startsWith(QLatin1Char('/')) || text.endsWith(QLatin1Char('/'))) {
        return QStringLiteral("must not start or end with /");
    }
    if (text.contains(QLatin1String("//"))) {
        return QStringLiteral("must have no empty level (//)");
    }
    if (text.startsWith(QLatin1Char('$'))) {
        return QStringLiteral("must not start with $ (the broker's own topics)");
    }
    return QString();
}

// Reads the values of one file; the first problem ends the reading.
class TReader {
public:
    TReader(const QString& path, QSettings& settings) : Path(path), Settings(settings) {}

    const QString& Problem() const { return Message; }

    // The value as text, nullopt when the key is absent or its value is refused (Problem() then
    // says why). QSettings splits an unquoted value at its commas; they are joined again.
    std::optional<QString> Text(const char* section, const char* key) {
        const QString name = QString::fromLatin1(section) + "/" + QLatin1String(key);
        if (!Settings.contains(name) || !Message.isEmpty()) {
            return std::nullopt;
        }
        const QVariant value = Settings.value(name);
        switch (value.typeId()) {
            case QMetaType::QString:
                return value.toString();
            case QMetaType::QStringList:
                return value.toStringList().join(QLatin1Char(','));
            case QMetaType::QByteArray:
                return QString::fromUtf8(value.toByteArray());
            default:
                Fail(section, key,
                     QStringLiteral("must be plain text, not a value QSettings reads as %1")
                         .arg(QString::fromLatin1(value.typeName())));
                return std::nullopt;
        }
    }

    // An empty value, like an absent one, leaves the default.
    void Number(const char* section, const char* key, int low, int high, int* out) {
        const std::optional<QString> text = Text(section, key);
        if (!text || text->isEmpty()) {
            return;
        }
        if (!ReadNumber(*text, low, high, out)) {
            Fail(section, key,
                 QStringLiteral("must be a whole number from %1 to %2, not %3")
                     .arg(low)
                     .arg(high)
                     .arg(Shown(*text)));
        }
    }

    // A decimal number with a point, such as 0.5 or 15; empty leaves the default.
    void Decimal(const char* section, const char* key, double low, double high, double* out) {
        const std::optional<QString> text = Text(section, key);
        if (!text || text->isEmpty()) {
            return;
        }
        bool ok = false;
        const double value =
            text->size() <= Max_Number_Digits + 4 &&
                    std::all_of(text->begin(), text->end(),
                                [](QChar c) { return c.isDigit() || c == QLatin1Char('.'); })
                ? QLocale::c().toDouble(*text, &ok)
                : 0;
        if (!ok || value < low || value > high) {
            Fail(section, key,
                 QStringLiteral("must be a number from %1 to %2, not %3")
                     .arg(low)
                     .arg(high)
                     .arg(Shown(*text)));
            return;
        }
        *out = value;
    }

    // One line of text, at most MQTT's string length; empty leaves the default.
    void Line(const char* section, const char* key, QString* out) {
        const std::optional<QString> text = Text(section, key);
        if (!text || text->isEmpty()) {
            return;
        }
        if (HasControlCharacter(*text)) {
            Fail(section, key, "must hold no control characters, not " + Shown(*text));
        } else if (text->toUtf8().size() > Max_Mqtt_String) {
            Fail(section, key,
                 QStringLiteral("must be at most %1 bytes long").arg(Max_Mqtt_String));
        } else {
            *out = *text;
        }
    }

    void Topic(const char* section, const char* key, QString* out) {
        const std::optional<QString> text = Text(section, key);
        if (!text || text->isEmpty()) {
            return;
        }
        const QString problem = TopicProblem(*text);
        if (!problem.isEmpty()) {
            Fail(section, key, problem + ", not " + Shown(*text));
        } else {
            *out = *text;
        }
    }

    // A TLS file: relative to the configuration file's folder; it must be there and readable.
    void File(const char* section, const char* key, QString* out) {
        const std::optional<QString> text = Text(section, key);
        if (!text || text->isEmpty()) {
            return;
        }
        if (HasControlCharacter(*text) || text->size() > Max_Path) {
            Fail(section, key,
                 QStringLiteral("must be a file name (at most %1 characters, no control "
                                "characters), not %2")
                     .arg(Max_Path)
                     .arg(Shown(*text)));
            return;
        }
        const QString file = QDir::cleanPath(QFileInfo(Path).absoluteDir().absoluteFilePath(*text));
        const QFileInfo info(file);
        if (!info.exists()) {
            Fail(section, key, ": " + file + " does not exist");
        } else if (!info.isFile()) {
            Fail(section, key, ": " + file + " is not a regular file");
        } else if (!info.isReadable()) {
            Fail(section, key, ": " + file + " cannot be read");
        } else {
            *out = file;
        }
    }

    // A comma-separated list of box ids and names; empty leaves every box. A duplicate is
    // warned about and counts once.
    void BoxList(const char* section, const char* key, std::vector<TBoxChoice>* out,
                 QStringList* warnings) {
        const std::optional<QString> text = Text(section, key);
        if (!text || text->trimmed().isEmpty()) {
            return;
        }
        const QStringList entries = text->split(QLatin1Char(','));
        if (entries.size() > Max_Box_Entries) {
            Fail(section, key, QStringLiteral("must list at most %1 boxes").arg(Max_Box_Entries));
            return;
        }
        std::vector<TBoxChoice> boxes;
        for (const QString& raw : entries) {
            const QString entry = raw.trimmed();
            if (entry.isEmpty()) {
                Fail(section, key,
                     "has an empty entry: separate box names or ids by single commas, not " +
                         Shown(*text));
                return;
            }
            if (HasControlCharacter(entry) || entry.size() > Max_Box_Entry) {
                Fail(section, key,
                     QStringLiteral("must list box names or ids (at most %1 characters each, no "
                                    "control characters), not ")
                             .arg(Max_Box_Entry) +
                         Shown(entry));
                return;
            }
            TBoxChoice choice;
            choice.Text = entry;
            int id = 0;
            if (ReadNumber(entry, 1, std::numeric_limits<int32_t>::max(), &id)) {
                choice.Id = id;
            }
            if (std::any_of(boxes.begin(), boxes.end(),
                            [&](const TBoxChoice& b) { return b.Text == entry; })) {
                if (warnings != nullptr) {
                    warnings->append(OneLine(Path + ": [" + QLatin1String(section) + "] " +
                                             QLatin1String(key) + " lists " + Shown(entry) +
                                             " more than once"));
                }
                continue;
            }
            boxes.push_back(choice);
        }
        *out = boxes;
    }

    void Fail(const char* section, const char* key, const QString& what) {
        if (!Message.isEmpty()) {
            return;
        }
        const QString space = what.startsWith(QLatin1Char(':')) ? QString() : QStringLiteral(" ");
        Message = OneLine(Path + ": [" + QLatin1String(section) + "] " + QLatin1String(key) +
                          space + what);
    }

private:
    const QString Path;
    QSettings& Settings;
    QString Message;
};

void Warn(QStringList* warnings, const QString& text) {
    if (warnings != nullptr) {
        warnings->append(OneLine(text));
    }
}

QString SectionList() {
    QStringList names;
    for (const char* section : Sections) {
        names << '[' + QLatin1String(section) + ']';
    }
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

// Unknown sections get one line each, unknown keys in the known sections one line each.
void WarnUnknown(const QString& path, const QSettings& settings, QStringList* warnings) {
    QStringList sections;
    for (const QString& name : settings.allKeys()) {
        if (std::any_of(Known_Keys.begin(), Known_Keys.end(),
                        [&](const char* known) { return name == QLatin1String(known); })) {
            continue;
        }
        const qsizetype slash = name.indexOf(QLatin1Char('/'));
        if (slash < 0) {
            Warn(warnings, path + ": the key " + Shown(name) + " stands outside the sections " +
                               SectionList() + " and is ignored");
            continue;
        }
        const QString section = name.left(slash);
        const QString key = name.mid(slash + 1);
        if (std::none_of(Sections.begin(), Sections.end(),
                         [&](const char* known) { return section == QLatin1String(known); })) {
            if (!sections.contains(section)) {
                sections << section;
                Warn(warnings, path + ": unknown section [" + section +
                                   "] is ignored; the sections are " + SectionList());
            }
            continue;
        }
        QString hint;
        const QString lower = name.toLower();
        if (std::any_of(Known_Keys.begin(), Known_Keys.end(),
                        [&](const char* known) { return lower == QLatin1String(known); })) {
            hint = "; the keys are written in lower case: " + key.toLower();
        }
        Warn(warnings, path + ": unknown key [" + section + "] " + key + " is ignored" + hint);
    }
}

bool Refuse(QString* message, const QString& text) {
    if (message != nullptr) {
        *message = OneLine(text);
    }
    return false;
}

const char* const Usage_Text =
    "usage: quarneld [options]\n"
    "Keeps every on-line box of the user database connected, reads its live power, downloads\n"
    "its history into the database and publishes both to an MQTT broker, with Home Assistant\n"
    "discovery.\n"
    "\n"
    "  --config FILE           the configuration file ($XDG_CONFIG_HOME/quarnel/quarneld.conf,\n"
    "                          else ~/.config/quarnel/quarneld.conf, where a missing file means\n"
    "                          the defaults); a file named here must exist\n"
    "  --data-dir DIR          the folder of KestUser.sqlite (the program's data folder)\n"
    "  --request-delay MS      pause after every request to a box (80); lower it only for\n"
    "                          emulated boxes\n"
    "  --help                  this text\n"
    "  --version               the program's version\n"
    "\n"
    "Exit codes: 0 stopped by SIGTERM or SIGINT, 2 bad arguments, configuration or database.\n";

}  // namespace

bool TServiceConfig::Keeps(int32_t kestId, const QString& kestName) const {
    return Boxes.empty() || std::any_of(Boxes.begin(), Boxes.end(), [&](const TBoxChoice& b) {
               return b.Matches(kestId, kestName);
           });
}

QString DefaultConfigPath() {
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString base = !config.isEmpty() && QDir::isAbsolutePath(config)
                             ? config
                             : QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(base + QStringLiteral("/quarnel/quarneld.conf"));
}

bool ReadServiceConfig(const QString& path, bool mustExist, TServiceConfig* config,
                       QString* message, QStringList* warnings) {
    TServiceConfig read;
    const QString hostName = QSysInfo::machineHostName();
    const QString defaultClientId =
        hostName.isEmpty() ? QStringLiteral("quarneld") : QStringLiteral("quarneld-") + hostName;

    const QFileInfo info(path);
    if (!info.exists()) {
        if (info.isSymLink()) {
            return Refuse(message, path + " is a symbolic link to " + info.symLinkTarget() +
                                       ", which does not exist");
        }
        if (mustExist) {
            return Refuse(message, path + " does not exist");
        }
        read.Mqtt.ClientId = defaultClientId;
        *config = read;
        return true;
    }
    if (!info.isFile()) {
        return Refuse(message, path + " is not a regular file");
    }
    const QFile::Permissions permissions = info.permissions();
    if (permissions & (QFile::ReadGroup | QFile::ReadOther)) {
        return Refuse(message, path +
                                   " can be read by other users and holds the broker's password; "
                                   "make it private with: chmod 600 " +
                                   ShellWord(path));
    }
    if (permissions & (QFile::WriteGroup | QFile::WriteOther)) {
        return Refuse(message, path +
                                   " can be changed by other users, who could send the broker's "
                                   "password elsewhere; make it private with: chmod 600 " +
                                   ShellWord(path));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Refuse(message, path + " cannot be read: " + file.errorString());
    }
    if (file.size() > Max_File_Size) {
        return Refuse(message, path + " is too large for a configuration file (" +
                                   QString::number(file.size()) + " bytes)");
    }
    const QByteArray content = file.read(Max_File_Size + 1);
    file.close();
    const TRawScan scan = ScanLines(content);

    // QSettings reads a copy without the password's value: a '"' in the password would open a
    // quoted value there that runs on over the lines below it. The copy holds no secret.
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/quarneld-config-XXXXXX.conf"));
    if (!copy.open() || copy.write(scan.Sanitized) != scan.Sanitized.size() || !copy.flush()) {
        return Refuse(message, path + " cannot be read: no temporary copy in " + QDir::tempPath() +
                                   " (" + copy.errorString() + ")");
    }
    copy.close();
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    if (settings.status() == QSettings::AccessError) {
        return Refuse(message, path + " cannot be read");
    }
    if (settings.status() == QSettings::FormatError) {
        const QString where =
            scan.UnclosedSectionLine > 0
                ? QStringLiteral(" (line %1: a section name without its closing ])")
                      .arg(scan.UnclosedSectionLine)
                : QString();
        return Refuse(message, path + " is not a valid INI file" + where);
    }
    const QStringList keys = settings.allKeys();
    for (const TRawKey& key : scan.Keys) {
        if (!keys.contains(key.Name)) {
            return Refuse(message, path + QStringLiteral(": line %1 is read as part of a value "
                                                         "above it, which opens a double quote "
                                                         "and does not close it, or ends in a "
                                                         "backslash")
                                              .arg(key.Line));
        }
    }

    TReader reader(path, settings);
    TMqttConfig& mqtt = read.Mqtt;
    if (const std::optional<QString> host = reader.Text(Section_Mqtt, "host")) {
        if (host->size() > Max_Host || std::any_of(host->begin(), host->end(), [](QChar c) {
                return IsControl(c) || c.isSpace();
            })) {
            reader.Fail(Section_Mqtt, "host",
                        QStringLiteral("must be a host name or address (at most %1 characters, "
                                       "no blanks), not %2")
                            .arg(Max_Host)
                            .arg(Shown(*host)));
        } else {
            mqtt.Host = *host;  // empty: MQTT off
        }
    }
    reader.Number(Section_Mqtt, "port", 1, 65535, &mqtt.Port);
    reader.Line(Section_Mqtt, "username", &mqtt.UserName);
    if (settings.contains(QStringLiteral("mqtt/password"))) {
        // Taken whole from its line: a ';' there is part of the password, not a comment.
        const std::optional<QString> password = scan.HasPassword
                                                    ? std::optional<QString>(scan.Password)
                                                    : reader.Text(Section_Mqtt, "password");
        if (password && password->toUtf8().size() > Max_Mqtt_String) {
            reader.Fail(Section_Mqtt, "password",
                        QStringLiteral("must be at most %1 bytes long").arg(Max_Mqtt_String));
        } else if (password) {
            mqtt.Password = *password;
        }
    }
    reader.File(Section_Mqtt, "tls_ca_file", &mqtt.TlsCaFile);
    reader.File(Section_Mqtt, "tls_cert_file", &mqtt.TlsCertFile);
    reader.File(Section_Mqtt, "tls_key_file", &mqtt.TlsKeyFile);
    reader.Line(Section_Mqtt, "client_id", &mqtt.ClientId);
    reader.Number(Section_Mqtt, "keepalive", 5, 65535, &mqtt.KeepAlive);
    reader.Topic(Section_Mqtt, "base_topic", &mqtt.BaseTopic);
    reader.Topic(Section_Mqtt, "discovery_prefix", &mqtt.DiscoveryPrefix);
    reader.Number(Section_Service, "live_interval", 2, 3600, &read.LiveIntervalS);
    reader.Number(Section_Service, "history_interval", 1, 1440, &read.HistoryIntervalMin);
    QStringList boxWarnings;
    reader.BoxList(Section_Service, "boxes", &read.Boxes, &boxWarnings);
    if (const std::optional<QString> listen = reader.Text(Section_Metrics, "listen");
        listen && !listen->isEmpty()) {
        // QHostAddress also takes "1.2.3" and "10942" as IPv4 addresses: four parts or none.
        QHostAddress address;
        if (address.setAddress(*listen) &&
            (address.protocol() != QAbstractSocket::IPv4Protocol || listen->count('.') == 3)) {
            read.Metrics.Listen = address.toString();
        } else {
            reader.Fail(
                Section_Metrics, "listen",
                "must be an IP address such as 127.0.0.1, 0.0.0.0 or ::, not " + Shown(*listen));
        }
    }
    reader.Number(Section_Metrics, "port", 0, 65535, &read.Metrics.Port);
    reader.Decimal(Section_Alerts, "after_minutes", 0.05, 1440, &read.Alerts.AfterMinutes);
    reader.Decimal(Section_Alerts, "sibling_watts", 0, 100000, &read.Alerts.SiblingWatts);
    reader.Decimal(Section_Alerts, "clear_minutes", 0.05, 1440, &read.Alerts.ClearMinutes);
    if (reader.Problem().isEmpty()) {
        if (mqtt.TlsCertFile.isEmpty() != mqtt.TlsKeyFile.isEmpty()) {
            reader.Fail(Section_Mqtt, mqtt.TlsCertFile.isEmpty() ? "tls_key_file" : "tls_cert_file",
                        QStringLiteral("needs its partner: set tls_cert_file and tls_key_file "
                                       "both, or neither"));
        } else if (!mqtt.TlsCertFile.isEmpty() && mqtt.TlsCaFile.isEmpty()) {
            reader.Fail(Section_Mqtt, "tls_cert_file",
                        QStringLiteral("needs tls_ca_file: a client certificate is only sent "
                                       "over TLS"));
        } else if (mqtt.BaseTopic == mqtt.DiscoveryPrefix) {
            reader.Fail(Section_Mqtt, "base_topic",
                        "must differ from discovery_prefix: both are " + Shown(mqtt.BaseTopic) +
                            ", and <base_topic>/status would then be Home Assistant's status "
                            "topic too");
        }
    }
    if (!reader.Problem().isEmpty()) {
        return Refuse(message, reader.Problem());
    }
    if (mqtt.ClientId.isEmpty()) {
        mqtt.ClientId = defaultClientId;
    }

    for (const QString& line : boxWarnings) {
        Warn(warnings, line);
    }
    WarnUnknown(path, settings, warnings);
    for (const int line : scan.LinesWithoutEquals) {
        Warn(warnings,
             path + QStringLiteral(": line %1 holds no key = value and is ignored").arg(line));
    }
    if (!mqtt.Password.isEmpty() && mqtt.UserName.isEmpty()) {
        Warn(warnings, path +
                           ": [mqtt] password is set but username is empty; MQTT sends a "
                           "password only with a user name");
    }
    *config = read;
    return true;
}

QString ServiceUsage() {
    return QString::fromLatin1(Usage_Text);
}

TServiceParse ParseServiceOptions(const QStringList& arguments, TServiceOptions* options,
                                  QString* message) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption config(QStringLiteral("config"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption dataDir(QStringLiteral("data-dir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption delay(QStringLiteral("request-delay"), QString(),
                                   QStringLiteral("MS"));
    const QCommandLineOption help(QStringLiteral("help"));
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({config, dataDir, delay, help, version});
    if (!parser.parse(arguments)) {
        *message = CleanMessage(parser.errorText());
        return TServiceParse::Error;
    }
    if (parser.isSet(help)) {
        return TServiceParse::Help;
    }
    if (parser.isSet(version)) {
        return TServiceParse::Version;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = "Unexpected argument " + Shown(parser.positionalArguments().first()) +
                   "; quarneld takes options only.";
        return TServiceParse::Error;
    }
    const QStringList given = parser.optionNames();
    for (const char* once : {"config", "data-dir", "request-delay"}) {
        if (given.count(QLatin1String(once)) > 1) {
            *message = QStringLiteral("--%1 is given more than once.").arg(QLatin1String(once));
            return TServiceParse::Error;
        }
    }
    *options = TServiceOptions();
    for (const auto& [option, what, out] : {std::tuple{&config, "file", &options->ConfigFile},
                                            std::tuple{&dataDir, "folder", &options->DataDir}}) {
        if (!parser.isSet(*option)) {
            continue;
        }
        const QString value = parser.value(*option);
        const QString name = "--" + option->names().first();
        if (value.isEmpty()) {
            *message = name + " takes one " + QLatin1String(what) + ".";
            return TServiceParse::Error;
        }
        if (value.size() > Max_Path || HasControlCharacter(value)) {
            *message = name + ": " + Shown(value) + " is no " + QLatin1String(what) +
                       " name (at most " + QString::number(Max_Path) +
                       " characters, no control characters).";
            return TServiceParse::Error;
        }
        *out = value;
    }
    if (parser.isSet(delay) &&
        !ReadNumber(parser.value(delay), 0, Max_Request_Delay, &options->RequestDelay)) {
        *message = "--request-delay takes milliseconds from 0 to " +
                   QString::number(Max_Request_Delay) + ", not " + Shown(parser.value(delay)) + ".";
        return TServiceParse::Error;
    }
    return TServiceParse::Run;
}

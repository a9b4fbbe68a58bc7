#include "FetchOptions.h"

#include <QCommandLineParser>
#include <algorithm>

#include "CanObjects.h"
#include "Shown.h"

namespace {

// Longer pauses are accepted, but a box that needs more than ten seconds between requests is
// better left alone.
constexpr int Max_Request_Delay = 10000;
constexpr int Max_Box_Name = 50;  // what the user database keeps of a box name
constexpr int Max_Path = 4095;

bool HasControlCharacter(const QString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

QString Shown(const QString& text) {
    return QString::fromStdString(tools::shown(text.toStdString()));
}

// The parser's own messages quote what was typed; keep them one short, clean line.
QString CleanMessage(const QString& text) {
    constexpr int Max_Message = 200;
    QString out;
    for (QChar c : text) {
        out += c.unicode() < 0x20 || c.unicode() == 0x7F ? QChar('?') : c;
    }
    return out.size() > Max_Message ? out.left(Max_Message) + "..." : out;
}

// Plain decimal digits: QString::toInt would also take " 12" and "+12".
bool ReadMilliseconds(const QString& text, int low, int high, int* out) {
    if (text.isEmpty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        })) {
        return false;
    }
    const int value = text.toInt();
    if (value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

const char* const Usage_Text =
    "usage: quarnel-fetch [options]\n"
    "Downloads the yield history of the boxes in the user database and stores it there.\n"
    "\n"
    "  --data-dir DIR          the folder of KestUser.sqlite (the program's data folder)\n"
    "  --box NAME|ID           a box by its name or its id; repeatable (every on-line box)\n"
    "  --resolution RES        10min, day, month or year; repeatable (all four)\n"
    "  --quiet                 no progress lines; the summary and problems are still shown\n"
    "  --full                  the whole history the boxes hold, not only what is missing\n"
    "  --coverage              reads the database only: what is stored, and the gaps in it\n"
    "  --request-delay MS      pause after every request to a box (80); lower it only for\n"
    "                          emulated boxes\n"
    "  --help                  this text\n"
    "  --version               the program's version\n"
    "Only --box and --resolution may be given more than once.\n"
    "\n"
    "Exit codes: 0 every box downloaded in full, 1 some box failed or another quarnel-fetch\n"
    "is running on the same database, 2 bad arguments or no usable database.\n";

}  // namespace

uint8_t ResolutionOfName(const QString& name) {
    if (name == QLatin1String("10min")) {
        return Res_Ten_Minutes;
    }
    if (name == QLatin1String("day")) {
        return Res_Day;
    }
    if (name == QLatin1String("month")) {
        return Res_Month;
    }
    if (name == QLatin1String("year")) {
        return Res_Year;
    }
    return 0;
}

QString ResolutionText(uint8_t resolution) {
    switch (resolution) {
        case Res_Ten_Minutes:
            return QStringLiteral("10 minutes");
        case Res_Day:
            return QStringLiteral("days");
        case Res_Month:
            return QStringLiteral("months");
        case Res_Year:
            return QStringLiteral("years");
        default:
            return QStringLiteral("resolution %1").arg(resolution);
    }
}

QString FetchUsage() {
    return QString::fromLatin1(Usage_Text);
}

TParseResult ParseFetchOptions(const QStringList& arguments, TFetchOptions* options,
                               QString* message) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption dataDir(QStringLiteral("data-dir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption box(QStringLiteral("box"), QString(), QStringLiteral("NAME|ID"));
    const QCommandLineOption resolution(QStringLiteral("resolution"), QString(),
                                        QStringLiteral("RES"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption coverage(QStringLiteral("coverage"));
    const QCommandLineOption full(QStringLiteral("full"));
    const QCommandLineOption delay(QStringLiteral("request-delay"), QString(),
                                   QStringLiteral("MS"));
    const QCommandLineOption help(QStringLiteral("help"));
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({dataDir, box, resolution, quiet, coverage, full, delay, help, version});
    if (!parser.parse(arguments)) {
        *message = CleanMessage(parser.errorText());
        return TParseResult::Error;
    }
    if (parser.isSet(help)) {
        return TParseResult::Help;
    }
    if (parser.isSet(version)) {
        return TParseResult::Version;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = "Unexpected argument " + Shown(parser.positionalArguments().first()) +
                   "; quarnel-fetch takes options only.";
        return TParseResult::Error;
    }
    const QStringList given = parser.optionNames();
    for (const char* once : {"data-dir", "quiet", "coverage", "full", "request-delay"}) {
        if (given.count(QLatin1String(once)) > 1) {
            *message = QStringLiteral("--%1 is given more than once.").arg(QLatin1String(once));
            return TParseResult::Error;
        }
    }
    *options = TFetchOptions();
    const QString folder = parser.value(dataDir);
    if (parser.isSet(dataDir) &&
        (folder.isEmpty() || folder.size() > Max_Path || HasControlCharacter(folder))) {
        *message = folder.isEmpty()
                       ? QStringLiteral("--data-dir takes one folder.")
                       : "--data-dir: " + Shown(folder) + " is no folder name (at most " +
                             QString::number(Max_Path) + " characters, no control characters).";
        return TParseResult::Error;
    }
    options->DataDir = folder;
    for (const QString& name : parser.values(box)) {
        if (name.isEmpty()) {
            *message = QStringLiteral("--box needs a box name or id.");
            return TParseResult::Error;
        }
        if (name.size() > Max_Box_Name || HasControlCharacter(name)) {
            *message = "--box: " + Shown(name) + " is no box name (at most " +
                       QString::number(Max_Box_Name) + " characters, no control characters).";
            return TParseResult::Error;
        }
        options->Boxes << name;
    }
    for (const QString& name : parser.values(resolution)) {
        const uint8_t code = ResolutionOfName(name);
        if (code == 0) {
            *message = "Unknown resolution " + Shown(name) +
                       " for --resolution: use 10min, day, month or year.";
            return TParseResult::Error;
        }
        if (std::find(options->Resolutions.begin(), options->Resolutions.end(), code) ==
            options->Resolutions.end()) {
            options->Resolutions.push_back(code);
        }
    }
    if (options->Resolutions.empty()) {
        options->Resolutions = AllResolutions();
    }
    if (parser.isSet(delay) &&
        !ReadMilliseconds(parser.value(delay), 0, Max_Request_Delay, &options->RequestDelay)) {
        *message = "--request-delay takes milliseconds from 0 to " +
                   QString::number(Max_Request_Delay) + ", not " + Shown(parser.value(delay)) + ".";
        return TParseResult::Error;
    }
    options->Quiet = parser.isSet(quiet);
    options->Coverage = parser.isSet(coverage);
    options->Full = parser.isSet(full);
    if (options->Coverage && options->Full) {
        *message = QStringLiteral("--coverage downloads nothing: it does not go with --full.");
        return TParseResult::Error;
    }
    return TParseResult::Run;
}

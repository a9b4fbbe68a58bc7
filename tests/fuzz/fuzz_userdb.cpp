// Opens hostile user databases and runs the program's everyday reads and writes on them: the
// box and module lists of the main window, the module lookups, a history chart's samples, the
// coverage report of quarnel-fetch, stored samples, a new box and its deletion.
//
// The databases start from the one the install step makes, with two boxes and some samples.
// Input byte 0 even: the rest is a list of changes made through SQL before the program opens
// the file (wrong types, huge texts, odd ids, rows of missing boxes, dropped tables and
// columns, failing triggers); odd: the rest is chunks [offset (3 bytes), length, bytes] written
// over the file's bytes.
//
// Whatever the file holds, the program must tell the user what is wrong or carry on, and the
// rows it did not mean to change must all still be there afterwards.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "QuietLog.h"
#include "monitor/can/NaiveTime.h"
#include "monitor/data/Acquisition.h"
#include "monitor/data/Sessions.h"
#include "monitor/data/dmUser.h"
#include "monitor/ui/logic/KWhChart.h"
#include "monitor/ui/texts/MessageFrm.h"
#include "tests/support/NullView.h"
#include "tools/quarnel-fetch/CoverageReport.h"

#ifndef QUARNEL_SOURCE_DIR
#error "QUARNEL_SOURCE_DIR names the source tree, whose install step makes the database"
#endif

namespace {

// A broken expectation names its line, so a finding reads without a debugger.
void Fail(int line) {
    std::fprintf(stderr, "fuzz_userdb: expectation at line %d broken\n", line);
    std::abort();
}
#define Check(condition) ((condition) ? void() : Fail(__LINE__))

struct Folder {
    QTemporaryDir Dir{QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/fuzz_userdb-XXXXXX")
                                                : QDir::tempPath() + "/fuzz_userdb-XXXXXX"};
    QByteArray Template;  // the installed database with two boxes and some samples
};

// A plain connection beside the program's, for preparing and counting.
class Raw {
public:
    explicit Raw(const QString& path) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        db.setDatabaseName(path);
        db.open();
    }
    ~Raw() {
        { QSqlDatabase::database(Name, false).close(); }
        QSqlDatabase::removeDatabase(Name);
    }
    bool Exec(const QString& sql, const QVariantList& values = {}) {
        QSqlQuery query(QSqlDatabase::database(Name, false));
        if (!query.prepare(sql)) {
            return false;
        }
        for (const QVariant& v : values) {
            query.addBindValue(v);
        }
        return query.exec();
    }
    // -1 when the table cannot be read.
    int64_t Count(const QString& table) {
        QSqlQuery query(QSqlDatabase::database(Name, false));
        if (!query.exec("SELECT COUNT(*) FROM " + table) || !query.next()) {
            return -1;
        }
        return query.value(0).toLongLong();
    }

private:
    const QString Name = QStringLiteral("fuzz-raw");
};

Folder& Work() {
    static Folder* folder = [] {
        auto* made = new Folder;
        QProcess install;
        install.start(QStringLiteral(QUARNEL_SOURCE_DIR "/data/install.sh"), {made->Dir.path()});
        Check(install.waitForFinished(60000) && install.exitCode() == 0);
        const QString path = made->Dir.filePath(QStringLiteral("KestUser.sqlite"));
        {
            Raw raw(path);
            for (int kest = 1; kest <= 2; ++kest) {
                Check(
                    raw.Exec("INSERT INTO kests VALUES ('Box', '127.0.0.1', 7777, 'user', "
                             "'secret', 1, ?)",
                             {kest}));
                for (int type : {128, 4, 8, 12}) {
                    Check(
                        raw.Exec("INSERT INTO modules (module_kest, module_type, module_color, "
                                 "module_pattern, module_linetype, module_ispresent, "
                                 "module_ischecked_kwh, module_ischecked_w) "
                                 "VALUES (?, ?, 3, 2, 1, 1, 1, 0)",
                                 {kest, type}));
                }
            }
            for (int i = 0; i < 12; ++i) {
                Check(
                    raw.Exec("INSERT INTO samples (sample_module, sample_timestamp, "
                             "sample_resolution, sample_yield) VALUES (?, ?, ?, ?)",
                             {1 + i % 4, QStringLiteral("2008-05-14 13:%1:00").arg(i * 3 + 10),
                              i % 2 == 0 ? 36 : 71, 100 * i}));
            }
            Check(raw.Exec("PRAGMA wal_checkpoint(TRUNCATE)"));
        }
        QFile file(path);
        Check(file.open(QIODevice::ReadOnly));
        made->Template = file.readAll();
        file.close();
        QFile::remove(path);
        return made;
    }();
    return *folder;
}

// Reads the fuzz input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* bytes, size_t size) : Bytes(bytes), Size(size) {}
    bool More() const { return At < Size; }
    uint8_t Byte() { return At < Size ? Bytes[At++] : 0; }
    QByteArray Take(size_t n) {
        n = std::min(n, Size - At);
        QByteArray taken(reinterpret_cast<const char*>(Bytes + At), qsizetype(n));
        At += n;
        return taken;
    }

private:
    const uint8_t* Bytes;
    size_t Size;
    size_t At = 0;
};

const char* const Tables[] = {"version",   "kests",       "modules", "patterns",
                              "linetypes", "application", "samples"};
const char* const Columns[] = {
    "version_major",  "version_minor",    "kest_name",         "kest_ip",
    "kest_port",      "kest_password",    "kest_online",       "kest_id",
    "module_id",      "module_kest",      "module_type",       "module_color",
    "module_pattern", "module_linetype",  "module_ispresent",  "module_ischecked_w",
    "sample_module",  "sample_timestamp", "sample_resolution", "sample_yield",
    "Language",       "pattern_nr",       "pattern_text"};

template <typename T, size_t N>
const T& Pick(const T (&list)[N], uint8_t byte) {
    return list[byte % N];
}

QString TableOf(const QString& column) {
    if (column.startsWith("version"))
        return "version";
    if (column.startsWith("kest"))
        return "kests";
    if (column.startsWith("module"))
        return "modules";
    if (column.startsWith("sample"))
        return "samples";
    if (column.startsWith("pattern"))
        return "patterns";
    return "application";
}

// A hostile value: a wrong type, an odd number, a huge text.
QVariant Value(Input& in, bool* hugeUsed) {
    const uint8_t kind = in.Byte();
    switch (kind % 9) {
        case 0:
            return QVariant();
        case 1: {
            int64_t v = 0;
            for (int i = 0; i < 8; ++i)
                v = (v << 8) | in.Byte();
            return QVariant(qlonglong(v));
        }
        case 2:
            return QString::fromUtf8(in.Take(in.Byte() % 32));
        case 3:
            return in.Take(in.Byte() % 16);  // a blob
        case 4:
            return double(int8_t(in.Byte())) / 3.0;
        case 5:
            if (!*hugeUsed) {
                *hugeUsed = true;
                return QString(1 << 20, QChar('x'));
            }
            return QStringLiteral("2008-05-14 13:30:00");
        case 6:
            return -int(in.Byte());
        case 7:
            return QStringLiteral("%1abc").arg(in.Byte());
        default:
            return int(in.Byte()) * 4;  // near the real module types and ids
    }
}

void Mutate(Raw& raw, Input& in) {
    bool hugeUsed = false;
    raw.Exec("PRAGMA foreign_keys = OFF");
    for (int n = 0; n < 8 && in.More(); ++n) {
        const uint8_t op = in.Byte();
        switch (op % 10) {
            case 0: {  // one column of every row, or of one row
                const QString column = QLatin1String(Pick(Columns, in.Byte()));
                const uint8_t row = in.Byte();
                const QString where =
                    row < 128 ? QStringLiteral(" WHERE rowid = %1").arg(row % 8) : QString();
                raw.Exec("UPDATE " + TableOf(column) + " SET " + column + " = ?" + where,
                         {Value(in, &hugeUsed)});
                break;
            }
            case 1:
                raw.Exec(QStringLiteral("DROP TABLE %1").arg(Pick(Tables, in.Byte())));
                break;
            case 2:
                raw.Exec(QStringLiteral("ALTER TABLE %1 DROP COLUMN %2")
                             .arg(TableOf(Pick(Columns, in.Byte())), Pick(Columns, in.Byte())));
                break;
            case 3:  // a module of a box that may not exist, possibly a second of its type
                raw.Exec(
                    "INSERT INTO modules (module_id, module_kest, module_type, module_color, "
                    "module_pattern, module_linetype, module_ispresent, module_ischecked_w, "
                    "module_ischecked_kwh) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    {in.Byte() < 200 ? QVariant() : Value(in, &hugeUsed), Value(in, &hugeUsed),
                     Value(in, &hugeUsed), Value(in, &hugeUsed), Value(in, &hugeUsed),
                     Value(in, &hugeUsed), in.Byte() & 1, 1, 1});
                break;
            case 4:
                raw.Exec(
                    "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, "
                    "kest_password, kest_online, kest_id) VALUES (?, ?, ?, ?, ?, ?, ?)",
                    {Value(in, &hugeUsed), Value(in, &hugeUsed), Value(in, &hugeUsed),
                     Value(in, &hugeUsed), Value(in, &hugeUsed), Value(in, &hugeUsed),
                     Value(in, &hugeUsed)});
                break;
            case 5:
                raw.Exec(
                    "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
                    "sample_yield) VALUES (?, ?, ?, ?)",
                    {Value(in, &hugeUsed), Value(in, &hugeUsed), Value(in, &hugeUsed),
                     Value(in, &hugeUsed)});
                break;
            case 6:
                raw.Exec("DELETE FROM " + QLatin1String(Pick(Tables, in.Byte())));
                break;
            case 7:  // writes the program makes fail
                raw.Exec(QStringLiteral("CREATE TRIGGER t%1 BEFORE %2 ON %3 BEGIN SELECT "
                                        "RAISE(ABORT, 'refused'); END")
                             .arg(n)
                             .arg(in.Byte() & 1 ? "INSERT" : "UPDATE")
                             .arg(Pick(Tables, in.Byte())));
                break;
            case 8: {  // a table of the right name and the wrong shape
                const QString table = QLatin1String(Pick(Tables, in.Byte()));
                raw.Exec("DROP TABLE " + table);
                raw.Exec(in.Byte() & 1 ? "CREATE TABLE " + table + " (x)"
                                       : "CREATE VIEW " + table + " AS SELECT 1 AS x");
                break;
            }
            default:
                raw.Exec("INSERT INTO version VALUES (?, ?, ?, ?, ?)",
                         {Value(in, &hugeUsed), Value(in, &hugeUsed), Value(in, &hugeUsed),
                          Value(in, &hugeUsed), Value(in, &hugeUsed)});
                break;
        }
    }
    raw.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

void Corrupt(QByteArray& file, Input& in) {
    while (in.More()) {
        uint32_t offset = uint32_t(in.Byte()) << 16;
        offset |= uint32_t(in.Byte()) << 8;
        offset |= in.Byte();
        const QByteArray bytes = in.Take(in.Byte());
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            file[qsizetype((offset + uint32_t(i)) % uint32_t(file.size()))] = bytes[i];
        }
    }
}

// The program's work on an open database.
void Use(TUserData& data, TNullView& view, Input& in) {
    data.GetLanguage();
    data.SetLanguage(in.Byte() % 4);

    // The main window: the box list, each box's modules and the two selection lists.
    std::vector<int32_t> kests;
    for (int row = 0; row < data.KestsTable->rowCount() && row < 50; ++row) {
        for (int column = 0; column < data.KestsTable->columnCount(); ++column) {
            data.KestsTable->data(data.KestsTable->index(row, column));
        }
        kests.push_back(data.KestsTable->record(row).value("kest_id").toInt());
    }
    TMsgForm texts;
    TKestSessions sessions(data, view, texts);
    TAcquisition acquisition(sessions, data);
    acquisition.BuildWCheckList();
    acquisition.BuildKWhCheckList();
    for (const TCheckListItem& item : view.W) {
        acquisition.ModuleColor(item.ModuleId);
        acquisition.ModulePattern(item.ModuleId);
        acquisition.ModuleLineType(item.ModuleId);
        acquisition.KestOfModule(item.ModuleId);
    }

    const std::vector<TModuleRow> modules = data.AllModules();
    for (int32_t kest : kests) {
        data.SetCurrentKest(kest);
        TKestRow row;
        data.FindKest(kest, &row);
        sessions.KestName(kest);
    }
    TModuleRow found;
    for (size_t i = 0; i < modules.size() && i < 20; ++i) {
        data.FindModule(modules[i].Id, &found);
        data.FindKestModule(modules[i].Kest, modules[i].Type, &found);
        std::vector<TSampleRow> samples;
        QString error;
        ReadSamples(data.ConnectionName(), modules[i].Id, Res_Ten_Minutes,
                    {NaiveDateTime(2008, 5, 14), NaiveDateTime(2008, 5, 15)}, &samples, &error);
    }
    {
        std::vector<TCoverage> coverage;
        QString error;
        if (!ReadCoverage(data.ConnectionName(), {}, {}, &coverage, &error)) {
            Check(!error.isEmpty());
        }
        CoverageLines(coverage, texts);
        // What a download would ask for: newest first, the open range leading.
        for (const TCoverage& entry : coverage) {
            const std::vector<THistoryRange> ranges = DownloadRanges(entry, QDateTime());
            Check(!ranges.empty() && !ranges.front().Newest.isValid());
        }
        if (!modules.empty()) {
            std::vector<TModuleRanges> plan;
            PlanDownload(QSqlDatabase::database(data.ConnectionName()), modules[0].Kest,
                         {Module_Total, Addr_Inverter_A}, Res_Day, &plan, &error);
        }
    }

    // Writes: samples, a selection mark, pending edits. None may lose a row it did not mean to.
    Raw raw(data.DatabasePath);
    const int64_t samplesBefore = raw.Count("samples");
    const int64_t kestsBefore = raw.Count("kests");
    const int64_t modulesBefore = raw.Count("modules");
    for (int i = 0; i < 4; ++i) {
        const int32_t kest = kests.empty() || (in.Byte() & 1) ? int32_t(in.Byte()) - 128
                                                              : kests[in.Byte() % kests.size()];
        const uint8_t module = Pick({128, 4, 8, 12, 0}, in.Byte());
        const uint8_t resolution =
            uint8_t(Pick({36, 71, 106, 125}, in.Byte()) | (in.Byte() & 0x80));
        // The channel hands over 16-bit values; the function itself takes any.
        int32_t value = int32_t(in.Byte()) * 256 + in.Byte();
        if (in.Byte() == 0xFF) {
            value = int32_t(uint32_t(in.Byte()) << 24 | uint32_t(in.Byte()) << 16 | value);
        }
        data.SaveYield(kest, module, resolution, NaiveDateTime(2008, 5, 14, 13, 10 * (i % 6)),
                       value);
    }
    if (!modules.empty()) {
        data.SetModuleChecked(modules[0].Id, in.Byte() & 1, in.Byte() & 1);
    }
    data.PostPendingEdits();
    const int64_t samplesAfter = raw.Count("samples");
    Check(samplesAfter >= samplesBefore || samplesBefore < 0);
    Check(raw.Count("kests") == kestsBefore);
    Check(raw.Count("modules") == modulesBefore);

    // A new box and its deletion leave every other box, and every sample of their modules, as
    // they were. (A hostile file may hold modules and samples of ids not yet given out, which
    // the new box adopts and takes with it.)
    const QString kept = QStringLiteral(
        "samples JOIN modules ON module_id = sample_module JOIN kests ON kest_id = module_kest");
    const int64_t keptBefore = raw.Count(kept);
    const int32_t added = data.KestsTableAfterInsert();
    if (added >= 0 && data.DeleteKest(added)) {
        Check(raw.Count("kests") == kestsBefore);
        Check(raw.Count(kept) == keptBefore);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    fuzzwork::QuietDebugOutput();
    Work();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) {
        return 0;
    }
    Folder& work = Work();
    Input in(bytes, size);
    const bool corrupt = (in.Byte() & 1) != 0;
    const QString path = work.Dir.filePath(QStringLiteral("KestUser.sqlite"));
    for (const char* suffix : {"", "-wal", "-shm"}) {
        QFile::remove(path + suffix);
    }
    QByteArray content = work.Template;
    if (corrupt) {
        Corrupt(content, in);
    }
    {
        QFile file(path);
        Check(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    if (!corrupt) {
        Raw raw(path);
        Mutate(raw, in);
    }

    TNullView view;
    {
        TUserData data(view, path);
        if (data.IsOpen()) {
            Use(data, view, in);
        } else {
            Check(!view.Errors.isEmpty());
        }
    }
    for (const QString& error : view.Errors) {
        Check(!error.trimmed().isEmpty());
    }
    return 0;
}

// The gap search on both engines: the same rows stored into a SQLite file and into the
// PostgreSQL database give the same coverage and the same download plan. Runs in the
// PostgreSQL runs only, where there is a server to compare with.
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <functional>

#include "CanObjects.h"
#include "Coverage.h"
#include "HistorySlots.h"
#include "Store.h"
#include "tests/data/DataHarness.h"

namespace {

using namespace datatest;

const char* const kPostgres = "parity_postgresql";
const char* const kSqlite = "parity_sqlite";

QString Text(const QDateTime& slot) {
    return slot.isValid() ? slot.toString(QStringLiteral("yyyy-MM-dd HH:mm")) : QStringLiteral("-");
}

// Everything a coverage holds, one line.
QString Describe(const TCoverage& c) {
    QString line = QStringLiteral("%1/%2/%3 r%4: %5 stored %6..%7 missing")
                       .arg(c.KestId)
                       .arg(c.ModuleId)
                       .arg(c.ModuleType)
                       .arg(c.Resolution)
                       .arg(c.Stored)
                       .arg(Text(c.First), Text(c.Last));
    for (const TMissingRange& r : c.Missing) {
        line += QStringLiteral(" %1..%2=%3").arg(Text(r.First), Text(r.Last)).arg(r.Slots);
    }
    line += QStringLiteral(" novalue");
    for (const TMissingRange& r : c.NoValue) {
        line += QStringLiteral(" %1..%2=%3").arg(Text(r.First), Text(r.Last)).arg(r.Slots);
    }
    line += QStringLiteral(" open");
    for (const QDateTime& open : c.Open) {
        line += " " + Text(open);
    }
    return line;
}

class EngineParityTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUARNEL_POSTGRES_ONLY();
        ASSERT_TRUE(Second.isValid());
        ASSERT_EQ(DataFolderFixture::Install(Second.path() + "/"), 0);
        QSqlDatabase postgres = AddStoreDatabase(kPostgres, Folder.Store());
        ASSERT_TRUE(postgres.open()) << postgres.lastError().text().toStdString();
        QSqlDatabase sqlite =
            AddStoreDatabase(kSqlite, SqliteStore(Second.path() + "/KestUser.sqlite"));
        ASSERT_TRUE(sqlite.open()) << sqlite.lastError().text().toStdString();
        Both("INSERT INTO kests (kest_id, kest_name) VALUES (1, 'One'), (2, 'Two')");
        // Box One: total, A, B present with nothing stored, C with a single sample. Box Two's
        // total holds the malformed stamps.
        Both(
            "INSERT INTO modules (module_id, module_kest, module_type, module_ispresent) VALUES"
            " (1, 1, 128, 1), (2, 1, 4, 1), (3, 1, 8, 1), (4, 1, 12, 1), (5, 2, 128, 1)");
    }
    void TearDown() override {
        for (const char* name : {kPostgres, kSqlite}) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
        }
    }

    void Both(const QString& statement) {
        for (const char* name : {kPostgres, kSqlite}) {
            QSqlQuery query(QSqlDatabase::database(name));
            EXPECT_TRUE(query.exec(statement))
                << name << ": " << query.lastError().text().toStdString() << "\n"
                << statement.toStdString();
        }
    }

    // The slots from first on, each next(slot) after the one before, up to and without end,
    // less those skip picks.
    void Store(int module, uint8_t resolution, QDateTime slot, const QDateTime& end,
               const std::function<QDateTime(const QDateTime&)>& next,
               const std::function<bool(const QDateTime&)>& skip = {}) {
        QStringList rows;
        for (; slot < end; slot = next(slot)) {
            if (!skip || !skip(slot)) {
                rows << QStringLiteral("(%1, '%2', %3, 1)")
                            .arg(module)
                            .arg(SampleTimestamp(slot))
                            .arg(resolution);
            }
        }
        ASSERT_FALSE(rows.isEmpty());
        Both(
            "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
            "sample_yield) VALUES " +
            rows.join(','));
    }
    void TenMinutes(int module, const QDateTime& from, const QDateTime& to,
                    const std::function<bool(const QDateTime&)>& skip = {}) {
        Store(
            module, Res_Ten_Minutes, from, to, [](const QDateTime& t) { return t.addSecs(600); },
            skip);
    }
    void Reach(int module, uint8_t resolution, const char* first, const char* last, int open) {
        Both(QStringLiteral("INSERT INTO history_reach VALUES (%1, %2, '%3', '%4', %5)")
                 .arg(module)
                 .arg(resolution)
                 .arg(first, last)
                 .arg(open));
    }

    // The coverage of the boxes on one engine, or its failure.
    QString Coverage(const char* connection, const std::vector<int32_t>& kests) {
        std::vector<TCoverage> coverage;
        QString error;
        if (!ReadCoverage(connection, kests, {}, &coverage, &error)) {
            return "failed: " + error;
        }
        QStringList lines;
        for (const TCoverage& c : coverage) {
            lines << Describe(c);
        }
        return lines.join('\n');
    }
    QString Plan(const char* connection, int32_t kest) {
        QStringList lines;
        for (uint8_t resolution : AllResolutions()) {
            std::vector<TModuleRanges> plan;
            QString error;
            if (!PlanDownload(QSqlDatabase::database(connection), kest, {128, 4, 8, 12}, resolution,
                              &plan, &error)) {
                lines << "failed: " + error;
                continue;
            }
            for (const TModuleRanges& module : plan) {
                QString line = QStringLiteral("%1 r%2:").arg(module.Module).arg(resolution);
                for (const THistoryRange& range : module.Ranges) {
                    line += QStringLiteral(" %1..%2").arg(Text(range.Newest), Text(range.Oldest));
                }
                lines << line;
            }
        }
        return lines.join('\n');
    }

    DataFolderFixture Folder;
    QTemporaryDir Second;
};

QDateTime At(int year, int month, int day, int hour = 0, int minute = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::UTC);
}

TEST_F(EngineParityTest, TheSameRowsGiveTheSameGapsAndDownloads) {
    // Stamps are the box's naive local time: the hour a clock change skips is a gap like any
    // other, and the hour it repeats is stored once.
    TenMinutes(1, At(2026, 3, 28, 20), At(2026, 3, 29, 6),
               [](const QDateTime& t) { return t.time().hour() == 2; });
    TenMinutes(1, At(2026, 10, 25, 0), At(2026, 10, 25, 4));
    // A month's end, a year's end, a leap day, and a gap over five days and a month's end.
    TenMinutes(1, At(2026, 1, 31, 22), At(2026, 2, 1, 2), [](const QDateTime& t) {
        return t >= At(2026, 1, 31, 23, 50) && t <= At(2026, 2, 1, 0, 10);
    });
    TenMinutes(1, At(2026, 4, 28, 0), At(2026, 4, 28, 12, 10));
    TenMinutes(1, At(2026, 5, 3, 6), At(2026, 5, 4));
    TenMinutes(1, At(2026, 12, 31, 23), At(2027, 1, 1, 1),
               [](const QDateTime& t) { return t == At(2026, 12, 31, 23, 50); });
    TenMinutes(1, At(2028, 2, 28, 12), At(2028, 3, 1, 12),
               [](const QDateTime& t) { return t.date() == QDate(2028, 2, 29); });
    const auto day = [](const QDateTime& t) { return t.addDays(1); };
    Store(1, Res_Day, At(2027, 12, 1), At(2028, 4, 1), day, [](const QDateTime& t) {
        return t.date() == QDate(2028, 2, 29) ||
               (t.date() >= QDate(2028, 1, 1) && t.date() <= QDate(2028, 1, 3));
    });
    Store(
        1, Res_Month, At(2019, 1, 1), At(2028, 3, 1),
        [](const QDateTime& t) { return t.addMonths(1); },
        [](const QDateTime& t) {
            return t.date() == QDate(2024, 2, 1) ||
                   (t.date() >= QDate(2027, 12, 1) && t.date() <= QDate(2028, 1, 1));
        });
    Store(
        1, Res_Year, At(2010, 1, 1), At(2028, 1, 1),
        [](const QDateTime& t) { return t.addYears(1); },
        [](const QDateTime& t) { return t.date().year() == 2015 || t.date().year() == 2016; });

    // What the box answered before: no value for part of a gap and for the slots before the
    // first stored, slots stored while open, and rows no download wrote.
    TenMinutes(2, At(2026, 5, 1, 0), At(2026, 5, 1, 6),
               [](const QDateTime& t) { return t.time().hour() == 3; });
    Reach(2, Res_Ten_Minutes, "2026-05-01 03:00:00", "2026-05-01 03:30:00", 0);
    Reach(2, Res_Ten_Minutes, "2026-04-30 12:00:00", "2026-04-30 23:50:00", 0);
    Reach(2, Res_Ten_Minutes, "2026-05-01 05:00:00", "2026-05-01 05:00:00", 1);
    Store(2, Res_Day, At(2026, 1, 1), At(2026, 2, 1), day,
          [](const QDateTime& t) { return t.date().day() >= 10 && t.date().day() <= 12; });
    Reach(2, Res_Day, "2026-01-10 00:00:00", "2026-01-12 00:00:00", 0);
    Reach(2, Res_Day, "2026-01-31 00:00:00", "2026-01-31 00:00:00", 1);
    Reach(2, Res_Day, "garbage", "2026-01-05 00:00:00", 0);
    Reach(2, Res_Day, "2026-01-20 00:00:00", "2026-01-15 00:00:00", 0);
    Reach(2, Res_Month, "2020-01-01 00:00:00", "2020-06-01 00:00:00", 0);
    Reach(2, Res_Year, "2025-01-01 00:00:00", "2025-01-01 00:00:00", 1);

    Both(
        "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, sample_yield) "
        "VALUES (4, '2026-06-01 12:00:00', 36, 5), (4, '2026-06-01 00:00:00', 71, 5)");

    const QString postgres = Coverage(kPostgres, {1});
    EXPECT_FALSE(postgres.startsWith("failed")) << postgres.toStdString();
    EXPECT_EQ(postgres.toStdString(), Coverage(kSqlite, {1}).toStdString());
    // The plan follows the PC's clock: one after every stored slot, and one inside the box's
    // reach of the ten-minute history.
    for (const QDateTime& now : {At(2028, 4, 2, 12), At(2026, 5, 2, 0)}) {
        FixedPcClock clock(now);
        EXPECT_EQ(Plan(kPostgres, 1).toStdString(), Plan(kSqlite, 1).toStdString());
    }
}

// A stamp that names no moment, among good ones. Where the two disagree it is because SQLite's
// date functions take more than the stored form: they read "T" as the separator and a day 30 of
// February as 2 March, where PostgreSQL's unixepoch() gives null and the gap search passes the
// row by. A row that the gap search on SQLite puts at a gap's edge then fails the report with
// the stamp named, while PostgreSQL reports the gaps of the good rows. Both read a stamp without
// seconds and 24:00:00 as the next midnight, and so agree on them; the bad row counts as stored
// on both, and a stamp at either end of the stored slots fails both.
TEST_F(EngineParityTest, AMalformedStampFailsOrIsPassedByAsDocumented) {
    Store(
        5, Res_Day, At(2026, 1, 1), At(2026, 4, 1), [](const QDateTime& t) { return t.addDays(1); },
        [](const QDateTime& t) {
            return (t.date() >= QDate(2026, 2, 10) && t.date() <= QDate(2026, 2, 12)) ||
                   t.date() == QDate(2026, 3, 5);
        });
    TenMinutes(5, At(2026, 2, 27, 0), At(2026, 3, 2));
    struct Case {
        const char* Stamp;
        int Resolution;
        bool SqliteFails;  // PostgreSQL fails only when both do
        bool PostgresFails;
    };
    const Case cases[] = {
        {"yesterday", Res_Day, true, true},             // sorts after every stamp: the newest slot
        {" 2026-01-05 00:00:00", Res_Day, true, true},  // sorts before every stamp
        {"2026-02-30 00:00:00", Res_Day, true, false},
        {"2026-02-11T00:00:00", Res_Day, true, false},
        {"2026-02-28 24:00:00", Res_Day, false, false},
        {"2026-13-01 00:00:00", Res_Day, true, true},  // after every stamp
        {"2026-02-11 00:00", Res_Day, true, true},     // at the edges of the gap it splits
        {"2026-02-28 12:05:00", Res_Ten_Minutes, false, false},
        {"2026-02-28 12:05", Res_Ten_Minutes, false, false},
        {"2026-02-30 00:00:00", Res_Ten_Minutes, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Stamp) + " at resolution " + std::to_string(c.Resolution));
        Both(QStringLiteral("INSERT INTO samples (sample_module, sample_timestamp, "
                            "sample_resolution, sample_yield) VALUES (5, '%1', %2, 1)")
                 .arg(QLatin1String(c.Stamp))
                 .arg(c.Resolution));
        const QString postgres = Coverage(kPostgres, {2});
        const QString sqlite = Coverage(kSqlite, {2});
        EXPECT_EQ(sqlite.startsWith("failed"), c.SqliteFails) << sqlite.toStdString();
        EXPECT_EQ(postgres.startsWith("failed"), c.PostgresFails) << postgres.toStdString();
        if (c.SqliteFails) {
            EXPECT_TRUE(sqlite.contains(QLatin1String(c.Stamp))) << sqlite.toStdString();
        }
        if (c.SqliteFails == c.PostgresFails) {
            EXPECT_EQ(postgres.toStdString(), sqlite.toStdString());
        } else {
            const char* const goodGaps =
                "87 stored 2026-01-01 00:00..2026-03-31 00:00 missing 2026-02-10 "
                "00:00..2026-02-12 00:00=3 2026-03-05 00:00..2026-03-05 00:00=1 novalue";
            EXPECT_TRUE(postgres.contains(QLatin1String(goodGaps))) << postgres.toStdString();
        }
        Both(QStringLiteral("DELETE FROM samples WHERE sample_timestamp = '%1'")
                 .arg(QLatin1String(c.Stamp)));
    }
}

}  // namespace

// The coverage report on a database with known holes: each hole is listed once, with its bounds
// and size, at every resolution; boxes and modules not asked for stay out.
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlError>

#include "CanObjects.h"
#include "CoverageReport.h"
#include "Store.h"
#include "tests/data/DataHarness.h"

namespace {

const char* const kConnection = "coverage_test";

class CoverageTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Box One: total, A and B present, C neither present nor stored. Box Two: its total.
        Folder.Sql(
            "INSERT INTO kests (kest_id, kest_name) VALUES (1, 'One'), (2, 'Two');"
            "INSERT INTO modules (module_id, module_kest, module_type, module_ispresent) VALUES"
            " (1, 1, 128, 1), (2, 1, 4, 1), (3, 1, 8, 1), (4, 1, 12, 0), (5, 2, 128, 1);");
        // The ten-minute holes: across the month's end, across midnight, three whole days, one
        // single slot; September is whole.
        Fill(1, Res_Ten_Minutes, "2026-09-01", 69 * 144, 10, "minutes",
             "ts BETWEEN '2026-10-31 23:50:00' AND '2026-11-01 00:00:00' OR "
             "ts BETWEEN '2026-11-01 23:30:00' AND '2026-11-02 00:20:00' OR "
             "ts BETWEEN '2026-11-03 00:00:00' AND '2026-11-05 23:50:00' OR "
             "ts = '2026-11-07 13:10:00'");
        Fill(1, Res_Day, "2026-01-01", 365, 1, "days",
             "ts = '2026-03-10 00:00:00' OR ts BETWEEN '2026-06-01' AND '2026-06-30 23:59:59'");
        Fill(1, Res_Month, "2020-01-01", 84, 1, "months",
             "ts = '2021-02-01 00:00:00' OR ts BETWEEN '2022-11-01' AND '2023-01-31'");
        Fill(1, Res_Year, "2016-01-01", 11, 1, "years");
        Fill(2, Res_Ten_Minutes, "2026-11-01 06:00:00", 73, 10, "minutes");
        Fill(2, Res_Year, "2016-01-01", 5, 1, "years", "ts LIKE '2018%' OR ts LIKE '2019%'");
        Fill(5, Res_Ten_Minutes, "2026-11-01", 10, 10, "minutes", "ts = '2026-11-01 00:40:00'");

        QSqlDatabase db = AddStoreDatabase(kConnection, Folder.Store());
        ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
    }
    void TearDown() override {
        QSqlDatabase::database(kConnection, false).close();
        QSqlDatabase::removeDatabase(kConnection);
    }

    // count slots from start, one every step units, less those the condition on ts picks.
    void Fill(int module, uint8_t resolution, const char* start, int count, int step,
              const char* unit, const char* except = "FALSE") {
        const QString series =
            datatest::TestingPostgres()
                ? QStringLiteral(
                      "SELECT to_char(timestamp '%2' + i * interval '%3 %4', "
                      "'YYYY-MM-DD HH24:MI:SS') AS ts FROM generate_series(0, %1) AS i")
                : QStringLiteral(
                      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n "
                      "WHERE i < %1) SELECT datetime('%2', '+' || (i * %3) || ' %4') "
                      "AS ts FROM n");
        Folder.Sql(QStringLiteral("INSERT INTO samples (sample_module, sample_timestamp, "
                                  "sample_resolution, sample_yield) SELECT %1, ts, %2, 0 FROM (%3) "
                                  "AS t WHERE NOT (%4);")
                       .arg(module)
                       .arg(resolution)
                       .arg(series.arg(count - 1).arg(start).arg(step).arg(unit))
                       .arg(except));
    }

    // The report's lines, joined so that a failure prints them readably.
    std::string Lines(const std::vector<int32_t>& kests, const std::vector<uint8_t>& resolutions) {
        std::vector<TCoverage> coverage;
        QString error;
        EXPECT_TRUE(ReadCoverage(kConnection, kests, resolutions, &coverage, &error))
            << error.toStdString();
        return CoverageLines(coverage, TMsgForm()).join('\n').toStdString();
    }

    datatest::DataFolderFixture Folder;
};

TEST_F(CoverageTest, ListsEveryHoleOfTheBoxAtEveryResolution) {
    const QStringList expected = {
        "One (Total), 10 minutes: 2026-09-01 00:00 .. 2026-11-08 23:50, 9495 slots stored, "
        "441 missing",
        "  2026-10-31 23:50 .. 2026-11-01 00:00 missing, 2 slots",
        "  2026-11-01 23:30 .. 2026-11-02 00:20 missing, 6 slots",
        "  2026-11-03 00:00 .. 2026-11-05 23:50 missing, 432 slots",
        "  2026-11-07 13:10 missing, 1 slot",
        "One (Total), days: 2026-01-01 .. 2026-12-31, 334 slots stored, 31 missing",
        "  2026-03-10 missing, 1 slot",
        "  2026-06-01 .. 2026-06-30 missing, 30 slots",
        "One (Total), months: 2020-01 .. 2026-12, 80 slots stored, 4 missing",
        "  2021-02 missing, 1 slot",
        "  2022-11 .. 2023-01 missing, 3 slots",
        "One (Total), years: 2016 .. 2026, 11 slots stored, 0 missing",
        "One (A), 10 minutes: 2026-11-01 06:00 .. 2026-11-01 18:00, 73 slots stored, 0 missing",
        "One (A), days: nothing stored",
        "One (A), months: nothing stored",
        "One (A), years: 2016 .. 2020, 3 slots stored, 2 missing",
        "  2018 .. 2019 missing, 2 slots",
        "One (B), 10 minutes: nothing stored",
        "One (B), days: nothing stored",
        "One (B), months: nothing stored",
        "One (B), years: nothing stored",
    };
    EXPECT_EQ(Lines({1}, {}), expected.join('\n').toStdString());
}

// What the box has answered before decides what a download asks for: a hole it had no value for
// is not asked again, nor are the months before the first stored one that it had none for; a
// month stored while open is read again; the open range reaches down to the newest stored month.
TEST_F(CoverageTest, TheBoxsEarlierAnswersShapeTheReportAndTheDownload) {
    Folder.Sql(
        "INSERT INTO history_reach VALUES (1, 106, '2022-11-01 00:00:00', '2023-01-01 00:00:00', "
        "0),"
        " (1, 106, '2004-01-01 00:00:00', '2019-12-01 00:00:00', 0),"
        " (1, 106, '2020-05-01 00:00:00', '2020-05-01 00:00:00', 1);");
    EXPECT_EQ(Lines({1}, {Res_Month}),
              "One (Total), months: 2020-01 .. 2026-12, 80 slots stored, 4 missing\n"
              "  2021-02 missing, 1 slot\n"
              "  2022-11 .. 2023-01 missing, 3 slots, no value on the box\n"
              "  2004-01 .. 2019-12 no value on the box, 192 slots\n"
              "One (A), months: nothing stored\n"
              "One (B), months: nothing stored");

    TCoverage coverage;
    coverage.ModuleId = 1;
    coverage.Resolution = Res_Month;
    const QDateTime since(QDate(2004, 1, 1), QTime(0, 0), Qt::UTC);
    QString error;
    ASSERT_TRUE(ReadModuleCoverage(QSqlDatabase::database(kConnection), since, &coverage, &error))
        << error.toStdString();
    auto month = [](int year, int m) { return QDateTime(QDate(year, m, 1), QTime(0, 0), Qt::UTC); };
    const std::vector<std::pair<QDateTime, QDateTime>> expected = {
        {QDateTime(), month(2026, 12)},
        {month(2021, 2), month(2021, 2)},
        {month(2020, 5), month(2020, 5)}};
    std::vector<std::pair<QDateTime, QDateTime>> ranges;
    for (const THistoryRange& range : DownloadRanges(coverage, since)) {
        ranges.emplace_back(range.Newest, range.Oldest);
    }
    EXPECT_EQ(ranges, expected);
}

TEST_F(CoverageTest, AllBoxesAndChosenResolutions) {
    std::vector<TCoverage> coverage;
    QString error;
    ASSERT_TRUE(ReadCoverage(kConnection, {}, {Res_Year, Res_Ten_Minutes}, &coverage, &error));
    ASSERT_EQ(coverage.size(), 8u);  // four modules, each at both resolutions
    EXPECT_EQ(coverage[6].KestName, "Two");
    EXPECT_EQ(coverage[6].ModuleId, 5);
    EXPECT_EQ(coverage[6].Resolution, Res_Ten_Minutes);
    EXPECT_EQ(coverage[6].Stored, 9);
    ASSERT_EQ(coverage[6].Missing.size(), 1u);
    EXPECT_EQ(coverage[6].Missing[0].First, coverage[6].Missing[0].Last);
    EXPECT_EQ(SlotText(coverage[6].Missing[0].First, Res_Ten_Minutes), "2026-11-01 00:40");
    EXPECT_EQ(Lines({2}, {Res_Day}), "Two (Total), days: nothing stored");
    EXPECT_EQ(Lines({3}, {}), "");

    // Scattered holes: the first twenty are listed, the rest summed up.
    Fill(3, Res_Day, "2025-01-01", 30, 2, "days");
    const std::string days = Lines({1}, {Res_Day});
    EXPECT_NE(days.find("One (B), days: 2025-01-01 .. 2025-02-28, 30 slots stored, 29 missing\n"
                        "  2025-01-02 missing, 1 slot\n"),
              std::string::npos)
        << days;
    EXPECT_NE(days.find("  2025-02-09 missing, 1 slot\n  and 9 more missing ranges, 9 slots"),
              std::string::npos)
        << days;
}

TEST_F(CoverageTest, FailuresComeWithAMessage) {
    std::vector<TCoverage> coverage;
    QString error;
    EXPECT_FALSE(ReadCoverage(kConnection, {}, {Res_Day, 99}, &coverage, &error));
    EXPECT_TRUE(error.contains("99"));
    EXPECT_FALSE(ReadCoverage("no_such_connection", {}, {}, &coverage, &error));
    EXPECT_FALSE(error.isEmpty());

    Folder.Sql(
        "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution) "
        "VALUES (3, 'yesterday', 71);");
    EXPECT_FALSE(ReadCoverage(kConnection, {1}, {}, &coverage, &error));
    EXPECT_TRUE(error.contains("yesterday")) << error.toStdString();
    EXPECT_TRUE(coverage.empty());
}

}  // namespace

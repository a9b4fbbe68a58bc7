// The energies quarneld publishes: read from the samples, and kept from going backwards.
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlError>

#include "Energy.h"
#include "monitor/data/Store.h"
#include "tests/data/DataHarness.h"

namespace {

TEST(EnergyTest, TodayAndLifetimeComeFromTheNewestDayAndTheSumOfTheYears) {
    datatest::DataFolderFixture folder;
    folder.Sql(
        "INSERT INTO kests (kest_id, kest_name) VALUES (1, 'Roof');"
        "INSERT INTO modules (module_id, module_kest, module_type) VALUES (1, 1, 128), "
        "(2, 1, 4), (3, 1, 8);"
        "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, sample_yield) "
        "VALUES (1, '2024-06-19 00:00:00', 71, 30000), (1, '2024-06-20 00:00:00', 71, 8000), "
        "(1, '2023-01-01 00:00:00', 125, 9000), (1, '2024-01-01 00:00:00', 125, 4001), "
        "(2, '2024-06-21 00:00:00', 71, 5), (1, '2024-06-20 12:00:00', 36, 77);");
    QSqlDatabase db = AddStoreDatabase(QStringLiteral("energy"), folder.Store());
    ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
    TModuleEnergy energy;
    QString error;
    ASSERT_TRUE(ReadModuleEnergy(db, 1, &energy, &error)) << error.toStdString();
    EXPECT_TRUE(energy.HasToday);
    EXPECT_EQ(energy.TodayDate, QDate(2024, 6, 20));
    EXPECT_DOUBLE_EQ(energy.TodayKWh, 4.0);
    EXPECT_TRUE(energy.HasTotal);
    EXPECT_DOUBLE_EQ(energy.TotalKWh, 6500.5);

    // A module without samples publishes nothing, rather than 0.
    ASSERT_TRUE(ReadModuleEnergy(db, 3, &energy, &error));
    EXPECT_FALSE(energy.HasToday);
    EXPECT_FALSE(energy.HasTotal);
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("energy"));
}

TEST(EnergyTest, TodayGoesDownOnlyWithANewDayAndTheLifetimeNever) {
    TPublishedEnergy published;
    TModuleEnergy energy;
    energy.HasToday = true;
    energy.TodayDate = QDate(2024, 6, 20);
    energy.TodayKWh = 12.5;
    energy.HasTotal = true;
    energy.TotalKWh = 6500.5;
    EXPECT_TRUE(TodayMayGoOut(published, energy));
    EXPECT_TRUE(TotalMayGoOut(published, energy));

    published = {true, QDate(2024, 6, 20), 12.5, true, 6500.5};
    energy.TodayKWh = 12.0;
    EXPECT_FALSE(TodayMayGoOut(published, energy));
    energy.TodayDate = QDate(2024, 6, 21);
    energy.TodayKWh = 0.1;
    EXPECT_TRUE(TodayMayGoOut(published, energy));
    energy.TodayDate = QDate(2024, 6, 19);
    energy.TodayKWh = 30;
    EXPECT_FALSE(TodayMayGoOut(published, energy));

    energy.TotalKWh = 6400;  // a year sample lost from the database
    EXPECT_FALSE(TotalMayGoOut(published, energy));
    energy.TotalKWh = 6500.5;
    EXPECT_TRUE(TotalMayGoOut(published, energy));
    energy.HasTotal = false;
    EXPECT_FALSE(TotalMayGoOut(published, energy));
}

}  // namespace

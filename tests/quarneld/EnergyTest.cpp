// The energies quarneld publishes: read from the samples, and kept from going backwards.
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlQuery>

#include "Energy.h"

namespace {

TEST(EnergyTest, TodayAndLifetimeComeFromTheNewestDayAndTheSumOfTheYears) {
    QSqlDatabase db =
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("energy"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    ASSERT_TRUE(db.open());
    QSqlQuery q(db);
    ASSERT_TRUE(
        q.exec("CREATE TABLE samples (sample_module INTEGER, sample_timestamp TEXT, "
               "sample_resolution INTEGER, sample_yield INTEGER)"));
    ASSERT_TRUE(
        q.exec("INSERT INTO samples VALUES (1, '2024-06-19 00:00:00', 71, 30000), "
               "(1, '2024-06-20 00:00:00', 71, 8000), (1, '2023-01-01 00:00:00', 125, "
               "9000), (1, '2024-01-01 00:00:00', 125, 4001), (2, '2024-06-21 00:00:00', "
               "71, 5), (1, '2024-06-20 12:00:00', 36, 77)"));
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

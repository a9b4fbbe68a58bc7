#include "Energy.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "CanObjects.h"

namespace {

// Readings stored as whole box units differ by at least half a unit when they differ at all.
constexpr double Same_KWh = 1e-9;

}  // namespace

bool ReadModuleEnergy(const QSqlDatabase& db, int32_t moduleId, TModuleEnergy* energy,
                      QString* error) {
    *energy = TModuleEnergy();
    QSqlQuery day(db);
    day.setForwardOnly(true);
    day.prepare(QStringLiteral(
        "SELECT sample_timestamp, sample_yield FROM samples WHERE sample_module = ? AND "
        "sample_resolution = ? ORDER BY sample_timestamp DESC LIMIT 1"));
    day.addBindValue(moduleId);
    day.addBindValue(int(Res_Day));
    if (!day.exec()) {
        *error = day.lastError().text();
        return false;
    }
    if (day.next()) {
        energy->TodayDate =
            QDate::fromString(day.value(0).toString().left(10), QStringLiteral("yyyy-MM-dd"));
        energy->HasToday = energy->TodayDate.isValid();
        energy->TodayKWh = double(day.value(1).toLongLong()) * KWh_Per_Day_Unit;
    }
    QSqlQuery year(db);
    year.setForwardOnly(true);
    year.prepare(
        QStringLiteral("SELECT COUNT(*), COALESCE(SUM(sample_yield), 0) FROM samples "
                       "WHERE sample_module = ? AND sample_resolution = ?"));
    year.addBindValue(moduleId);
    year.addBindValue(int(Res_Year));
    if (!year.exec() || !year.next()) {
        *error = year.lastError().text();
        return false;
    }
    energy->HasTotal = year.value(0).toLongLong() > 0;
    energy->TotalKWh = year.value(1).toDouble() * KWh_Per_Year_Unit;
    return true;
}

bool TodayMayGoOut(const TPublishedEnergy& published, const TModuleEnergy& energy) {
    if (!energy.HasToday) {
        return false;
    }
    if (!published.HasToday || energy.TodayDate > published.TodayDate) {
        return true;
    }
    return energy.TodayDate == published.TodayDate &&
           energy.TodayKWh >= published.TodayKWh - Same_KWh;
}

bool TotalMayGoOut(const TPublishedEnergy& published, const TModuleEnergy& energy) {
    return energy.HasTotal &&
           (!published.HasTotal || energy.TotalKWh >= published.TotalKWh - Same_KWh);
}

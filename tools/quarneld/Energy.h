// A module's two energies as the service publishes them: today's from the newest day sample,
// the lifetime's from the sum of the year samples. And the rules that keep a published energy
// from going backwards: Home Assistant takes a lower total_increasing value for a meter reset.
#pragma once

#include <QDate>
#include <QString>
#include <cstdint>

class QSqlDatabase;

// Day samples count 0.5 Wh, year samples 0.5 kWh (the box's units, times 4 where it flagged
// them, as stored).
constexpr double KWh_Per_Day_Unit = 0.0005;
constexpr double KWh_Per_Year_Unit = 0.5;

struct TModuleEnergy {
    bool HasToday = false;  // there is a day sample
    QDate TodayDate;        // the box's date of the newest one
    double TodayKWh = 0;
    bool HasTotal = false;  // there is a year sample
    double TotalKWh = 0;
};

// Reads the module's energies from the samples table. False with the database's words.
bool ReadModuleEnergy(const QSqlDatabase& db, int32_t moduleId, TModuleEnergy* energy,
                      QString* error);

// What went out last for one module.
struct TPublishedEnergy {
    bool HasToday = false;
    QDate TodayDate;
    double TodayKWh = 0;
    bool HasTotal = false;
    double TotalKWh = 0;
};

// Today's energy goes out when it is the first, when it is no lower than the one published for
// the same day, or when the box's day has moved on since (then it starts again from little).
bool TodayMayGoOut(const TPublishedEnergy& published, const TModuleEnergy& energy);
// The lifetime energy never goes down: a value below the published one stays back.
bool TotalMayGoOut(const TPublishedEnergy& published, const TModuleEnergy& energy);

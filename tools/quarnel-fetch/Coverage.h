// What the user database holds of each module's yield history: per module and resolution the
// first and last stored slot, how many slots are stored, and the slots missing between them.
// Reads only; the gaps are found by SQLite, so only they and a few sums reach the program.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "MessageFrm.h"

// A run of consecutive missing slots; First and Last are slot starts, both missing.
struct TMissingRange {
    QDateTime First;
    QDateTime Last;
    int64_t Slots = 0;
};

// One module at one resolution. First and Last are null when nothing is stored.
struct TCoverage {
    int32_t KestId = 0;
    QString KestName;
    int32_t ModuleId = 0;
    int32_t ModuleType = 0;
    uint8_t Resolution = 0;
    int64_t Stored = 0;
    QDateTime First;
    QDateTime Last;
    std::vector<TMissingRange> Missing;

    int64_t MissingSlots() const;
};

// Reads every module of the boxes given (all boxes when empty) that is present or has samples,
// at the resolutions given (all four when empty), through the open connection of that name.
// Modules come in box order, the total before the inverters. False with a message on a database
// error, an unknown resolution code or a stored time stamp that names no calendar moment.
bool ReadCoverage(const QString& connection, const std::vector<int32_t>& kests,
                  const std::vector<uint8_t>& resolutions, std::vector<TCoverage>* out,
                  QString* error);

// The slot's text at its resolution: "yyyy-MM-dd HH:mm", "yyyy-MM-dd", "yyyy-MM" or "yyyy".
QString SlotText(const QDateTime& slot, uint8_t resolution);

// The report: per module and resolution one line, then one indented line per missing range, up
// to twenty, and one more that sums up the rest.
QStringList CoverageLines(const std::vector<TCoverage>& coverage, const TMsgForm& texts);

// What the user database holds of each module's yield history, and so what a download still has
// to ask a box for: per module and resolution the first and last stored slot, how many slots are
// stored, the slots missing between them, the closed slots the box has answered "no value" for,
// and the slots stored while their period was still open. Reads only; the gaps are found by
// SQLite, so only they and a few sums reach the program.
#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <cstdint>
#include <vector>

#include "CANMessages.h"

// A run of consecutive slots; First and Last are slot starts, both inside the run.
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
    std::vector<TMissingRange> NoValue;  // closed slots the box has no value for, oldest first
    std::vector<QDateTime> Open;         // stored while their period was open, oldest first

    int64_t MissingSlots() const;
    // True when the box has answered "no value" for every slot of the range.
    bool HasNoValue(const TMissingRange& range) const;
};

// The four resolutions in download and report order: 10 minutes, days, months, years.
const std::vector<uint8_t>& AllResolutions();

// Reads every module of the boxes given (all boxes when empty) that is present or has samples,
// at the resolutions given (all four when empty), through the open connection of that name.
// Modules come in box order, the total before the inverters. False with a message on a database
// error, an unknown resolution code or a stored time stamp that names no calendar moment.
bool ReadCoverage(const QString& connection, const std::vector<int32_t>& kests,
                  const std::vector<uint8_t>& resolutions, std::vector<TCoverage>* out,
                  QString* error);
// One module at one resolution (ModuleId and Resolution set), with only the slots from since on
// (every slot when since is null).
bool ReadModuleCoverage(const QSqlDatabase& db, const QDateTime& since, TCoverage* coverage,
                        QString* error);

// What a download asks the box for, newest first: from the box's newest slot back to the newest
// slot stored or known to have no value (that slot included when stored, as its period may
// have been open), then every slot stored while open, and every missing slot the box has not
// answered "no value" for, from since on (the oldest slot the box may hold; the first stored
// when null). Ranges older than the box holds are cut by the channel.
std::vector<THistoryRange> DownloadRanges(const TCoverage& coverage, const QDateTime& since);

// The download of one box's modules of those types at one resolution, read from the database
// through that connection: a module without a row of that type is left out. False with a
// message on a database error.
bool PlanDownload(const QSqlDatabase& db, int32_t kestId, const std::vector<int32_t>& moduleTypes,
                  uint8_t resolution, std::vector<TModuleRanges>* plan, QString* error);

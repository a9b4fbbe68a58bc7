// quarnel-fetch's coverage report: per module and resolution what is stored, the slots missing
// between the first and the last stored one, and which of them the box has no value for.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "Coverage.h"
#include "MessageFrm.h"

// The slot's text at its resolution: "yyyy-MM-dd HH:mm", "yyyy-MM-dd", "yyyy-MM" or "yyyy".
QString SlotText(const QDateTime& slot, uint8_t resolution);

// The report: per module and resolution one line, then one indented line per missing range, up
// to twenty, and one more that sums up the rest; a range the box has answered "no value" for
// says so, as do the ranges without value before the first and after the last stored slot.
QStringList CoverageLines(const std::vector<TCoverage>& coverage, const TMsgForm& texts);

// The slots of the yield history: the ten-minute, day, month and year periods a box keeps one
// value for, as naive date and times at their start, and how many of them a box holds.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>

// The start of the slot that holds the moment; null for a null moment or an unknown resolution.
QDateTime SlotStart(const QDateTime& moment, uint8_t resolution);
// The slot that many slots later (earlier when negative).
QDateTime SlotStep(const QDateTime& slot, uint8_t resolution, int64_t steps);
// Slot starts as whole numbers, consecutive slots differing by one, and back. Both take and give
// slot starts only; SlotOfNumber gives null for a number outside the calendar.
int64_t SlotNumber(const QDateTime& slot, uint8_t resolution);
QDateTime SlotOfNumber(int64_t number, uint8_t resolution);

// The oldest slot a box still holds when its newest is that one: seven days of ten-minute slots,
// 366 days, the months since January 2004 and 25 years (none before 2004).
QDateTime OldestSlotOnBox(const QDateTime& newest, uint8_t resolution);
// The text a slot's start is stored as in the user database: "yyyy-MM-dd HH:mm:ss".
QString SampleTimestamp(const QDateTime& slot);
// How many slots one history request asks for at most: ten of ten minutes, one of the others.
int SlotsPerRequest(uint8_t resolution);

// Dates and times of this program are naive local calendar values, like the box's clock: a
// QDateTime tagged UTC only carries the fields, so arithmetic never meets a daylight-saving
// change.
#pragma once

#include <QDateTime>

// The PC's local wall clock, read once and re-tagged as naive.
QDateTime NaiveNow();

// Tests fix the PC's clock: NaiveNow() returns this naive time from now on, on every thread,
// until a null QDateTime gives the wall clock back.
void SetNaiveNowForTesting(const QDateTime& time);

// A naive date and time, or a null QDateTime when the fields name no calendar moment.
QDateTime NaiveDateTime(int year, int month, int day, int hour = 0, int minute = 0);

// The nearest ten-minute boundary; a time exactly between two goes to the even slot of the day.
QDateTime RoundToTenMinutes(const QDateTime& time);

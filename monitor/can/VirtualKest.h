// The replay-file box: answers a channel's CAN requests from a file of recorded replies, in
// place of a real box behind the link library.
//
// The file is INI text with one section per distinct request. The section name is the
// request's header bytes, its length and its data bytes, each as two upper-case hex digits
// joined by "-" (00-20-08-00-00 is the monitor clock request). Keys REQ0000, REQ0001, ... (the
// count in four upper-case hex digits: REQ0009 is followed by REQ000A)
// hold the successive replies to requests of that header: "Address-Object-Action-AuthLevel-
// Length-Data..." in decimal or "$" hex, or "[LOOP]" (start again at REQ0000), "[END]" or
// "Timeout" (the module does not answer; a missing key reads the same).
#pragma once

#include <QHash>
#include <QString>
#include <cstdint>
#include <memory>

#include "CanObjects.h"

class TVirtualKest {
public:
    // Reads the file once; a file that cannot be read answers like an empty one.
    TVirtualKest(int32_t id, const QString& replayFile);

    int32_t Id() const { return BoxId; }
    QString ReplayFile() const { return Path; }
    // The value of key in section, or fallback when either is missing.
    QString Value(const QString& section, const QString& key, const QString& fallback) const;

private:
    int32_t BoxId;
    QString Path;
    QHash<QString, QHash<QString, QString>> Sections;
};

// The process-wide list of replay boxes. Adding a box whose id is already listed replaces it.
namespace SimulatedKests {
void Add(int32_t id, const QString& replayFile);
void Remove(int32_t id);
void Clear();
int Count();
}  // namespace SimulatedKests

// The reply counters, one per request header seen so far (address, object, action,
// authorisation level and length; the data bytes are not compared).
namespace ReplayCounters {
uint32_t Counter(const CanMessage& request);  // 0 for a header not seen yet
int Count();
void Clear();
}  // namespace ReplayCounters

// Answers one request from the box with that id (low 8 bits compared). Results: 0 a recorded
// reply, -2 a reply with Action 2, -10 one with Action 3, -11 no answer (reply untouched),
// -100 no such box (reply untouched). Throws TConversionError for a recorded value that is no
// reply. Calls from several workers are serialised.
int32_t SimulateRequest(const CanMessage& request, CanMessage& reply, uint8_t id);

#include "InverterWatch.h"

namespace {

// Whether the condition has held for the minutes on end by now; since keeps when it began, -1
// while it does not hold.
bool HeldFor(qint64& sinceMs, qint64 nowMs, bool condition, double minutes) {
    if (!condition) {
        sinceMs = -1;
        return false;
    }
    if (sinceMs < 0) {
        sinceMs = nowMs;
    }
    return nowMs - sinceMs >= qint64(minutes * 60000);
}

}  // namespace

TWatchChange TInverterWatch::Observe(qint64 nowMs, bool producing, bool siblingProducing,
                                     const TAlertConfig& alerts) {
    if (!Problem) {
        if (!HeldFor(SilentSinceMs, nowMs, !producing && siblingProducing, alerts.AfterMinutes)) {
            return TWatchChange::None;
        }
        Problem = true;
        SilentSinceMs = -1;
        ProducingSinceMs = -1;
        return TWatchChange::Started;
    }
    if (!HeldFor(ProducingSinceMs, nowMs, producing, alerts.ClearMinutes)) {
        return TWatchChange::None;
    }
    Problem = false;
    ProducingSinceMs = -1;
    return TWatchChange::Ended;
}

void TInverterWatch::Interrupt() {
    SilentSinceMs = -1;
    ProducingSinceMs = -1;
}

#include "InverterWatch.h"

namespace {

qint64 Milliseconds(double minutes) {
    return qint64(minutes * 60000);
}

}  // namespace

TWatchChange TInverterWatch::Observe(qint64 nowMs, bool producing, bool siblingProducing,
                                     const TAlertConfig& alerts) {
    if (!Problem) {
        if (producing || !siblingProducing) {
            SilentSinceMs = -1;
            return TWatchChange::None;
        }
        if (SilentSinceMs < 0) {
            SilentSinceMs = nowMs;
        }
        if (nowMs - SilentSinceMs < Milliseconds(alerts.AfterMinutes)) {
            return TWatchChange::None;
        }
        Problem = true;
        SilentSinceMs = -1;
        ProducingSinceMs = -1;
        return TWatchChange::Started;
    }
    if (!producing) {
        ProducingSinceMs = -1;
        return TWatchChange::None;
    }
    if (ProducingSinceMs < 0) {
        ProducingSinceMs = nowMs;
    }
    if (nowMs - ProducingSinceMs < Milliseconds(alerts.ClearMinutes)) {
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

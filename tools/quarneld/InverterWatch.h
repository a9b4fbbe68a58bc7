// The most common fault a plant owner misses for weeks: one inverter has stopped while the others
// of its box go on. An inverter counts as not producing once it has answered 0 W, or nothing,
// for after_minutes on end while another inverter of the box produced more than sibling_watts;
// it counts as producing again once it has produced for clear_minutes on end. At night, when
// no inverter produces, nothing is counted either way: a dark box says nothing about one
// inverter.
#pragma once

#include <QtGlobal>

#include "ServiceConfig.h"

enum class TWatchChange { None, Started, Ended };

struct TInverterWatch {
    bool Problem = false;
    qint64 SilentSinceMs = -1;     // since when it has not produced beside a producing sibling
    qint64 ProducingSinceMs = -1;  // since when it has produced again, while Problem

    // One live round of the box. producing: the inverter answered with more than 0 W;
    // siblingProducing: another inverter of the box answered with more than sibling_watts.
    TWatchChange Observe(qint64 nowMs, bool producing, bool siblingProducing,
                         const TAlertConfig& alerts);
    // The box's session has ended: what was being counted no longer runs on.
    void Interrupt();
};

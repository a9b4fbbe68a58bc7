// What quarneld publishes, as topics and payloads: its own status, each box's availability, the
// three states of every module, and the Home Assistant discovery configurations that describe
// them. Plain functions; the service decides when.
//
// Under the base topic (quarnel by default):
//   quarnel/status                           online / offline (the will), retained
//   quarnel/<serial>/status                  online / offline: the box's session, retained
//   quarnel/<serial>/<module>/power          W, a plain number, retained
//   quarnel/<serial>/<module>/energy_today   kWh
//   quarnel/<serial>/<module>/energy_total   kWh
//   quarnel/<serial>/<inverter>/problem      ON / OFF: the inverter is not producing, retained
// <module> is total, a, b or c, <inverter> a, b or c; <serial> is the box's serial number made
// safe for a topic.
// Discovery: <prefix>/sensor/quarnel_<serial>/<module>_<state>/config and
// <prefix>/binary_sensor/quarnel_<serial>/<inverter>_problem/config, retained.
#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

#include "ServiceConfig.h"

enum class TStateKind { Power, EnergyToday, EnergyTotal };

// What the service knows of a box once it has connected it.
struct TBoxIdentity {
    QString Serial;   // as the box gives it
    QString Name;     // from the box list
    QString Version;  // the firmware version the box gives, "2.03"
};

struct TMqttMessage {
    QString Topic;
    QByteArray Payload;
    bool Retain = true;
};

// The serial with every character outside A-Z a-z 0-9 _ - replaced by _; "unknown" when empty.
QString TopicId(const QString& serial);
// "total", "a", "b", "c" for the module types 128, 4, 8, 12; empty for another type.
QString ModuleSlug(int moduleType);
QString StateSlug(TStateKind kind);

QString ServiceStatusTopic(const TMqttConfig& mqtt);
QString BoxStatusTopic(const TMqttConfig& mqtt, const QString& serial);
// Empty for a module type ModuleSlug does not know, as DiscoveryTopic.
QString StateTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType, TStateKind kind);
// <prefix>/status, where Home Assistant announces online when it starts.
QString HomeAssistantStatusTopic(const TMqttConfig& mqtt);
QString DiscoveryTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType,
                       TStateKind kind);

// The three sensors of one module: retained configurations in full key names, with the box as
// device (identifiers: its serial; its name, else "Kest <serial>"), availability on the
// service's and the box's status topics (both must be online). The entity id is given twice:
// object_id for older versions of Home Assistant, default_entity_id ("sensor.<id>", which
// replaced it in 2025 and alone counts from 2026.4) for newer ones.
// None for an unknown module type.
std::vector<TMqttMessage> DiscoveryConfigs(const TMqttConfig& mqtt, const TBoxIdentity& box,
                                           int moduleType);
// The same topics with empty retained payloads: Home Assistant removes the entities.
std::vector<TMqttMessage> DiscoveryRemovals(const TMqttConfig& mqtt, const QString& serial,
                                            int moduleType);

// The problem sensor of an inverter (module types 4, 8, 12): a binary sensor of class problem
// on the same device and availability as the other sensors. The topics are empty, and the
// configuration has an empty topic, for another module type.
QString ProblemTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType);
QString ProblemDiscoveryTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType);
TMqttMessage ProblemDiscoveryConfig(const TMqttConfig& mqtt, const TBoxIdentity& box,
                                    int moduleType);
QByteArray ProblemPayload(bool problem);

// A state's payload: watts with one decimal, kWh with three, '.' as separator whatever the
// locale, no exponent, no "-0.0"; empty (nothing to publish) for NaN or infinity.
QByteArray StateValue(TStateKind kind, double value);

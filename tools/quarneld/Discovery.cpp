#include "Discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#ifndef QUARNEL_VERSION
#error "QUARNEL_VERSION is defined by tools/quarneld/CMakeLists.txt"
#endif

namespace {

constexpr TStateKind All_States[] = {TStateKind::Power, TStateKind::EnergyToday,
                                     TStateKind::EnergyTotal};

const char* const Online = "online";
const char* const Offline = "offline";

// How Home Assistant shows the module, before the state: "Total", "Inverter A".
QString ModuleName(int moduleType) {
    const QString slug = ModuleSlug(moduleType);
    return slug == QLatin1String("total") ? QStringLiteral("Total")
                                          : QStringLiteral("Inverter ") + slug.toUpper();
}

QString StateName(TStateKind kind) {
    switch (kind) {
        case TStateKind::Power:
            return QStringLiteral("power");
        case TStateKind::EnergyToday:
            return QStringLiteral("energy today");
        case TStateKind::EnergyTotal:
            return QStringLiteral("energy total");
    }
    return QString();
}

QString UniqueId(const QString& serial, int moduleType, TStateKind kind) {
    return QStringLiteral("quarnel_") + TopicId(serial) + "_" + ModuleSlug(moduleType) + "_" +
           StateSlug(kind);
}

// An entity id as Home Assistant accepts one: lower case letters, digits and single underscores
// between them.
QString EntitySlug(const QString& text) {
    QString out;
    bool gap = false;
    for (QChar c : text.toLower()) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
            (c >= QLatin1Char('0') && c <= QLatin1Char('9'))) {
            if (gap && !out.isEmpty()) {
                out += QLatin1Char('_');
            }
            out += c;
            gap = false;
        } else {
            gap = true;
        }
    }
    return out;
}

QJsonObject Availability(const QString& topic) {
    return QJsonObject{{QStringLiteral("topic"), topic},
                       {QStringLiteral("payload_available"), QLatin1String(Online)},
                       {QStringLiteral("payload_not_available"), QLatin1String(Offline)}};
}

QJsonObject Device(const TBoxIdentity& box) {
    const QString identifier = box.Serial.isEmpty() ? TopicId(box.Serial) : box.Serial;
    QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{identifier}},
        {QStringLiteral("name"),
         box.Name.isEmpty() ? QStringLiteral("Kest ") + identifier : box.Name},
        {QStringLiteral("model"), QStringLiteral("Kest")},
    };
    if (!box.Version.isEmpty()) {
        device.insert(QStringLiteral("sw_version"), box.Version);
    }
    if (!box.Serial.isEmpty()) {
        device.insert(QStringLiteral("serial_number"), box.Serial);
    }
    return device;
}

QJsonArray Availabilities(const TMqttConfig& mqtt, const QString& serial) {
    return QJsonArray{Availability(ServiceStatusTopic(mqtt)),
                      Availability(BoxStatusTopic(mqtt, serial))};
}

QJsonObject Origin() {
    return QJsonObject{{QStringLiteral("name"), QStringLiteral("quarneld")},
                       {QStringLiteral("sw_version"), QStringLiteral(QUARNEL_VERSION)}};
}

bool IsInverter(int moduleType) {
    return moduleType == 4 || moduleType == 8 || moduleType == 12;
}

}  // namespace

QString TopicId(const QString& serial) {
    if (serial.isEmpty()) {
        return QStringLiteral("unknown");
    }
    QString out;
    // Per character, not per UTF-16 unit: an emoji becomes one '_', not two.
    for (char32_t c : serial.toUcs4()) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '-';
        out += kept ? QChar(static_cast<char16_t>(c)) : QChar('_');
    }
    return out;
}

QString ModuleSlug(int moduleType) {
    switch (moduleType) {
        case 128:
            return QStringLiteral("total");
        case 4:
            return QStringLiteral("a");
        case 8:
            return QStringLiteral("b");
        case 12:
            return QStringLiteral("c");
        default:
            return QString();
    }
}

QString StateSlug(TStateKind kind) {
    switch (kind) {
        case TStateKind::Power:
            return QStringLiteral("power");
        case TStateKind::EnergyToday:
            return QStringLiteral("energy_today");
        case TStateKind::EnergyTotal:
            return QStringLiteral("energy_total");
    }
    return QString();
}

QString ServiceStatusTopic(const TMqttConfig& mqtt) {
    return mqtt.BaseTopic + QStringLiteral("/status");
}

QString BoxStatusTopic(const TMqttConfig& mqtt, const QString& serial) {
    return mqtt.BaseTopic + "/" + TopicId(serial) + QStringLiteral("/status");
}

QString StateTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType,
                   TStateKind kind) {
    const QString module = ModuleSlug(moduleType);
    if (module.isEmpty()) {
        return QString();
    }
    return mqtt.BaseTopic + "/" + TopicId(serial) + "/" + module + "/" + StateSlug(kind);
}

QString HomeAssistantStatusTopic(const TMqttConfig& mqtt) {
    return mqtt.DiscoveryPrefix + QStringLiteral("/status");
}

QString DiscoveryTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType,
                       TStateKind kind) {
    const QString module = ModuleSlug(moduleType);
    if (module.isEmpty()) {
        return QString();
    }
    return mqtt.DiscoveryPrefix + QStringLiteral("/sensor/quarnel_") + TopicId(serial) + "/" +
           module + "_" + StateSlug(kind) + QStringLiteral("/config");
}

std::vector<TMqttMessage> DiscoveryConfigs(const TMqttConfig& mqtt, const TBoxIdentity& box,
                                           int moduleType) {
    std::vector<TMqttMessage> messages;
    if (ModuleSlug(moduleType).isEmpty()) {
        return messages;
    }
    const QJsonObject device = Device(box);
    const QJsonArray availability = Availabilities(mqtt, box.Serial);
    const QJsonObject origin = Origin();
    for (const TStateKind kind : All_States) {
        const QString uniqueId = UniqueId(box.Serial, moduleType, kind);
        QJsonObject config{
            {QStringLiteral("name"), ModuleName(moduleType) + " " + StateName(kind)},
            {QStringLiteral("has_entity_name"), true},
            {QStringLiteral("unique_id"), uniqueId},
            // Older versions of Home Assistant take the entity id from object_id, newer ones
            // (2026.4 on ignore object_id) from default_entity_id, which must be a valid
            // entity id: lower case, single underscores.
            {QStringLiteral("object_id"), uniqueId},
            {QStringLiteral("default_entity_id"), QStringLiteral("sensor.") + EntitySlug(uniqueId)},
            {QStringLiteral("state_topic"), StateTopic(mqtt, box.Serial, moduleType, kind)},
            {QStringLiteral("availability"), availability},
            {QStringLiteral("availability_mode"), QStringLiteral("all")},
            {QStringLiteral("device"), device},
            {QStringLiteral("origin"), origin},
        };
        if (kind == TStateKind::Power) {
            config.insert(QStringLiteral("device_class"), QStringLiteral("power"));
            config.insert(QStringLiteral("state_class"), QStringLiteral("measurement"));
            config.insert(QStringLiteral("unit_of_measurement"), QStringLiteral("W"));
            config.insert(QStringLiteral("suggested_display_precision"), 0);
        } else {
            config.insert(QStringLiteral("device_class"), QStringLiteral("energy"));
            config.insert(QStringLiteral("state_class"), QStringLiteral("total_increasing"));
            config.insert(QStringLiteral("unit_of_measurement"), QStringLiteral("kWh"));
            config.insert(QStringLiteral("suggested_display_precision"),
                          kind == TStateKind::EnergyToday ? 2 : 1);
        }
        messages.push_back({DiscoveryTopic(mqtt, box.Serial, moduleType, kind),
                            QJsonDocument(config).toJson(QJsonDocument::Compact), true});
    }
    return messages;
}

std::vector<TMqttMessage> DiscoveryRemovals(const TMqttConfig& mqtt, const QString& serial,
                                            int moduleType) {
    std::vector<TMqttMessage> messages;
    if (ModuleSlug(moduleType).isEmpty()) {
        return messages;
    }
    for (const TStateKind kind : All_States) {
        messages.push_back({DiscoveryTopic(mqtt, serial, moduleType, kind), QByteArray(), true});
    }
    return messages;
}

QString ProblemTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType) {
    if (!IsInverter(moduleType)) {
        return QString();
    }
    return mqtt.BaseTopic + "/" + TopicId(serial) + "/" + ModuleSlug(moduleType) +
           QStringLiteral("/problem");
}

QString ProblemDiscoveryTopic(const TMqttConfig& mqtt, const QString& serial, int moduleType) {
    if (!IsInverter(moduleType)) {
        return QString();
    }
    return mqtt.DiscoveryPrefix + QStringLiteral("/binary_sensor/quarnel_") + TopicId(serial) +
           "/" + ModuleSlug(moduleType) + QStringLiteral("_problem/config");
}

TMqttMessage ProblemDiscoveryConfig(const TMqttConfig& mqtt, const TBoxIdentity& box,
                                    int moduleType) {
    if (!IsInverter(moduleType)) {
        return {};
    }
    const QString uniqueId = QStringLiteral("quarnel_") + TopicId(box.Serial) + "_" +
                             ModuleSlug(moduleType) + "_problem";
    const QJsonObject config{
        {QStringLiteral("name"), ModuleName(moduleType) + QStringLiteral(" not producing")},
        {QStringLiteral("has_entity_name"), true},
        {QStringLiteral("unique_id"), uniqueId},
        {QStringLiteral("object_id"), uniqueId},
        {QStringLiteral("default_entity_id"),
         QStringLiteral("binary_sensor.") + EntitySlug(uniqueId)},
        {QStringLiteral("state_topic"), ProblemTopic(mqtt, box.Serial, moduleType)},
        {QStringLiteral("payload_on"), QString::fromLatin1(ProblemPayload(true))},
        {QStringLiteral("payload_off"), QString::fromLatin1(ProblemPayload(false))},
        {QStringLiteral("device_class"), QStringLiteral("problem")},
        {QStringLiteral("availability"), Availabilities(mqtt, box.Serial)},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("device"), Device(box)},
        {QStringLiteral("origin"), Origin()},
    };
    return {ProblemDiscoveryTopic(mqtt, box.Serial, moduleType),
            QJsonDocument(config).toJson(QJsonDocument::Compact), true};
}

QByteArray ProblemPayload(bool problem) {
    return problem ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

QByteArray StateValue(TStateKind kind, double value) {
    if (!std::isfinite(value)) {
        return QByteArray();
    }
    QByteArray text = QByteArray::number(value, 'f', kind == TStateKind::Power ? 1 : 3);
    // -0.04 W rounds to "-0.0"; a sensor shows 0.
    if (text.startsWith('-') && text.count('0') == text.size() - 2) {
        text.remove(0, 1);
    }
    return text;
}

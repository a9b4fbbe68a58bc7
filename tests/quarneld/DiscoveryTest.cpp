// What quarneld publishes, read by a consumer that knows only Home Assistant's rules for MQTT
// discovery: the topic pattern, the JSON configuration of a sensor, its availability, its
// device, and which device class goes with which state class and unit. Unique ids stay unique
// across modules and boxes, no key is one of the abbreviations, the device is known by the
// box's serial, and a serial with characters a topic cannot carry still gives safe topics.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <clocale>
#include <cmath>
#include <optional>

#include "Discovery.h"

namespace {

const int kModules[] = {128, 4, 8, 12};
const TStateKind kKinds[] = {TStateKind::Power, TStateKind::EnergyToday, TStateKind::EnergyTotal};

// Home Assistant's abbreviations of the keys a sensor's configuration may hold, and of its
// device's and origin's keys: a configuration written in full names holds none of them.
const QStringList kAbbreviations =
    QStringLiteral(
        "avty avty_mode avty_t avty_tpl dev dev_cla e en ent_cat exp_aft frc_upd ic "
        "json_attr_t json_attr_tpl lrst_t lrst_val_tpl obj_id pl_avail pl_not_avail "
        "stat_cla stat_t sug_dsp_prc t uniq_id unit_of_meas val_tpl def_ent_id o cns "
        "cu ids mf mdl mdl_id sw hw sa sn url cmps p")
        .split(QLatin1Char(' '));

// Device classes of sensors with the units and state classes Home Assistant accepts for them.
bool UnitFits(const QString& deviceClass, const QString& unit) {
    if (deviceClass == "power") {
        return QStringList{"mW", "W", "kW", "MW", "GW", "TW"}.contains(unit);
    }
    if (deviceClass == "energy") {
        return QStringList{"J",   "kJ",  "MJ",  "GJ",  "mWh",  "Wh",   "kWh",
                           "MWh", "GWh", "TWh", "cal", "kcal", "Mcal", "Gcal"}
            .contains(unit);
    }
    return false;
}

bool StateClassFits(const QString& deviceClass, const QString& stateClass) {
    if (deviceClass == "energy") {
        return stateClass == "total" || stateClass == "total_increasing";
    }
    return QStringList{"measurement", "total", "total_increasing"}.contains(stateClass);
}

// A topic Home Assistant subscribes to or reads: not empty, no wildcard, no NUL, at most
// 65535 bytes.
bool ValidTopic(const QString& topic) {
    return !topic.isEmpty() && !topic.contains('+') && !topic.contains('#') &&
           !topic.contains(QChar(0)) && topic.toUtf8().size() <= 65535;
}

struct TEntity {
    QString Component;
    QString NodeId;
    QString ObjectId;
    QJsonObject Config;
};

// As Home Assistant reads one retained discovery message; nullopt, with the reason, when it
// would not create the entity.
std::optional<TEntity> Consume(const QString& prefix, const TMqttMessage& message,
                               std::string* why) {
    static const QRegularExpression matcher(
        QStringLiteral("^(?<component>\\w+)/(?:(?<node_id>[a-zA-Z0-9_-]+)/"
                       ")?(?<object_id>[a-zA-Z0-9_-]+)/config$"));
    if (!message.Topic.startsWith(prefix + "/")) {
        *why = "not under the discovery prefix";
        return std::nullopt;
    }
    const QRegularExpressionMatch match = matcher.match(message.Topic.mid(prefix.size() + 1));
    if (!match.hasMatch()) {
        *why = "the topic does not match <component>/[<node_id>/]<object_id>/config";
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(message.Payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *why = "the payload is no JSON object";
        return std::nullopt;
    }
    TEntity entity{match.captured("component"), match.captured("node_id"),
                   match.captured("object_id"), document.object()};
    const QJsonObject& config = entity.Config;
    if (entity.Component != "sensor") {
        *why = "not a sensor";
        return std::nullopt;
    }
    if (!config.value("state_topic").isString() ||
        !ValidTopic(config.value("state_topic").toString())) {
        *why = "a sensor needs a valid state_topic";
        return std::nullopt;
    }
    if (config.contains("availability")) {
        for (const QJsonValue& item : config.value("availability").toArray()) {
            if (!item.isObject() || !ValidTopic(item.toObject().value("topic").toString())) {
                *why = "an availability entry without a valid topic";
                return std::nullopt;
            }
        }
        const QString mode = config.value("availability_mode").toString("latest");
        if (!QStringList{"all", "any", "latest"}.contains(mode)) {
            *why = "an unknown availability_mode";
            return std::nullopt;
        }
    }
    if (config.contains("device")) {
        const QJsonObject device = config.value("device").toObject();
        const QJsonArray identifiers = device.value("identifiers").toArray();
        if (identifiers.isEmpty() && device.value("connections").toArray().isEmpty()) {
            *why = "a device needs identifiers or connections";
            return std::nullopt;
        }
        for (const QJsonValue& identifier : identifiers) {
            if (!identifier.isString()) {
                *why = "an identifier that is no string";
                return std::nullopt;
            }
        }
        if (!config.value("unique_id").isString()) {
            *why = "an entity of a device needs a unique_id";
            return std::nullopt;
        }
    }
    if (config.contains("origin") && !config.value("origin").toObject().value("name").isString()) {
        *why = "an origin needs a name";
        return std::nullopt;
    }
    const QString deviceClass = config.value("device_class").toString();
    if (config.contains("unit_of_measurement") &&
        !UnitFits(deviceClass, config.value("unit_of_measurement").toString())) {
        *why = "a unit that does not fit the device class";
        return std::nullopt;
    }
    if (config.contains("state_class") &&
        !StateClassFits(deviceClass, config.value("state_class").toString())) {
        *why = "a state class that does not fit the device class";
        return std::nullopt;
    }
    if (config.contains("suggested_display_precision")) {
        const QJsonValue precision = config.value("suggested_display_precision");
        if (!precision.isDouble() || precision.toDouble() != std::floor(precision.toDouble()) ||
            precision.toDouble() < 0) {
            *why = "suggested_display_precision must be a whole number";
            return std::nullopt;
        }
    }
    return entity;
}

// Every key of every object in the value, at any depth.
void CollectKeys(const QJsonValue& value, QStringList* keys) {
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            keys->append(it.key());
            CollectKeys(it.value(), keys);
        }
    } else if (value.isArray()) {
        for (const QJsonValue& item : value.toArray()) {
            CollectKeys(item, keys);
        }
    }
}

TMqttConfig Defaults() {
    return TMqttConfig();
}

const TBoxIdentity kRoof{"KEST-0042-7319", "Roof", "3.12"};

std::vector<TMqttMessage> AllConfigs(const TMqttConfig& mqtt, const TBoxIdentity& box) {
    std::vector<TMqttMessage> all;
    for (const int module : kModules) {
        const std::vector<TMqttMessage> configs = DiscoveryConfigs(mqtt, box, module);
        all.insert(all.end(), configs.begin(), configs.end());
    }
    return all;
}

TEST(DiscoveryTest, TheTopicsFollowTheLayout) {
    const TMqttConfig mqtt = Defaults();
    EXPECT_EQ(ServiceStatusTopic(mqtt), "quarnel/status");
    EXPECT_EQ(BoxStatusTopic(mqtt, kRoof.Serial), "quarnel/KEST-0042-7319/status");
    EXPECT_EQ(StateTopic(mqtt, kRoof.Serial, 128, TStateKind::Power),
              "quarnel/KEST-0042-7319/total/power");
    EXPECT_EQ(StateTopic(mqtt, kRoof.Serial, 4, TStateKind::Power),
              "quarnel/KEST-0042-7319/a/power");
    EXPECT_EQ(StateTopic(mqtt, kRoof.Serial, 8, TStateKind::EnergyToday),
              "quarnel/KEST-0042-7319/b/energy_today");
    EXPECT_EQ(StateTopic(mqtt, kRoof.Serial, 12, TStateKind::EnergyTotal),
              "quarnel/KEST-0042-7319/c/energy_total");
    EXPECT_EQ(HomeAssistantStatusTopic(mqtt), "homeassistant/status");
    EXPECT_EQ(DiscoveryTopic(mqtt, kRoof.Serial, 4, TStateKind::Power),
              "homeassistant/sensor/quarnel_KEST-0042-7319/a_power/config");
    EXPECT_EQ(DiscoveryTopic(mqtt, kRoof.Serial, 128, TStateKind::EnergyTotal),
              "homeassistant/sensor/quarnel_KEST-0042-7319/total_energy_total/config");

    TMqttConfig other;
    other.BaseTopic = "home/solar";
    other.DiscoveryPrefix = "ha";
    EXPECT_EQ(ServiceStatusTopic(other), "home/solar/status");
    EXPECT_EQ(StateTopic(other, kRoof.Serial, 12, TStateKind::Power),
              "home/solar/KEST-0042-7319/c/power");
    EXPECT_EQ(HomeAssistantStatusTopic(other), "ha/status");
    EXPECT_EQ(DiscoveryTopic(other, kRoof.Serial, 12, TStateKind::Power),
              "ha/sensor/quarnel_KEST-0042-7319/c_power/config");
}

TEST(DiscoveryTest, TheSlugs) {
    EXPECT_EQ(ModuleSlug(128), "total");
    EXPECT_EQ(ModuleSlug(4), "a");
    EXPECT_EQ(ModuleSlug(8), "b");
    EXPECT_EQ(ModuleSlug(12), "c");
    EXPECT_EQ(ModuleSlug(0), "");
    EXPECT_EQ(ModuleSlug(16), "");
    EXPECT_EQ(StateSlug(TStateKind::Power), "power");
    EXPECT_EQ(StateSlug(TStateKind::EnergyToday), "energy_today");
    EXPECT_EQ(StateSlug(TStateKind::EnergyTotal), "energy_total");
}

TEST(DiscoveryTest, HomeAssistantReadsEveryConfiguration) {
    const TMqttConfig mqtt = Defaults();
    const std::vector<TMqttMessage> configs = AllConfigs(mqtt, kRoof);
    ASSERT_EQ(configs.size(), 12u);
    size_t index = 0;
    for (const int module : kModules) {
        for (const TStateKind kind : kKinds) {
            const TMqttMessage& message = configs[index++];
            EXPECT_TRUE(message.Retain);
            EXPECT_EQ(message.Topic, DiscoveryTopic(mqtt, kRoof.Serial, module, kind));
            EXPECT_FALSE(message.Payload.contains('\n'));
            std::string why;
            const std::optional<TEntity> entity = Consume(mqtt.DiscoveryPrefix, message, &why);
            ASSERT_TRUE(entity) << message.Topic.toStdString() << ": " << why;
            EXPECT_EQ(entity->NodeId, "quarnel_KEST-0042-7319");
            EXPECT_EQ(entity->ObjectId, ModuleSlug(module) + "_" + StateSlug(kind));
            const QJsonObject& config = entity->Config;
            EXPECT_EQ(config["state_topic"].toString(),
                      StateTopic(mqtt, kRoof.Serial, module, kind));

            const QJsonArray availability = config["availability"].toArray();
            ASSERT_EQ(availability.size(), 2);
            EXPECT_EQ(availability[0]["topic"].toString(), "quarnel/status");
            EXPECT_EQ(availability[1]["topic"].toString(), "quarnel/KEST-0042-7319/status");
            for (const QJsonValue& item : availability) {
                EXPECT_EQ(item["payload_available"].toString(), "online");
                EXPECT_EQ(item["payload_not_available"].toString(), "offline");
            }
            EXPECT_EQ(config["availability_mode"].toString(), "all");

            const QJsonObject device = config["device"].toObject();
            EXPECT_EQ(device["identifiers"].toArray(), QJsonArray{"KEST-0042-7319"});
            EXPECT_EQ(device["name"].toString(), "Roof");
            EXPECT_EQ(device["model"].toString(), "Kest");
            EXPECT_EQ(device["sw_version"].toString(), "3.12");
            EXPECT_EQ(device["serial_number"].toString(), "KEST-0042-7319");
            const QJsonObject origin = config["origin"].toObject();
            EXPECT_EQ(origin["name"].toString(), "quarneld");
            EXPECT_EQ(origin["sw_version"].toString(), QUARNEL_VERSION);
            EXPECT_TRUE(config["has_entity_name"].toBool());
        }
    }
}

TEST(DiscoveryTest, EachStateIsTheRightKindOfSensor) {
    const TMqttConfig mqtt = Defaults();
    struct Row {
        int module;
        TStateKind kind;
        const char* name;
        const char* deviceClass;
        const char* stateClass;
        const char* unit;
        int precision;
    } rows[] = {
        {128, TStateKind::Power, "Total power", "power", "measurement", "W", 0},
        {128, TStateKind::EnergyToday, "Total energy today", "energy", "total_increasing", "kWh",
         2},
        {128, TStateKind::EnergyTotal, "Total energy total", "energy", "total_increasing", "kWh",
         1},
        {4, TStateKind::Power, "Inverter A power", "power", "measurement", "W", 0},
        {4, TStateKind::EnergyToday, "Inverter A energy today", "energy", "total_increasing", "kWh",
         2},
        {8, TStateKind::EnergyTotal, "Inverter B energy total", "energy", "total_increasing", "kWh",
         1},
        {12, TStateKind::Power, "Inverter C power", "power", "measurement", "W", 0},
    };
    for (const Row& row : rows) {
        QJsonObject config;
        for (const TMqttMessage& message : DiscoveryConfigs(mqtt, kRoof, row.module)) {
            if (message.Topic == DiscoveryTopic(mqtt, kRoof.Serial, row.module, row.kind)) {
                config = QJsonDocument::fromJson(message.Payload).object();
            }
        }
        ASSERT_FALSE(config.isEmpty()) << row.name;
        EXPECT_EQ(config["name"].toString(), row.name);
        EXPECT_EQ(config["device_class"].toString(), row.deviceClass) << row.name;
        EXPECT_EQ(config["state_class"].toString(), row.stateClass) << row.name;
        EXPECT_EQ(config["unit_of_measurement"].toString(), row.unit) << row.name;
        ASSERT_TRUE(config["suggested_display_precision"].isDouble()) << row.name;
        EXPECT_EQ(config["suggested_display_precision"].toInt(), row.precision) << row.name;
    }
}

TEST(DiscoveryTest, UniqueIdsAreUniqueAcrossModulesAndBoxes) {
    const TMqttConfig mqtt = Defaults();
    const TBoxIdentity shed{"KEST-0042-7320", "Shed", "3.12"};
    // The same box name twice: the serial tells the boxes apart.
    const TBoxIdentity twin{"KEST-0099-0001", "Roof", "2.01"};
    QSet<QString> uniqueIds;
    QSet<QString> entityIds;
    QSet<QString> topics;
    QSet<QString> stateTopics;
    static const QRegularExpression entityId(
        QStringLiteral("^(?!.+__)(?!_)[\\da-z_]+(?<!_)\\.(?!_)[\\da-z_]+(?<!_)$"));
    int count = 0;
    for (const TBoxIdentity& box : {kRoof, shed, twin}) {
        for (const TMqttMessage& message : AllConfigs(mqtt, box)) {
            ++count;
            const QJsonObject config = QJsonDocument::fromJson(message.Payload).object();
            const QString uniqueId = config["unique_id"].toString();
            EXPECT_TRUE(uniqueId.startsWith("quarnel_" + TopicId(box.Serial) + "_"));
            EXPECT_EQ(config["object_id"].toString(), uniqueId);
            const QString defaultEntityId = config["default_entity_id"].toString();
            EXPECT_TRUE(entityId.match(defaultEntityId).hasMatch())
                << defaultEntityId.toStdString();
            EXPECT_TRUE(defaultEntityId.startsWith("sensor.")) << defaultEntityId.toStdString();
            uniqueIds.insert(uniqueId);
            entityIds.insert(defaultEntityId);
            topics.insert(message.Topic);
            stateTopics.insert(config["state_topic"].toString());
        }
    }
    EXPECT_EQ(count, 36);
    EXPECT_EQ(uniqueIds.size(), 36);
    EXPECT_EQ(entityIds.size(), 36);
    EXPECT_EQ(topics.size(), 36);
    EXPECT_EQ(stateTopics.size(), 36);
    EXPECT_TRUE(uniqueIds.contains("quarnel_KEST-0042-7319_a_energy_today"));
    EXPECT_TRUE(entityIds.contains("sensor.quarnel_kest_0042_7319_a_energy_today"));
}

TEST(DiscoveryTest, NoKeyIsAnAbbreviation) {
    for (const TMqttMessage& message : AllConfigs(Defaults(), kRoof)) {
        QStringList keys;
        CollectKeys(QJsonDocument::fromJson(message.Payload).object(), &keys);
        ASSERT_FALSE(keys.isEmpty());
        for (const QString& key : keys) {
            EXPECT_FALSE(kAbbreviations.contains(key))
                << message.Topic.toStdString() << ": " << key.toStdString();
            // "~" would stand for a base topic in the other values.
            EXPECT_NE(key, "~");
        }
    }
}

TEST(DiscoveryTest, TheDeviceIsKnownByTheSerialAsTheBoxGivesIt) {
    const TMqttConfig mqtt = Defaults();
    const TBoxIdentity odd{"KEST/0042 #7+", "Garage", "1.0"};
    for (const TMqttMessage& message : AllConfigs(mqtt, odd)) {
        std::string why;
        const std::optional<TEntity> entity = Consume(mqtt.DiscoveryPrefix, message, &why);
        ASSERT_TRUE(entity) << message.Topic.toStdString() << ": " << why;
        const QJsonObject device = entity->Config["device"].toObject();
        EXPECT_EQ(device["identifiers"].toArray(), QJsonArray{"KEST/0042 #7+"});
        EXPECT_EQ(device["serial_number"].toString(), "KEST/0042 #7+");
        EXPECT_EQ(entity->NodeId, "quarnel_KEST_0042__7_");
    }
}

TEST(DiscoveryTest, ASerialBecomesASafeTopicLevel) {
    EXPECT_EQ(TopicId("KEST-0042-7319"), "KEST-0042-7319");
    EXPECT_EQ(TopicId("KEST/0042 #7+"), "KEST_0042__7_");
    EXPECT_EQ(TopicId("a/b+c#d e"), "a_b_c_d_e");
    EXPECT_EQ(TopicId(""), "unknown");
    EXPECT_EQ(TopicId(QString::fromUtf8("Zählerß")), "Z_hler_");
    EXPECT_EQ(TopicId(QString::fromUtf8("\xF0\x9F\x8C\x9E"
                                        "1")),
              "_1");  // one character
    EXPECT_EQ(TopicId(QStringLiteral("a\nb\x01\x7f"
                                     "c")),
              "a_b__c");

    const TMqttConfig mqtt = Defaults();
    for (const QString& serial : {QStringLiteral("KEST/0042 #7+"), QStringLiteral("/"),
                                  QStringLiteral("+"), QStringLiteral("#"), QStringLiteral("  "),
                                  QString(), QStringLiteral("$SYS"), QStringLiteral("a\nb")}) {
        const QString id = TopicId(serial);
        EXPECT_FALSE(id.isEmpty());
        EXPECT_TRUE(QRegularExpression("^[A-Za-z0-9_-]+$").match(id).hasMatch())
            << id.toStdString();
        for (const int module : kModules) {
            for (const TStateKind kind : kKinds) {
                const QString topic = StateTopic(mqtt, serial, module, kind);
                EXPECT_EQ(topic.split('/').size(), 4) << topic.toStdString();
                EXPECT_TRUE(ValidTopic(topic)) << topic.toStdString();
                EXPECT_FALSE(topic.contains(' '));
            }
        }
        EXPECT_EQ(BoxStatusTopic(mqtt, serial).split('/').size(), 3);
        std::string why;
        for (const TMqttMessage& message : AllConfigs(mqtt, {serial, "Box", "1.0"})) {
            EXPECT_TRUE(Consume(mqtt.DiscoveryPrefix, message, &why))
                << message.Topic.toStdString() << ": " << why;
        }
    }
}

TEST(DiscoveryTest, ABoxWithoutNameOrVersionStillHasADevice) {
    const TMqttConfig mqtt = Defaults();
    for (const TMqttMessage& message : DiscoveryConfigs(mqtt, {"KEST-1", "", ""}, 128)) {
        std::string why;
        const std::optional<TEntity> entity = Consume(mqtt.DiscoveryPrefix, message, &why);
        ASSERT_TRUE(entity) << why;
        const QJsonObject device = entity->Config["device"].toObject();
        EXPECT_EQ(device["name"].toString(), "Kest KEST-1");
        EXPECT_FALSE(device.contains("sw_version"));
    }
    for (const TMqttMessage& message : DiscoveryConfigs(mqtt, {"", "", ""}, 128)) {
        std::string why;
        const std::optional<TEntity> entity = Consume(mqtt.DiscoveryPrefix, message, &why);
        ASSERT_TRUE(entity) << why;
        EXPECT_EQ(entity->Config["device"].toObject()["identifiers"].toArray(),
                  QJsonArray{"unknown"});
    }
}

TEST(DiscoveryTest, AnUnknownModuleTypeHasNoTopics) {
    const TMqttConfig mqtt = Defaults();
    EXPECT_TRUE(DiscoveryConfigs(mqtt, kRoof, 16).empty());
    EXPECT_TRUE(DiscoveryRemovals(mqtt, kRoof.Serial, 0).empty());
    EXPECT_EQ(StateTopic(mqtt, kRoof.Serial, 16, TStateKind::Power), "");
    EXPECT_EQ(DiscoveryTopic(mqtt, kRoof.Serial, 16, TStateKind::Power), "");
}

TEST(DiscoveryTest, RemovalsEmptyTheSameTopics) {
    const TMqttConfig mqtt = Defaults();
    for (const int module : kModules) {
        const std::vector<TMqttMessage> configs = DiscoveryConfigs(mqtt, kRoof, module);
        const std::vector<TMqttMessage> removals = DiscoveryRemovals(mqtt, kRoof.Serial, module);
        ASSERT_EQ(removals.size(), configs.size());
        for (size_t i = 0; i < removals.size(); ++i) {
            EXPECT_EQ(removals[i].Topic, configs[i].Topic);
            EXPECT_TRUE(removals[i].Payload.isEmpty());
            EXPECT_TRUE(removals[i].Retain);
        }
    }
}

TEST(DiscoveryTest, StateValuesArePlainNumbers) {
    EXPECT_EQ(StateValue(TStateKind::Power, 1234.54), "1234.5");
    EXPECT_EQ(StateValue(TStateKind::Power, 1234.56), "1234.6");
    EXPECT_EQ(StateValue(TStateKind::Power, 0), "0.0");
    EXPECT_EQ(StateValue(TStateKind::Power, -0.0), "0.0");
    EXPECT_EQ(StateValue(TStateKind::Power, -0.04), "0.0");
    EXPECT_EQ(StateValue(TStateKind::Power, -12.5), "-12.5");
    EXPECT_EQ(StateValue(TStateKind::Power, 1e9), "1000000000.0");
    EXPECT_EQ(StateValue(TStateKind::EnergyToday, 12.3456), "12.346");
    EXPECT_EQ(StateValue(TStateKind::EnergyToday, 1e-7), "0.000");
    EXPECT_EQ(StateValue(TStateKind::EnergyTotal, -0.0004), "0.000");
    EXPECT_EQ(StateValue(TStateKind::EnergyTotal, 123456789.1234), "123456789.123");
    EXPECT_EQ(StateValue(TStateKind::EnergyTotal, 1e20), "100000000000000000000.000");
    EXPECT_EQ(StateValue(TStateKind::Power, std::nan("")), "");
    EXPECT_EQ(StateValue(TStateKind::EnergyTotal, INFINITY), "");
}

TEST(DiscoveryTest, StateValuesIgnoreTheLocale) {
    const QLocale old;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // where installed
    EXPECT_EQ(StateValue(TStateKind::Power, 1234.5), "1234.5");
    EXPECT_EQ(StateValue(TStateKind::EnergyToday, 1234.5), "1234.500");
    std::setlocale(LC_NUMERIC, saved.c_str());
    QLocale::setDefault(old);
}

}  // namespace

// What quarneld shows Prometheus on /metrics: the text exposition format of what the service
// holds, built without asking any box. Every series of a box carries the labels box (its name in
// the box list), serial (empty until the box has been connected once) and, for a module, module
// (total, A, B, C).
//
//   quarnel_power_watts                          gauge    the module's latest live power
//   quarnel_energy_today_joules                  gauge    today's energy (kWh x 3.6e6)
//   quarnel_energy_joules_total                  counter  the lifetime energy
//   quarnel_inverter_not_producing               gauge    1 while an inverter is not producing
//   quarnel_box_up                               gauge    1 while the box's session is up
//   quarnel_box_last_reading_timestamp_seconds   gauge    the last live power reply with a value
//   quarnel_box_request_failures_total           counter  by kind
//   quarnel_box_samples_stored_total             counter  history rows added or changed
//   quarnel_box_last_download_duration_seconds   gauge    the last history download's length
//   quarnel_service_start_time_seconds           gauge
//   quarnel_service_info{version}                gauge    always 1
//   quarnel_mqtt_connected                       gauge    only when a broker is configured
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

// The kinds of the failure counter, as its kind label reads them.
enum class TFailureKind {
    Connect,     // the box did not answer a connection attempt
    Login,       // the box refused the login
    NoAnswer,    // an inverter did not answer on the CAN bus
    ErrorReply,  // an inverter answered with an error
    LinkLost,    // the box stopped answering during a session
    Download,    // a history download ended without completing
};
constexpr size_t Failure_Kinds = 6;
const char* FailureKindName(TFailureKind kind);

struct TModuleMetrics {
    int Type = 0;  // 128, 4, 8, 12
    bool HasPower = false;
    double PowerW = 0;
    bool HasToday = false;
    double TodayKWh = 0;
    bool HasTotal = false;
    double TotalKWh = 0;
    bool NotProducing = false;
};

struct TBoxMetrics {
    QString Name;
    QString Serial;
    bool Up = false;
    qint64 LastReadingS = 0;  // seconds since 1970; 0: none yet
    std::array<uint64_t, Failure_Kinds> Failures = {};
    uint64_t SamplesStored = 0;
    double LastDownloadS = -1;            // below 0: no download has ended yet
    std::vector<TModuleMetrics> Modules;  // the present ones

    void Count(TFailureKind kind) { ++Failures[size_t(kind)]; }
};

struct TServiceMetrics {
    qint64 StartTimeS = 0;
    QString Version;
    bool MqttEnabled = false;
    bool MqttConnected = false;
    std::vector<TBoxMetrics> Boxes;
};

QByteArray MetricsText(const TServiceMetrics& metrics);

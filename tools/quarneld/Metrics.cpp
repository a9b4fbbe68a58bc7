#include "Metrics.h"

#include <QLocale>

namespace {

constexpr double Joules_Per_KWh = 3.6e6;

// A label value: backslash, double quote and line feed escaped.
QByteArray Escaped(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

QByteArray Number(double value) {
    return QByteArray::number(value, 'f', QLocale::FloatingPointShortest);
}

QByteArray ModuleLabel(int type) {
    switch (type) {
        case 4:
            return "A";
        case 8:
            return "B";
        case 12:
            return "C";
        default:
            return "total";
    }
}

class TWriter {
public:
    void Family(const char* name, const char* type, const char* help) {
        Text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void Sample(const char* name, const QByteArray& labels, double value) {
        Text += name;
        if (!labels.isEmpty()) {
            Text += '{' + labels + '}';
        }
        Text += ' ' + Number(value) + '\n';
    }

    QByteArray Text;
};

QByteArray BoxLabels(const TBoxMetrics& box) {
    return "box=\"" + Escaped(box.Name) + "\",serial=\"" + Escaped(box.Serial) + '"';
}

QByteArray ModuleLabels(const TBoxMetrics& box, const TModuleMetrics& module) {
    return BoxLabels(box) + ",module=\"" + ModuleLabel(module.Type) + '"';
}

// One family over every present module of every box, for the modules want() picks.
template <typename Want, typename Value>
void ModuleFamily(TWriter& out, const TServiceMetrics& metrics, const char* name, const char* type,
                  const char* help, Want want, Value value) {
    out.Family(name, type, help);
    for (const TBoxMetrics& box : metrics.Boxes) {
        for (const TModuleMetrics& module : box.Modules) {
            if (want(box, module)) {
                out.Sample(name, ModuleLabels(box, module), value(module));
            }
        }
    }
}

template <typename Value>
void BoxFamily(TWriter& out, const TServiceMetrics& metrics, const char* name, const char* type,
               const char* help, Value value) {
    out.Family(name, type, help);
    for (const TBoxMetrics& box : metrics.Boxes) {
        if (const double v = value(box); v >= 0) {
            out.Sample(name, BoxLabels(box), v);
        }
    }
}

}  // namespace

const char* FailureKindName(TFailureKind kind) {
    switch (kind) {
        case TFailureKind::Connect:
            return "connect";
        case TFailureKind::Login:
            return "login";
        case TFailureKind::NoAnswer:
            return "no_answer";
        case TFailureKind::ErrorReply:
            return "error_reply";
        case TFailureKind::LinkLost:
            return "link_lost";
        case TFailureKind::Download:
            return "download";
    }
    return "other";
}

QByteArray MetricsText(const TServiceMetrics& metrics) {
    TWriter out;
    ModuleFamily(
        out, metrics, "quarnel_power_watts", "gauge",
        "Latest live AC power of the module; the total is the sum of the box's inverters.",
        [](const TBoxMetrics& box, const TModuleMetrics& m) { return box.Up && m.HasPower; },
        [](const TModuleMetrics& m) { return m.PowerW; });
    ModuleFamily(
        out, metrics, "quarnel_energy_today_joules", "gauge",
        "Energy the module has produced today, from the stored day samples (kWh x 3.6e6).",
        [](const TBoxMetrics&, const TModuleMetrics& m) { return m.HasToday; },
        [](const TModuleMetrics& m) { return m.TodayKWh * Joules_Per_KWh; });
    ModuleFamily(
        out, metrics, "quarnel_energy_joules_total", "counter",
        "Energy the module has produced in its lifetime, from the stored year samples.",
        [](const TBoxMetrics&, const TModuleMetrics& m) { return m.HasTotal; },
        [](const TModuleMetrics& m) { return m.TotalKWh * Joules_Per_KWh; });
    ModuleFamily(
        out, metrics, "quarnel_inverter_not_producing", "gauge",
        "1 while the inverter answers 0 W or nothing and another inverter of its box produces.",
        [](const TBoxMetrics&, const TModuleMetrics& m) { return m.Type != 128; },
        [](const TModuleMetrics& m) { return m.NotProducing ? 1.0 : 0.0; });

    BoxFamily(out, metrics, "quarnel_box_up", "gauge", "1 while the session to the box is up.",
              [](const TBoxMetrics& box) { return box.Up ? 1.0 : 0.0; });
    BoxFamily(out, metrics, "quarnel_box_last_reading_timestamp_seconds", "gauge",
              "When the box last gave a live power value, in seconds since 1970.",
              [](const TBoxMetrics& box) { return box.LastReadingS > 0 ? box.LastReadingS : -1; });
    const char* const failures = "quarnel_box_request_failures_total";
    out.Family(failures, "counter", "Failed connection attempts and requests to the box, by kind.");
    for (const TBoxMetrics& box : metrics.Boxes) {
        for (size_t k = 0; k < Failure_Kinds; ++k) {
            out.Sample(failures,
                       BoxLabels(box) + ",kind=\"" + FailureKindName(TFailureKind(k)) + '"',
                       double(box.Failures[k]));
        }
    }
    BoxFamily(out, metrics, "quarnel_box_samples_stored_total", "counter",
              "History rows the service's downloads have added or changed.",
              [](const TBoxMetrics& box) { return double(box.SamplesStored); });
    BoxFamily(out, metrics, "quarnel_box_last_download_duration_seconds", "gauge",
              "How long the box's last history download took.",
              [](const TBoxMetrics& box) { return box.LastDownloadS; });

    out.Family("quarnel_service_start_time_seconds", "gauge",
               "When the service started, in seconds since 1970.");
    out.Sample("quarnel_service_start_time_seconds", {}, double(metrics.StartTimeS));
    out.Family("quarnel_service_info", "gauge", "The service's version; always 1.");
    out.Sample("quarnel_service_info", "version=\"" + Escaped(metrics.Version) + '"', 1);
    if (metrics.MqttEnabled) {
        out.Family("quarnel_mqtt_connected", "gauge",
                   "1 while the service is connected to its broker.");
        out.Sample("quarnel_mqtt_connected", {}, metrics.MqttConnected ? 1 : 0);
    }
    return out.Text;
}

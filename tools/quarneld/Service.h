// quarneld's work: a session to every on-line box of the user database, the live power of
// every present inverter, the incremental history download, and what goes to the broker.
//
// Everything runs on the main thread's event loop. Nothing here waits for a box: links are
// opened on threads of their own (TLinkOpener), and each box's requests go through its
// channel's worker. A box that does not answer therefore delays no other box.
#pragma once

#include <QElapsedTimer>
#include <QLockFile>
#include <QObject>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "Discovery.h"
#include "Energy.h"
#include "InverterWatch.h"
#include "LinkOpener.h"
#include "Metrics.h"
#include "ServiceConfig.h"
#include "dmUser.h"

class TAcquisition;
class TCANMessages;
class TConsole;
class TFetchRun;
class TKestSessions;
class TMqttLink;
class TNotifier;

// The pause before connecting a lost box again: 10 s, doubling up to 5 minutes.
constexpr int First_Retry_Pause_Ms = 10000;
constexpr int Last_Retry_Pause_Ms = 300000;
int NextRetryPause(int pauseMs);

enum class TBoxState { Waiting, Connecting, Online };

// One module of a box: the total (128) or an inverter (4, 8, 12).
struct TServiceModule {
    int Type = 0;
    int32_t ModuleId = 0;  // 0 when the database has no row for it
    bool Present = false;
    bool HasPower = false;
    double PowerW = 0;
    TPublishedEnergy Published;
    bool TotalHeldBack = false;  // a lower lifetime energy stayed back, and one line said so
    TInverterWatch Watch;        // inverters only
};

struct TServiceBox {
    TKestRow Row;
    TBoxState State = TBoxState::Waiting;
    qint64 NextAttemptMs = 0;
    int RetryPauseMs = 0;  // 0 until a connect has failed
    bool FailureShown = false;
    int OpeningHandle = -1;  // the link handle of the opening under way
    bool Identified = false;
    TBoxIdentity Identity;
    std::array<TServiceModule, 4> Modules;  // total, A, B, C
    std::set<uint8_t> PendingPower;         // inverters asked this round, not answered yet
    qint64 NextHistoryMs = 0;
    std::unique_ptr<TFetchRun> Run;
    // The counters and times the metrics show; the names, states and modules are filled in at
    // each scrape.
    TBoxMetrics Counters;

    TServiceModule* Module(int type);
    bool Present(int type) const;
};

class TService : public QObject {
    Q_OBJECT

public:
    // mqtt may be null: then nothing is published and the history is still kept. notifier may
    // be null: no desktop notifications.
    TService(const TServiceConfig& config, TUserData& userData, TKestSessions& sessions,
             TAcquisition& acquisition, TConsole& console, TMqttLink* mqtt, TNotifier* notifier,
             const QString& dataFolder, int requestDelayMs);
    ~TService() override;
    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    // Reads the box list and starts connecting, polling and downloading.
    void Start();
    // Cancels the downloads (what was stored stays) and ends every session.
    void Stop();

    const std::vector<std::unique_ptr<TServiceBox>>& Boxes() const { return ServiceBoxes; }
    // What a scrape shows, from what the service holds: no box is asked.
    TServiceMetrics Metrics() const;
    // A channel's worker has ended (bound to the service view).
    void ChannelEnded(TCANMessages* channel);

private:
    void ReadBoxList();
    void CheckBoxList();
    void ConnectDue();
    void Opened(int32_t kestId, uint8_t handle, const TLinkOpening& opening);
    // The box waits for its next attempt; an opening under way is left to end on its own.
    void Reconnect(TServiceBox& box);
    void PollPower();
    void PowerDecoded(TCANMessages* channel, uint8_t address);
    // A live round of the box has ended: every present inverter has answered or failed.
    void RoundEnded(TServiceBox& box);
    void WatchChanged(TServiceBox& box, TServiceModule& module, TWatchChange change);
    // The box's other present inverters that produce more than sibling_watts.
    std::vector<const TServiceModule*> ProducingSiblings(const TServiceBox& box,
                                                         const TServiceModule& module) const;
    void StartDueDownloads();
    void DownloadEnded(int32_t kestId);
    void LoseBox(TServiceBox& box, const QString& why);
    void DropBox(size_t index);
    bool LinkHandleFree(uint8_t handle) const;

    // Today's energy from the database, and with withLifetime the lifetime energy too.
    void PublishEnergies(TServiceBox& box, bool withLifetime);
    void PublishPower(TServiceBox& box, TServiceModule& module);
    void PublishProblem(TServiceBox& box, const TServiceModule& module);
    // Home Assistant removes the entity of an empty retained configuration.
    void RemoveProblemSensor(const TServiceBox& box, int moduleType);
    void Announce(TServiceBox& box);
    void AnnounceAll();
    // A state, retained: a restarted consumer has the last value at once.
    void PublishState(const QString& serial, int moduleType, TStateKind kind, double value);
    void Publish(const TMqttMessage& message, int qos);
    void Publish(const QString& topic, const QByteArray& payload, bool retain, int qos);
    void MqttConnected();
    void MqttDisconnected(const QString& reason);
    void MqttMessage(const QString& topic, const QByteArray& payload);

    TServiceBox* BoxOf(int32_t kestId);
    QString Name(const TServiceBox& box) const;
    void Line(const QString& text);

    TServiceConfig Config;
    TUserData& UserData;
    TKestSessions& Sessions;
    TAcquisition& Acquisition;
    TConsole& Console;
    TMqttLink* Mqtt;
    TNotifier* Notifier;
    QString DataFolder;
    int RequestDelayMs;

    std::vector<std::unique_ptr<TServiceBox>> ServiceBoxes;
    TLinkOpener Opener;
    QElapsedTimer Clock;
    qint64 StartTimeS = 0;
    QTimer ListTimer;
    QTimer ConnectTimer;
    QTimer LiveTimer;
    QTimer HistoryTimer;
    qint64 ListReadMs = 0;
    QString DataVersion;
    // Held while any of the service's downloads runs, as quarnel-fetch holds it for a run.
    std::unique_ptr<QLockFile> RunLock;
    bool LockRefusalShown = false;
    // The entries of [service] boxes that name no box of the database, each said once.
    QStringList UnknownBoxesShown;
    // Handles of openings whose box left the list meanwhile: taken until they come back.
    std::vector<int> Orphans;
    bool BrokerUp = false;
    bool Stopping = false;
};

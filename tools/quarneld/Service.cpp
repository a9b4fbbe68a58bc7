#include "Service.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

#include "Acquisition.h"
#include "CANMessages.h"
#include "ConsoleView.h"
#include "FetchOptions.h"
#include "FetchRun.h"
#include "MqttLink.h"
#include "Notifier.h"
#include "Sessions.h"

namespace {

constexpr int Module_Types[4] = {Module_Type_Total, Module_Type_A, Module_Type_B, Module_Type_C};
constexpr uint8_t Inverters[3] = {Addr_Inverter_A, Addr_Inverter_B, Addr_Inverter_C};
// The box list is read again when another program has changed the database, which the check
// every few seconds sees, and once a minute in any case.
constexpr int List_Check_Ms = 5000;
constexpr qint64 List_Read_Ms = 60000;
constexpr int Connect_Check_Ms = 1000;
constexpr int Link_Handles = 256;
constexpr int Retry_Opened_Ms = 20;
constexpr int History_Check_Ms = 5000;
// A lost database is tried again this often; the live power goes on meanwhile.
constexpr int Store_Retry_Ms = 5000;
// Planning a download reads the box's coverage from the database, a millisecond or two a box:
// a tick starts downloads for this long at most, and the next comes soon while more are due,
// so that a scrape or a live reading never waits behind a whole fleet's plans.
constexpr qint64 Download_Start_Budget_Ms = 10;
constexpr int Download_Backlog_Check_Ms = 50;
// quarnel-fetch holds the run lock: the boxes' downloads wait this long before trying again.
constexpr qint64 Lock_Retry_Ms = 60000;
// Another program holds a box's lock on the shared store: its downloads are incremental and
// usually short, so the box is tried again at the next few history ticks.
constexpr qint64 Box_Lock_Retry_Ms = 5000;
// The years first and the days next: they hold the two energies, which a box's first download
// thus publishes within seconds, not at the end of its ten-minute slots.
const std::vector<uint8_t> Download_Order = {Res_Year, Res_Day, Res_Month, Res_Ten_Minutes};

CanMessage PowerRequest(uint8_t inverter) {
    return MakeCanRequest(inverter, Obj_Actual_Power, Act_Read, 2, 0);
}

bool SameLink(const TKestRow& a, const TKestRow& b) {
    return a.Ip == b.Ip && a.Port == b.Port && a.UserName == b.UserName && a.Password == b.Password;
}

QString Kwh(double value) {
    return QString::number(value, 'f', 3) + QStringLiteral(" kWh");
}

QString ModuleName(int type) {
    switch (type) {
        case Module_Type_A:
            return QStringLiteral("inverter A");
        case Module_Type_B:
            return QStringLiteral("inverter B");
        case Module_Type_C:
            return QStringLiteral("inverter C");
        default:
            return QStringLiteral("total");
    }
}

}  // namespace

int NextRetryPause(int pauseMs) {
    return pauseMs <= 0 ? First_Retry_Pause_Ms : std::min(pauseMs * 2, Last_Retry_Pause_Ms);
}

TServiceModule* TServiceBox::Module(int type) {
    for (TServiceModule& module : Modules) {
        if (module.Type == type) {
            return &module;
        }
    }
    return nullptr;
}

bool TServiceBox::Present(int type) const {
    return std::any_of(Modules.begin(), Modules.end(),
                       [type](const TServiceModule& m) { return m.Type == type && m.Present; });
}

TService::TService(const TServiceConfig& config, TUserData& userData, TKestSessions& sessions,
                   TAcquisition& acquisition, TConsole& console, TMqttLink* mqtt,
                   TNotifier* notifier, const QString& dataFolder, int requestDelayMs)
    : Config(config),
      UserData(userData),
      Sessions(sessions),
      Acquisition(acquisition),
      Console(console),
      Mqtt(mqtt),
      Notifier(notifier),
      DataFolder(dataFolder),
      RequestDelayMs(requestDelayMs),
      Locks(userData) {
    ListTimer.setObjectName(QStringLiteral("ListTimer"));
    ConnectTimer.setObjectName(QStringLiteral("ConnectTimer"));
    LiveTimer.setObjectName(QStringLiteral("LiveTimer"));
    HistoryTimer.setObjectName(QStringLiteral("HistoryTimer"));
    ListTimer.setInterval(List_Check_Ms);
    ConnectTimer.setInterval(Connect_Check_Ms);
    LiveTimer.setInterval(Config.LiveIntervalS * 1000);
    LiveTimer.setTimerType(Qt::PreciseTimer);
    HistoryTimer.setInterval(History_Check_Ms);
    StoreTimer.setObjectName(QStringLiteral("StoreTimer"));
    StoreTimer.setInterval(Store_Retry_Ms);
    connect(&StoreTimer, &QTimer::timeout, this, &TService::TryStore);
    UserData.OnStoreLost = [this](const QString& reason) { StoreLost(reason); };
    // The box locks go with a lost connection, and whoever connects again first takes them.
    UserData.OnReconnected = [this] { TakeLocksAgain(); };
    connect(&ListTimer, &QTimer::timeout, this, &TService::CheckBoxList);
    connect(&ConnectTimer, &QTimer::timeout, this, &TService::ConnectDue);
    connect(&LiveTimer, &QTimer::timeout, this, &TService::PollPower);
    connect(&HistoryTimer, &QTimer::timeout, this, &TService::StartDueDownloads);
    Opener.OnOpened = [this](int32_t kestId, uint8_t handle, const TLinkOpening& opening) {
        Opened(kestId, handle, opening);
    };
    if (Mqtt != nullptr) {
        connect(Mqtt, &TMqttLink::Connected, this, &TService::MqttConnected);
        connect(Mqtt, &TMqttLink::Disconnected, this, &TService::MqttDisconnected);
        connect(Mqtt, &TMqttLink::MessageReceived, this, &TService::MqttMessage);
        Mqtt->Subscribe(HomeAssistantStatusTopic(Config.Mqtt));
    }
}

TService::~TService() {
    Stop();
    UserData.OnStoreLost = nullptr;
    UserData.OnReconnected = nullptr;
}

void TService::Start() {
    Clock.start();
    StartTimeS = QDateTime::currentSecsSinceEpoch();
    ReadBoxList();
    ListTimer.start();
    ConnectTimer.start();
    LiveTimer.start();
    HistoryTimer.start();
    ConnectDue();
}

void TService::Stop() {
    if (Stopping) {
        return;
    }
    Stopping = true;
    ListTimer.stop();
    ConnectTimer.stop();
    LiveTimer.stop();
    HistoryTimer.stop();
    StoreTimer.stop();
    Acquisition.CancelDownloads();
    for (const auto& box : ServiceBoxes) {
        EndRun(*box);
    }
    Sessions.StopAllChannels();
    RunLock.reset();
}

// The box list ------------------------------------------------------------------------------

void TService::StoreLost(const QString& reason) {
    // Possibly inside a channel's step: a line and a timer only.
    Line("The database " + UserData.DatabasePath + " cannot be reached: " + reason +
         "; trying again every " + QString::number(Store_Retry_Ms / 1000) + " s");
    if (!Stopping) {
        StoreTimer.start();
    }
}

void TService::TryStore() {
    if (Sessions.TearingDown()) {
        return;  // a session being freed runs the event loop; the next tick comes soon
    }
    QString error;
    if (!UserData.StoreLost()) {
        StoreTimer.stop();
        return;
    }
    if (!UserData.Reconnect(&error)) {
        return;
    }
    StoreTimer.stop();
    Line("The database " + UserData.DatabasePath +
         " is reachable again; the box list is read again and the downloads go on");
    ReadBoxList();
    for (const auto& box : ServiceBoxes) {
        PublishEnergies(*box, false);
    }
}

void TService::CheckBoxList() {
    // A session being freed runs the event loop: the next tick comes soon. A lost store is read
    // again once it is back.
    if (Sessions.TearingDown() || UserData.StoreLost()) {
        return;
    }
    QSqlQuery query(QSqlDatabase::database(UserData.ConnectionName(), false));
    // SQLite counts the commits of other connections; on PostgreSQL the rows themselves are the
    // mark, read in one short statement.
    QString version;
    if (query.exec(UserData.Store.IsPostgreSQL()
                       ? QStringLiteral("SELECT md5(COALESCE((SELECT string_agg(k::text, ',' "
                                        "ORDER BY kest_id) FROM kests k), '') || COALESCE(("
                                        "SELECT string_agg(m::text, ',' ORDER BY module_id) "
                                        "FROM modules m), ''))")
                       : QStringLiteral("PRAGMA data_version")) &&
        query.next()) {
        version = query.value(0).toString();
    } else if (!UserData.CheckConnection(query.lastError().text())) {
        return;  // the box list stays as it was until the store is back
    }
    if (version != DataVersion || Clock.elapsed() - ListReadMs >= List_Read_Ms) {
        DataVersion = version;
        ReadBoxList();
    }
}

void TService::ReadBoxList() {
    ListReadMs = Clock.elapsed();
    QSqlQuery query(QSqlDatabase::database(UserData.ConnectionName(), false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT kest_id, kest_name, kest_ip, kest_port, "
                                   "kest_username, kest_password, kest_online FROM kests "
                                   "ORDER BY kest_id"))) {
        if (!UserData.CheckConnection(query.lastError().text())) {
            return;
        }
        Line("The box list cannot be read from " + UserData.DatabasePath + ": " +
             query.lastError().text());
        return;
    }
    std::vector<TKestRow> rows;
    std::vector<bool> listed(Config.Boxes.size(), false);
    while (query.next()) {
        TKestRow row;
        row.Id = query.value(0).toInt();
        row.Name = query.value(1).toString();
        row.Ip = query.value(2).toString();
        row.Port = query.value(3).toInt();
        row.UserName = query.value(4).toString();
        row.Password = query.value(5).toString();
        row.Online = query.value(6).toInt() != 0;
        for (size_t i = 0; i < Config.Boxes.size(); ++i) {
            listed[i] = listed[i] || Config.Boxes[i].Matches(row.Id, row.Name);
        }
        // A replay file plays one box to one program at a time: not the service's to take.
        if (row.Online && !row.Ip.startsWith(QLatin1String(Replay_Prefix)) &&
            Config.Keeps(row.Id, row.Name)) {
            rows.push_back(row);
        }
    }
    for (size_t i = 0; i < Config.Boxes.size(); ++i) {
        const QString& entry = Config.Boxes[i].Text;
        const auto shown = std::find(UnknownBoxesShown.begin(), UnknownBoxesShown.end(), entry);
        if (listed[i] && shown != UnknownBoxesShown.end()) {
            UnknownBoxesShown.erase(shown);
        } else if (!listed[i] && shown == UnknownBoxesShown.end()) {
            UnknownBoxesShown.push_back(entry);
            Line("[service] boxes lists " + entry + ", which is no box of " +
                 UserData.DatabasePath + " (by name or id); it is left out until it is");
        }
    }
    const std::vector<TModuleRow> modules = UserData.AllModules();
    // Without the modules every one would look absent, and its sensors would be removed.
    if (UserData.StoreLost()) {
        return;
    }

    for (size_t i = ServiceBoxes.size(); i-- > 0;) {
        TServiceBox& box = *ServiceBoxes[i];
        const auto row = std::find_if(rows.begin(), rows.end(),
                                      [&box](const TKestRow& r) { return r.Id == box.Row.Id; });
        if (row == rows.end()) {
            DropBox(i);
        }
    }
    for (const TKestRow& row : rows) {
        TServiceBox* box = BoxOf(row.Id);
        if (box == nullptr) {
            ServiceBoxes.push_back(std::make_unique<TServiceBox>());
            box = ServiceBoxes.back().get();
            box->Row = row;
            for (size_t m = 0; m < 4; ++m) {
                box->Modules[m].Type = Module_Types[m];
            }
        }
        bool changed = false;
        if (!SameLink(box->Row, row) && box->State != TBoxState::Waiting) {
            Line(Name(*box) + ": its address or account has changed; connecting again");
            Reconnect(*box);
        }
        if (box->Row.Name != row.Name) {
            box->Identity.Name = row.Name;
            changed = true;
        }
        box->Row = row;
        for (TServiceModule& module : box->Modules) {
            const auto found = std::find_if(modules.begin(), modules.end(), [&](const auto& m) {
                return m.Kest == row.Id && m.Type == module.Type;
            });
            const bool present = found != modules.end() && found->IsPresent;
            changed = changed || present != module.Present;
            module.Present = present;
            module.ModuleId = found != modules.end() ? found->Id : 0;
        }
        if (changed && box->Identified) {
            Announce(*box);
        }
    }
}

void TService::Reconnect(TServiceBox& box) {
    EndRun(box);
    Sessions.CloseKest(box.Row.Id);
    if (box.OpeningHandle >= 0) {
        Orphans.push_back(box.OpeningHandle);
        box.OpeningHandle = -1;
    }
    box.State = TBoxState::Waiting;
    box.PendingPower.clear();
    for (TServiceModule& module : box.Modules) {
        module.Watch.Interrupt();
    }
    box.NextAttemptMs = 0;
    box.RetryPauseMs = 0;
    box.FailureShown = false;
}

void TService::DropBox(size_t index) {
    TServiceBox& box = *ServiceBoxes[index];
    Line(Name(box) + ": no longer an on-line box in the box list; its session ends");
    Reconnect(box);
    if (box.Identified) {
        Publish(BoxStatusTopic(Config.Mqtt, box.Identity.Serial), "offline", true, 1);
        for (const TServiceModule& module : box.Modules) {
            for (const TMqttMessage& m :
                 DiscoveryRemovals(Config.Mqtt, box.Identity.Serial, module.Type)) {
                Publish(m, 1);
            }
            RemoveProblemSensor(box, module.Type);
        }
    }
    // An opening still running comes back to a box that is no longer there: Opened frees it.
    ServiceBoxes.erase(ServiceBoxes.begin() + std::ptrdiff_t(index));
}

// Sessions ----------------------------------------------------------------------------------

bool TService::LinkHandleFree(uint8_t handle) const {
    if (Sessions.LinkHandleInUse(handle)) {
        return false;
    }
    return std::none_of(ServiceBoxes.begin(), ServiceBoxes.end(),
                        [handle](const auto& box) { return box->OpeningHandle == handle; }) &&
           std::find(Orphans.begin(), Orphans.end(), handle) == Orphans.end();
}

void TService::ConnectDue() {
    if (Sessions.TearingDown()) {
        return;  // a session being freed runs the event loop; the next tick comes soon
    }
    const qint64 now = Clock.elapsed();
    for (const auto& box : ServiceBoxes) {
        if (box->State != TBoxState::Waiting || now < box->NextAttemptMs) {
            continue;
        }
        int handle = 0;
        while (handle < Link_Handles && !LinkHandleFree(uint8_t(handle))) {
            ++handle;
        }
        if (handle == Link_Handles) {
            return;  // every link is in use; one comes free when a session ends
        }
        box->State = TBoxState::Connecting;
        box->OpeningHandle = handle;
        Opener.Open(box->Row.Id, uint8_t(handle), box->Row);
    }
}

void TService::Opened(int32_t kestId, uint8_t handle, const TLinkOpening& opening) {
    if (Sessions.TearingDown()) {
        // No session may start while another is being freed: a moment later.
        QTimer::singleShot(Retry_Opened_Ms, this,
                           [this, kestId, handle, opening] { Opened(kestId, handle, opening); });
        return;
    }
    TServiceBox* box = BoxOf(kestId);
    if (box == nullptr || box->State != TBoxState::Connecting || box->OpeningHandle != handle ||
        Stopping) {
        Orphans.erase(std::remove(Orphans.begin(), Orphans.end(), int(handle)), Orphans.end());
        if (opening.Handle >= 0) {
            Pc2Lan_Disconnect(opening.Handle);
            Pc2Lan_Delete(opening.Handle);
        }
        return;
    }
    box->OpeningHandle = -1;
    TCANMessages* channel = opening.Handle >= 0 ? Sessions.AdoptLink(kestId, opening) : nullptr;
    if (channel == nullptr) {
        if (opening.Handle >= 0) {
            Pc2Lan_Disconnect(opening.Handle);
            Pc2Lan_Delete(opening.Handle);
        }
        box->State = TBoxState::Waiting;
        box->RetryPauseMs = NextRetryPause(box->RetryPauseMs);
        box->NextAttemptMs = Clock.elapsed() + box->RetryPauseMs;
        box->Counters.Count(opening.Handle == Open_Login_Refused ? TFailureKind::Login
                                                                 : TFailureKind::Connect);
        if (!box->FailureShown) {
            box->FailureShown = true;
            const QString why =
                opening.Handle == Open_Login_Refused
                    ? QStringLiteral("the box refused the login of ") + box->Row.UserName
                    : "no answer at " + box->Row.Ip + ':' + QString::number(box->Row.Port);
            Line(Name(*box) + ": cannot connect (" + why +
                 "); trying again after a pause that grows from 10 s to 5 minutes");
        }
        return;
    }
    channel->RequestDelay = uint32_t(RequestDelayMs);
    channel->OnPower = [this](TCANMessages* sender, uint8_t address) {
        PowerDecoded(sender, address);
    };
    box->State = TBoxState::Online;
    box->RetryPauseMs = 0;
    box->FailureShown = false;
    box->PendingPower.clear();
    box->Identity.Serial = opening.Serial;
    box->Identity.Version = opening.Version;
    box->Identity.Name = box->Row.Name;
    box->Identified = true;
    box->NextHistoryMs = 0;
    Line(Name(*box) + ": connected (serial " + opening.Serial + ", software " + opening.Version +
         ")");
    Announce(*box);
    PublishEnergies(*box, true);
}

void TService::ChannelEnded(TCANMessages* channel) {
    if (TServiceBox* box = BoxOf(channel->KestId()); box != nullptr) {
        LoseBox(*box, QStringLiteral("its link has ended"));
    } else {
        Sessions.CloseKest(channel->KestId());
    }
}

void TService::LoseBox(TServiceBox& box, const QString& why) {
    EndRun(box);
    Sessions.CloseKest(box.Row.Id);
    box.State = TBoxState::Waiting;
    box.PendingPower.clear();
    box.RetryPauseMs = NextRetryPause(0);
    box.NextAttemptMs = Clock.elapsed() + box.RetryPauseMs;
    box.FailureShown = true;
    box.Counters.Count(TFailureKind::LinkLost);
    for (TServiceModule& module : box.Modules) {
        module.HasPower = false;
        module.Watch.Interrupt();
    }
    Line(Name(box) + ": lost (" + why + "); connecting again in " +
         QString::number(box.RetryPauseMs / 1000) + " s");
    if (box.Identified) {
        Publish(BoxStatusTopic(Config.Mqtt, box.Identity.Serial), "offline", true, 1);
    }
}

// Live power --------------------------------------------------------------------------------

void TService::PollPower() {
    if (Sessions.TearingDown()) {
        return;  // a session being freed runs the event loop; the next tick comes soon
    }
    for (size_t i = 0; i < ServiceBoxes.size(); ++i) {
        TServiceBox& box = *ServiceBoxes[i];
        if (box.State != TBoxState::Online) {
            continue;
        }
        TCANMessages* channel = Sessions.ChannelOfKest(box.Row.Id);
        if (channel == nullptr || channel->LinkError.load()) {
            LoseBox(box, QStringLiteral("the box stopped answering"));
            continue;
        }
        if (box.Run != nullptr) {
            PublishEnergies(box, false);
        }
        // A box still busy with the last round is not asked again: its requests would pile up.
        if (!box.PendingPower.empty()) {
            continue;
        }
        for (size_t m = 1; m < 4; ++m) {
            if (box.Modules[m].Present) {
                channel->Enqueue(PowerRequest(Inverters[m - 1]));
                box.PendingPower.insert(Inverters[m - 1]);
            }
        }
        if (box.PendingPower.empty() && box.Modules[0].Present) {
            box.Modules[0].HasPower = true;
            box.Modules[0].PowerW = 0;
            PublishPower(box, box.Modules[0]);
        }
    }
}

void TService::PowerDecoded(TCANMessages* channel, uint8_t address) {
    TServiceBox* box = BoxOf(channel->KestId());
    if (box == nullptr || box->State != TBoxState::Online) {
        return;
    }
    if (channel->LinkError.load()) {
        // Not an answer of the box but the link's failure: no 0 W goes out for it. The next
        // live tick ends the session; not from here, inside the channel's own step, nor from a
        // posted call: freeing a channel runs an event loop that must still deliver the
        // workers' posted steps, which it cannot while a posted call is being delivered.
        return;
    }
    if (TServiceModule* module = box->Module(address); module != nullptr && module->Present) {
        const uint16_t power = address == Addr_Inverter_A   ? channel->PowerA
                               : address == Addr_Inverter_B ? channel->PowerB
                                                            : channel->PowerC;
        module->HasPower = true;
        module->PowerW = double(power) / 10;
        if (channel->ReplyValid) {
            box->Counters.LastReadingS = QDateTime::currentSecsSinceEpoch();
        } else {
            box->Counters.Count(channel->ReplyResult == Can_Result_Timeout
                                    ? TFailureKind::NoAnswer
                                    : TFailureKind::ErrorReply);
        }
        PublishPower(*box, *module);
    }
    if (box->PendingPower.erase(address) == 1 && box->PendingPower.empty()) {
        RoundEnded(*box);
    }
}

void TService::RoundEnded(TServiceBox& box) {
    if (box.Modules[0].Present) {
        // The total is the sum of the present inverters, as the live view shows it.
        double total = 0;
        for (size_t m = 1; m < 4; ++m) {
            total += box.Modules[m].Present ? box.Modules[m].PowerW : 0;
        }
        box.Modules[0].HasPower = true;
        box.Modules[0].PowerW = total;
        PublishPower(box, box.Modules[0]);
    }
    // A reply without value left its inverter at 0 W: no answer counts as not producing.
    const qint64 now = Clock.elapsed();
    for (size_t m = 1; m < 4; ++m) {
        TServiceModule& module = box.Modules[m];
        if (!module.Present) {
            continue;
        }
        const bool siblingProducing = !ProducingSiblings(box, module).empty();
        WatchChanged(box, module,
                     module.Watch.Observe(now, module.PowerW > 0, siblingProducing, Config.Alerts));
    }
}

std::vector<const TServiceModule*> TService::ProducingSiblings(const TServiceBox& box,
                                                               const TServiceModule& module) const {
    std::vector<const TServiceModule*> siblings;
    for (size_t m = 1; m < 4; ++m) {
        const TServiceModule& other = box.Modules[m];
        if (&other != &module && other.Present && other.PowerW > Config.Alerts.SiblingWatts) {
            siblings.push_back(&other);
        }
    }
    return siblings;
}

void TService::WatchChanged(TServiceBox& box, TServiceModule& module, TWatchChange change) {
    if (change == TWatchChange::None) {
        return;
    }
    const double held =
        change == TWatchChange::Started ? Config.Alerts.AfterMinutes : Config.Alerts.ClearMinutes;
    const QString minutes = QString::number(held, 'g', 4) + QStringLiteral(" min");
    if (change == TWatchChange::Started) {
        QStringList producing;
        for (const TServiceModule* other : ProducingSiblings(box, module)) {
            producing << ModuleName(other->Type) + " at " + QString::number(other->PowerW, 'f', 0) +
                             " W";
        }
        Line(Name(box) + ", " + ModuleName(module.Type) + ": not producing (0 W or no answer for " +
             minutes + " while " + producing.join(QStringLiteral(" and ")) + ")");
    } else {
        Line(Name(box) + ", " + ModuleName(module.Type) + ": producing again (for " + minutes +
             ", now " + QString::number(module.PowerW, 'f', 0) + " W)");
    }
    PublishProblem(box, module);
    if (Notifier != nullptr) {
        if (change == TWatchChange::Started) {
            Notifier->NotProducing(Name(box), module.Type);
        } else {
            Notifier->ProducingAgain(Name(box), module.Type);
        }
    }
}

// History -----------------------------------------------------------------------------------

void TService::StartDueDownloads() {
    // As for the box list; the downloads due start once the store is back.
    if (Sessions.TearingDown() || UserData.StoreLost()) {
        return;
    }
    const qint64 now = Clock.elapsed();
    QElapsedTimer spent;
    spent.start();
    HistoryTimer.setInterval(History_Check_Ms);
    for (const auto& box : ServiceBoxes) {
        if (box->State != TBoxState::Online || box->Run != nullptr || now < box->NextHistoryMs) {
            continue;
        }
        if (spent.elapsed() >= Download_Start_Budget_Ms) {
            HistoryTimer.setInterval(Download_Backlog_Check_Ms);
            return;
        }
        if (Locks.Shared()) {
            if (!TakeBoxLock(*box, now)) {
                continue;
            }
        } else if (RunLock == nullptr) {
            auto lock =
                std::make_unique<QLockFile>(DataFolder + QStringLiteral("quarnel-fetch.lock"));
            lock->setStaleLockTime(0);  // only a lock whose process has gone is stale
            if (!lock->tryLock(0)) {
                qint64 pid = 0;
                QString host, application;
                lock->getLockInfo(&pid, &host, &application);
                if (!LockRefusalShown) {
                    LockRefusalShown = true;
                    Line("quarnel-fetch (process " + QString::number(pid) +
                         ") is downloading into " + UserData.DatabasePath +
                         "; the service's downloads wait for it");
                }
                for (const auto& waiting : ServiceBoxes) {
                    waiting->NextHistoryMs = std::max(waiting->NextHistoryMs, now + Lock_Retry_Ms);
                }
                return;
            }
            LockRefusalShown = false;
            RunLock = std::move(lock);
        }
        TFetchBox fetch;
        fetch.KestId = box->Row.Id;
        fetch.Name = box->Row.Name;
        fetch.Total = box->Present(Module_Type_Total);
        fetch.A = box->Present(Module_Type_A);
        fetch.B = box->Present(Module_Type_B);
        fetch.C = box->Present(Module_Type_C);
        for (uint8_t resolution : Download_Order) {
            TResolutionResult result;
            result.Resolution = resolution;
            fetch.Results.push_back(result);
        }
        box->NextHistoryMs = now + qint64(Config.HistoryIntervalMin) * 60000;
        box->Run = std::make_unique<TFetchRun>(UserData, Sessions, Acquisition, Console,
                                               std::vector<TFetchBox>{fetch}, RequestDelayMs);
        box->Run->ConnectBoxes = false;
        // The service connects the store again itself, and its downloads wait for it.
        box->Run->ReconnectStore = false;
        box->Run->StoreWaitMs = 0;
        const int32_t kestId = box->Row.Id;
        // Not inside the run's own poll: the run is freed once it has ended.
        box->Run->OnFinished = [this, kestId] {
            QTimer::singleShot(0, this, [this, kestId] { DownloadEnded(kestId); });
        };
        box->Run->OnResolutionEnded = [this, kestId](const TFetchBox& fetch) {
            // A lifetime summed over part of the years would count the rest as produced once
            // they arrive: it goes out only after a complete download of the years.
            const TResolutionResult& result = fetch.Results[fetch.Current];
            if (TServiceBox* b = BoxOf(kestId); b != nullptr) {
                PublishEnergies(
                    *b, result.Resolution == Res_Year && result.State == TFetchState::Complete);
            }
        };
        box->Run->Start();
    }
}

bool TService::TakeBoxLock(TServiceBox& box, qint64 now) {
    QString error;
    const TLockResult result = Locks.Take(box.Row.Id, &error);
    if (result == TLockResult::Taken) {
        if (box.LockWaitShown) {
            Line(Name(box) + ": the box lock is free; downloading");
        }
        box.LockWaitShown = false;
        return true;
    }
    box.NextHistoryMs = now + Box_Lock_Retry_Ms;
    if (!box.LockWaitShown) {
        box.LockWaitShown = true;
        if (result == TLockResult::Held) {
            const QString holder = Locks.Holder(box.Row.Id);
            Line(Name(box) + ": " +
                 (holder.isEmpty() ? QStringLiteral("another program") : holder) +
                 " is downloading it into " + UserData.DatabasePath +
                 "; its download waits until the box lock is free");
        } else {
            Line(Name(box) + ": the box lock cannot be asked for in " + UserData.DatabasePath +
                 " (" + error + "); its download waits");
        }
    }
    return false;
}

void TService::EndRun(TServiceBox& box) {
    box.Run.reset();
    Locks.Release(box.Row.Id);
}

void TService::TakeLocksAgain() {
    for (const int32_t kestId : Locks.TakeAgain()) {
        TServiceBox* box = BoxOf(kestId);
        if (box == nullptr || box->Run == nullptr) {
            continue;
        }
        // Another program has its lock now: this download stops, and the other one goes on.
        if (TCANMessages* channel = Sessions.ChannelOfKest(kestId); channel != nullptr) {
            channel->CancelHistory();
        }
        box->Run.reset();
        box->NextHistoryMs = Clock.elapsed() + Box_Lock_Retry_Ms;
        Line(Name(*box) + ": its box lock was lost with the connection to " +
             UserData.DatabasePath + " and another program holds it now; the download stops");
    }
}

void TService::DownloadEnded(int32_t kestId) {
    TServiceBox* box = BoxOf(kestId);
    if (box != nullptr && box->Run != nullptr && box->Run->Finished()) {
        const TFetchBox& fetch = box->Run->Boxes().front();
        int64_t written = 0;
        QStringList parts;
        for (const TResolutionResult& result : fetch.Results) {
            written += result.Written;
            parts << ResolutionText(result.Resolution) + ' ' + QString::number(result.Received);
        }
        const QString state = fetch.State == TFetchState::Complete ? QStringLiteral("complete")
                                                                   : QStringLiteral("failed");
        box->Counters.SamplesStored += uint64_t(std::max<int64_t>(written, 0));
        box->Counters.LastDownloadS = double(fetch.ElapsedMs) / 1000;
        if (fetch.State != TFetchState::Complete) {
            box->Counters.Count(TFailureKind::Download);
        }
        Line(Name(*box) + ": history download " + state + " in " +
             QString::number(double(fetch.ElapsedMs) / 1000, 'f', 1) + " s, samples " +
             parts.join(QStringLiteral(", ")) + "; " + QString::number(written) +
             " rows added or changed");
        EndRun(*box);
        PublishEnergies(*box, false);
    }
    if (std::none_of(ServiceBoxes.begin(), ServiceBoxes.end(),
                     [](const auto& b) { return b->Run != nullptr; })) {
        RunLock.reset();
    }
}

// Publishing --------------------------------------------------------------------------------

void TService::PublishEnergies(TServiceBox& box, bool withLifetime) {
    // What went out last stays retained at the broker until the store is back.
    if (!box.Identified || UserData.StoreLost()) {
        return;
    }
    const QSqlDatabase db = QSqlDatabase::database(UserData.ConnectionName(), false);
    for (TServiceModule& module : box.Modules) {
        if (!module.Present || module.ModuleId == 0) {
            continue;
        }
        TModuleEnergy energy;
        QString error;
        if (!ReadModuleEnergy(db, module.ModuleId, &energy, &error)) {
            if (!UserData.CheckConnection(error)) {
                return;
            }
            Line(Name(box) + ": the energies cannot be read from " + UserData.DatabasePath + ": " +
                 error);
            return;
        }
        TPublishedEnergy& published = module.Published;
        const QString& serial = box.Identity.Serial;
        if (TodayMayGoOut(published, energy) &&
            (!published.HasToday || published.TodayDate != energy.TodayDate ||
             published.TodayKWh != energy.TodayKWh)) {
            published.HasToday = true;
            published.TodayDate = energy.TodayDate;
            published.TodayKWh = energy.TodayKWh;
            PublishState(serial, module.Type, TStateKind::EnergyToday, published.TodayKWh);
        }
        if (!withLifetime) {
            continue;
        }
        if (TotalMayGoOut(published, energy)) {
            published.HasTotal = true;
            published.TotalKWh = energy.TotalKWh;
            module.TotalHeldBack = false;
            PublishState(serial, module.Type, TStateKind::EnergyTotal, published.TotalKWh);
        } else if (energy.HasTotal && !module.TotalHeldBack) {
            module.TotalHeldBack = true;
            Line(Name(box) + ", " + ModuleName(module.Type) + ": the lifetime energy of " +
                 Kwh(energy.TotalKWh) + " in the database is below the " + Kwh(published.TotalKWh) +
                 " published before (its year samples are incomplete); it stays at that");
        }
    }
}

void TService::PublishPower(TServiceBox& box, TServiceModule& module) {
    if (box.Identified && module.HasPower) {
        PublishState(box.Identity.Serial, module.Type, TStateKind::Power, module.PowerW);
    }
}

void TService::PublishProblem(TServiceBox& box, const TServiceModule& module) {
    if (box.Identified && module.Present) {
        Publish(ProblemTopic(Config.Mqtt, box.Identity.Serial, module.Type),
                ProblemPayload(module.Watch.Problem), true, 1);
    }
}

void TService::RemoveProblemSensor(const TServiceBox& box, int moduleType) {
    if (const QString topic = ProblemDiscoveryTopic(Config.Mqtt, box.Identity.Serial, moduleType);
        !topic.isEmpty()) {
        Publish(topic, QByteArray(), true, 1);
    }
}

void TService::Announce(TServiceBox& box) {
    if (!box.Identified || !BrokerUp) {
        return;
    }
    for (TServiceModule& module : box.Modules) {
        const std::vector<TMqttMessage> messages =
            module.Present ? DiscoveryConfigs(Config.Mqtt, box.Identity, module.Type)
                           : DiscoveryRemovals(Config.Mqtt, box.Identity.Serial, module.Type);
        for (const TMqttMessage& m : messages) {
            Publish(m, 1);
        }
        if (module.Type == Module_Type_Total) {
            continue;
        }
        if (module.Present) {
            Publish(ProblemDiscoveryConfig(Config.Mqtt, box.Identity, module.Type), 1);
            PublishProblem(box, module);
        } else {
            RemoveProblemSensor(box, module.Type);
        }
    }
    Publish(BoxStatusTopic(Config.Mqtt, box.Identity.Serial),
            box.State == TBoxState::Online ? "online" : "offline", true, 1);
}

void TService::AnnounceAll() {
    for (const auto& box : ServiceBoxes) {
        Announce(*box);
        if (!box->Identified) {
            continue;
        }
        const QString& serial = box->Identity.Serial;
        for (TServiceModule& module : box->Modules) {
            if (!module.Present) {
                continue;
            }
            if (box->State == TBoxState::Online) {
                PublishPower(*box, module);
            }
            if (module.Published.HasToday) {
                PublishState(serial, module.Type, TStateKind::EnergyToday,
                             module.Published.TodayKWh);
            }
            if (module.Published.HasTotal) {
                PublishState(serial, module.Type, TStateKind::EnergyTotal,
                             module.Published.TotalKWh);
            }
        }
    }
}

void TService::PublishState(const QString& serial, int moduleType, TStateKind kind, double value) {
    Publish(StateTopic(Config.Mqtt, serial, moduleType, kind), StateValue(kind, value), true, 0);
}

void TService::Publish(const TMqttMessage& message, int qos) {
    Publish(message.Topic, message.Payload, message.Retain, qos);
}

void TService::Publish(const QString& topic, const QByteArray& payload, bool retain, int qos) {
    if (Mqtt != nullptr && BrokerUp) {
        Mqtt->Publish(topic, payload, retain, qos);
    }
}

void TService::MqttConnected() {
    BrokerUp = true;
    Line("Broker " + Config.Mqtt.Host + ':' + QString::number(Config.Mqtt.Port) + " connected");
    AnnounceAll();
}

void TService::MqttDisconnected(const QString& reason) {
    if (BrokerUp) {
        Line("Broker " + Config.Mqtt.Host + ':' + QString::number(Config.Mqtt.Port) + " lost (" +
             reason + "); connecting again with a growing pause");
    }
    BrokerUp = false;
}

void TService::MqttMessage(const QString& topic, const QByteArray& payload) {
    // Home Assistant has started again and knows only the retained configurations.
    if (topic == HomeAssistantStatusTopic(Config.Mqtt) && payload == "online") {
        AnnounceAll();
    }
}

// Metrics -----------------------------------------------------------------------------------

TServiceMetrics TService::Metrics() const {
    TServiceMetrics metrics;
    metrics.StartTimeS = StartTimeS;
    metrics.Version = QStringLiteral(QUARNEL_VERSION);
    metrics.MqttEnabled = Mqtt != nullptr;
    metrics.MqttConnected = BrokerUp;
    metrics.Boxes.reserve(ServiceBoxes.size());
    for (const auto& box : ServiceBoxes) {
        TBoxMetrics out = box->Counters;
        out.Name = Name(*box);
        out.Serial = box->Identified ? box->Identity.Serial : QString();
        out.Up = box->State == TBoxState::Online;
        for (const TServiceModule& module : box->Modules) {
            if (!module.Present) {
                continue;
            }
            TModuleMetrics m;
            m.Type = module.Type;
            m.HasPower = module.HasPower;
            m.PowerW = module.PowerW;
            m.HasToday = module.Published.HasToday;
            m.TodayKWh = module.Published.TodayKWh;
            m.HasTotal = module.Published.HasTotal;
            m.TotalKWh = module.Published.TotalKWh;
            m.NotProducing = module.Watch.Problem;
            out.Modules.push_back(m);
        }
        metrics.Boxes.push_back(std::move(out));
    }
    return metrics;
}

// Helpers -----------------------------------------------------------------------------------

TServiceBox* TService::BoxOf(int32_t kestId) {
    for (const auto& box : ServiceBoxes) {
        if (box->Row.Id == kestId) {
            return box.get();
        }
    }
    return nullptr;
}

QString TService::Name(const TServiceBox& box) const {
    return box.Row.Name.isEmpty() ? "Box " + QString::number(box.Row.Id) : box.Row.Name;
}

void TService::Line(const QString& text) {
    Console.Problem(text);
}

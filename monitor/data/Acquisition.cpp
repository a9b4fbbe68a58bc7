#include "Acquisition.h"

#include <QSqlDatabase>
#include <algorithm>

#include "CANMessages.h"
#include "Coverage.h"
#include "DebugLog.h"
#include "MessageFrm.h"
#include "Sessions.h"
#include "dmUser.h"

namespace {

CanMessage PowerRequest(uint8_t inverter) {
    return MakeCanRequest(inverter, Obj_Actual_Power, Act_Read, 2, 0);
}

}  // namespace

const char* ModuleLabel(int32_t moduleType) {
    switch (moduleType) {
        case Module_Type_A:
            return "InverterALabel";
        case Module_Type_B:
            return "InverterBLabel";
        case Module_Type_C:
            return "InverterCLabel";
        case Module_Type_Total:
            return "TotalForKEST";
        default:
            return nullptr;
    }
}

TAcquisition::TAcquisition(TKestSessions& sessions, TUserData& userData)
    : Sessions(sessions), UserData(userData), Locks(userData) {
    Sessions.UncheckModules = [this](int32_t kestId) { UncheckKestModules(kestId); };
}

TAcquisition::~TAcquisition() {
    Sessions.UncheckModules = nullptr;
}

void TAcquisition::ScanACPower() {
    TMainView& view = Sessions.View();
    int checked = 0;
    // A failed connect unchecks items on the way, so every item is read afresh.
    for (int i = 0; i < view.CheckListCount(TModuleList::W); ++i) {
        const TCheckListItem item = view.CheckListItem(TModuleList::W, i);
        if (item.Checked) {
            RequestModulePower(item.ModuleId);
            ++checked;
        }
    }
    view.SetACPowerScanInterval(500 + 250 * checked);
}

void TAcquisition::RequestModulePower(int32_t moduleId) {
    TModuleRow module;
    if (!UserData.FindModule(moduleId, &module)) {
        return;
    }
    if (!Sessions.IsKestConnected(module.Kest)) {
        Sessions.ConnectKest(module.Kest);
    }
    TCANMessages* channel =
        Sessions.IsKestConnected(module.Kest) ? Sessions.ChannelOfKest(module.Kest) : nullptr;
    if (channel == nullptr || !Sessions.View().CurrentPerformanceVisible()) {
        return;
    }
    switch (module.Type) {
        case Module_Type_A:
        case Module_Type_B:
        case Module_Type_C:
            channel->Enqueue(PowerRequest(uint8_t(module.Type)));
            break;
        case Module_Type_Total:
            // The channel forms the total from the three inverters' replies.
            for (uint8_t inverter : {Addr_Inverter_A, Addr_Inverter_B, Addr_Inverter_C}) {
                channel->Enqueue(PowerRequest(inverter));
            }
            break;
        default:
            break;
    }
}

float TAcquisition::ModulePower(int32_t moduleId) {
    TModuleRow module;
    if (!UserData.FindModule(moduleId, &module) || !Sessions.IsKestConnected(module.Kest)) {
        return 0;
    }
    const TCANMessages* channel = Sessions.ChannelOfKest(module.Kest);
    switch (module.Type) {
        case Module_Type_Total:
            return float(channel->PowerTotal) / 10;
        case Module_Type_A:
            return float(channel->PowerA) / 10;
        case Module_Type_B:
            return float(channel->PowerB) / 10;
        case Module_Type_C:
            return float(channel->PowerC) / 10;
        default:
            return 0;
    }
}

void TAcquisition::StartHistoryDownload(uint8_t resolution) {
    DownloadRequests.clear();
    TMainView& view = Sessions.View();
    for (int i = 0; i < view.CheckListCount(TModuleList::KWh); ++i) {
        const TCheckListItem item = view.CheckListItem(TModuleList::KWh, i);
        if (item.Checked) {
            AddDownloadModule(item.ModuleId);
        }
    }
    ReleaseEndedDownloads();
    // A box that cannot be reached, or that another program downloads, does not stop the
    // others.
    const std::vector<TDownloadRequest> requests = DownloadRequests;
    QString lockError;
    for (const TDownloadRequest& r : requests) {
        QString error;
        switch (Locks.Take(r.KestId, &error)) {
            case TLockResult::Held:
                NotifyLocked(r.KestId);
                continue;
            case TLockResult::Failed:
                // Without its lock the box might be downloaded twice: it waits for the next
                // click, and the dialog gives the database's words once for all such boxes.
                lockError = error;
                continue;
            case TLockResult::Taken:
                break;
        }
        if (RequestHistory(r.KestId, resolution, r.Total, r.A, r.B, r.C) != 0) {
            Locks.Release(r.KestId);
        }
    }
    if (!lockError.isEmpty()) {
        Sessions.View().ShowError("The box locks cannot be asked for in " + UserData.DatabasePath +
                                  ": " + lockError);
    }
}

void TAcquisition::TakeLocksAgain() {
    for (const int32_t kestId : Locks.TakeAgain()) {
        if (TCANMessages* channel =
                Sessions.IsKestConnected(kestId) ? Sessions.ChannelOfKest(kestId) : nullptr;
            channel != nullptr && channel->Downloading) {
            channel->CancelHistory();
        }
        NotifyLocked(kestId);
    }
}

void TAcquisition::NotifyLocked(int32_t kestId) {
    const QString holder = Locks.Holder(kestId);
    Sessions.View().ShowNotification(Sessions.Messages().Text(QStringLiteral("DL_BoxLocked")) +
                                     ' ' + Sessions.KestName(kestId) +
                                     (holder.isEmpty() ? "." : " (" + holder + ")."));
}

void TAcquisition::ReleaseEndedDownloads() {
    const std::set<int32_t> held = Locks.Held();
    for (const int32_t kestId : held) {
        const TCANMessages* channel =
            Sessions.IsKestConnected(kestId) ? Sessions.ChannelOfKest(kestId) : nullptr;
        if (channel == nullptr || !channel->Downloading) {
            Locks.Release(kestId);
        }
    }
}

void TAcquisition::AddDownloadModule(int32_t moduleId) {
    TModuleRow module;
    if (!UserData.FindModule(moduleId, &module)) {
        return;
    }
    auto include = [&module](TDownloadRequest& request) {
        switch (module.Type) {
            case Module_Type_Total:
                request.Total = true;
                break;
            case Module_Type_A:
                request.A = true;
                break;
            case Module_Type_B:
                request.B = true;
                break;
            case Module_Type_C:
                request.C = true;
                break;
            default:
                break;
        }
    };
    bool matched = false;
    for (TDownloadRequest& request : DownloadRequests) {
        if (request.KestId == module.Kest) {
            include(request);
            matched = true;
        }
    }
    if (!matched && DownloadRequests.size() < size_t(Max_Download_Kests)) {
        TDownloadRequest request;
        request.KestId = module.Kest;
        include(request);
        DownloadRequests.push_back(request);
    }
}

int32_t TAcquisition::RequestHistory(int32_t kestId, uint8_t resolution, bool total, bool a, bool b,
                                     bool c, bool full) {
    if (UserData.StoreLost()) {
        return -1;
    }
    if (!Sessions.IsKestConnected(kestId)) {
        Sessions.ConnectKest(kestId);
    }
    if (!Sessions.IsKestConnected(kestId)) {
        return -1;
    }
    ShowDownloadProgress();
    TCANMessages* channel = Sessions.ChannelOfKest(kestId);
    std::vector<int32_t> types;
    for (const auto& [included, type] :
         {std::pair{total, Module_Type_Total}, std::pair{a, Module_Type_A},
          std::pair{b, Module_Type_B}, std::pair{c, Module_Type_C}}) {
        if (included) {
            types.push_back(type);
        }
    }
    std::vector<TModuleRanges> plan;
    QString error;
    if (!full) {
        // Another program may have read the open slots again since.
        UserData.Reach.ReloadOpenSlots();
        if (!PlanDownload(QSqlDatabase::database(UserData.ConnectionName(), false), kestId, types,
                          resolution, &plan, &error)) {
            // Without the store every sample of the whole history would be refused.
            if (!UserData.CheckConnection(error)) {
                return -1;
            }
            DebugLine(
                "RequestHistory: the whole history, as the database cannot tell what it "
                "lacks: " +
                error);
            full = true;
        }
    }
    if (full) {
        channel->StartHistory(total, a, b, c, resolution);
    } else {
        channel->StartHistoryRanges(resolution, std::move(plan));
    }
    return 0;
}

void TAcquisition::CancelDownloads() {
    for (const auto& channel : Sessions.Channels) {
        if (channel->Downloading) {
            channel->CancelHistory();
        }
    }
    ReleaseEndedDownloads();
}

void TAcquisition::EndFailedDownloads() {
    // The worker would re-send the lost link's request without end, and the download window
    // would wait for it for ever. The session ends with the lines of a lost link instead; what
    // was stored stays, and "Get data" connects the box afresh.
    for (;;) {
        const auto failed =
            std::find_if(Sessions.Channels.begin(), Sessions.Channels.end(),
                         [](const auto& c) { return c->Downloading && c->LinkError.load(); });
        if (failed == Sessions.Channels.end()) {
            return;
        }
        Sessions.DisconnectKest((*failed)->KestId());
    }
}

void TAcquisition::ShowDownloadProgress() {
    Sessions.View().ShowDownloadProgress();
}

void TAcquisition::BuildCheckList(TModuleList list) {
    const bool forW = list == TModuleList::W;
    (forW ? BuildingWList : BuildingKWhList) = true;
    TMainView& view = Sessions.View();
    view.ClearCheckList(list);
    for (const TModuleRow& module : UserData.AllModules()) {
        if (!module.IsPresent || !IsKestOnline(module.Kest)) {
            continue;
        }
        TCheckListItem item;
        item.Text = Sessions.KestName(module.Kest);
        if (const char* label = ModuleLabel(module.Type)) {
            item.Text += ' ' + Sessions.Messages().Text(QString::fromLatin1(label));
        }
        item.ModuleId = module.Id;
        item.Checked = forW ? module.IsCheckedW : module.IsCheckedKWh;
        view.AddCheckListItem(list, item);
    }
    (forW ? BuildingWList : BuildingKWhList) = false;
}

void TAcquisition::BuildWCheckList() {
    BuildCheckList(TModuleList::W);
}

void TAcquisition::BuildKWhCheckList() {
    BuildCheckList(TModuleList::KWh);
}

void TAcquisition::SetModuleCheckedW(int32_t moduleId, bool checked) {
    UserData.SetModuleChecked(moduleId, true, checked);
}

void TAcquisition::SetModuleCheckedKWh(int32_t moduleId, bool checked) {
    UserData.SetModuleChecked(moduleId, false, checked);
}

void TAcquisition::UncheckKestModules(int32_t kestId) {
    UncheckingModules = true;
    TMainView& view = Sessions.View();
    for (TModuleList list : {TModuleList::W, TModuleList::KWh}) {
        for (int i = 0; i < view.CheckListCount(list); ++i) {
            if (KestOfModule(view.CheckListItem(list, i).ModuleId) == kestId) {
                view.SetCheckListItemChecked(list, i, false);
            }
        }
    }
    UncheckingModules = false;
}

void TAcquisition::WListItemChanged(int32_t moduleId, bool checked) {
    if (!BuildingWList) {
        SetModuleCheckedW(moduleId, checked);
    }
}

void TAcquisition::KWhListItemChanged(int32_t moduleId, bool checked) {
    // The stored kWh marks survive a failed connect: the next history view ticks them again.
    if (!BuildingKWhList && !UncheckingModules) {
        SetModuleCheckedKWh(moduleId, checked);
    }
}

uint8_t TAcquisition::ModuleType(int32_t moduleId) {
    TModuleRow module;
    return UserData.FindModule(moduleId, &module) ? uint8_t(module.Type) : 0;
}

uint32_t TAcquisition::ModuleColor(int32_t moduleId) {
    TModuleRow module;
    if (!UserData.FindModule(moduleId, &module) || module.Color < 0 ||
        module.Color >= int(ModuleColours.size())) {
        return ModuleColours[0];
    }
    return ModuleColours[size_t(module.Color)];
}

uint8_t TAcquisition::ModulePattern(int32_t moduleId) {
    TModuleRow module;
    return UserData.FindModule(moduleId, &module) ? uint8_t(module.Pattern) : 1;
}

uint8_t TAcquisition::ModuleLineType(int32_t moduleId) {
    TModuleRow module;
    return UserData.FindModule(moduleId, &module) ? uint8_t(module.LineType) : 0;
}

int32_t TAcquisition::KestOfModule(int32_t moduleId) {
    TModuleRow module;
    return UserData.FindModule(moduleId, &module) ? module.Kest : 0;
}

bool TAcquisition::IsKestOnline(int32_t kestId) {
    TKestRow kest;
    return UserData.FindKest(kestId, &kest) && kest.Online;
}

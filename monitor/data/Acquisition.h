// Data acquisition: the live power scan of the modules ticked in the W list, the yield history
// download of those ticked in the kWh list, the two selection lists built from the user database,
// and the per-module lookups the charts use. Main thread only; the channels do the work on the
// wire.
#pragma once

#include <cstdint>
#include <vector>

#include "BoxLock.h"
#include "MainView.h"

class TKestSessions;
class TUserData;

// One box of a history download and the modules of it to fetch.
struct TDownloadRequest {
    int32_t KestId = 0;
    bool Total = false;
    bool A = false;
    bool B = false;
    bool C = false;
};

constexpr int Max_Download_Kests = 128;

// The message label whose text follows the box name to name a module of that type ("Total",
// "Inverter A" …); null for an unknown type.
const char* ModuleLabel(int32_t moduleType);
constexpr int AC_Power_Scan_Start_Interval = 2000;  // ms

class TAcquisition {
public:
    // Binds the sessions' connect-failure notification to UncheckKestModules.
    TAcquisition(TKestSessions& sessions, TUserData& userData);
    ~TAcquisition();
    TAcquisition(const TAcquisition&) = delete;
    TAcquisition& operator=(const TAcquisition&) = delete;

    void ScanACPower();
    void RequestModulePower(int32_t moduleId);
    float ModulePower(int32_t moduleId);

    // "Get data": the ticked modules' boxes, each under its box lock on a shared store. A box
    // whose lock another program holds is skipped, and the notification window says so.
    void StartHistoryDownload(uint8_t resolution);
    void AddDownloadModule(int32_t moduleId);
    // Asks the box only for what the database lacks or what may still change, unless full: then
    // for the whole history it holds. -1 when the box cannot be reached or the store is lost.
    int32_t RequestHistory(int32_t kestId, uint8_t resolution, bool total, bool a, bool b, bool c,
                           bool full = false);
    void CancelDownloads();
    // Frees the box lock of every box whose "Get data" download has ended (the download
    // window's timer calls it).
    void ReleaseEndedDownloads();
    // The connection to the database was made again: the box locks of "Get data" are taken
    // again, and a box whose lock another program took meanwhile has its download cancelled,
    // with the notification of a box left out.
    void TakeLocksAgain();
    // Ends the session of every box whose download has lost its link.
    void EndFailedDownloads();
    void ShowDownloadProgress();

    void BuildWCheckList();
    void BuildKWhCheckList();
    void SetModuleCheckedW(int32_t moduleId, bool checked);
    void SetModuleCheckedKWh(int32_t moduleId, bool checked);
    void UncheckKestModules(int32_t kestId);

    // What the lists' state-change handlers store: nothing while the guard flags say the change
    // is the program's own.
    void WListItemChanged(int32_t moduleId, bool checked);
    void KWhListItemChanged(int32_t moduleId, bool checked);

    uint8_t ModuleType(int32_t moduleId);
    uint32_t ModuleColor(int32_t moduleId);  // 0xAARRGGBB
    uint8_t ModulePattern(int32_t moduleId);
    uint8_t ModuleLineType(int32_t moduleId);
    int32_t KestOfModule(int32_t moduleId);
    bool IsKestOnline(int32_t kestId);

    std::vector<TDownloadRequest> DownloadRequests;
    bool BuildingWList = false;
    bool BuildingKWhList = false;
    bool UncheckingModules = false;

private:
    void BuildCheckList(TModuleList list);
    // The notification of a box "Get data" leaves out, naming the program that holds it.
    void NotifyLocked(int32_t kestId);

    TKestSessions& Sessions;
    TUserData& UserData;
    // The boxes "Get data" downloads; the programs that call RequestHistory themselves take
    // their own.
    TBoxLocks Locks;
};

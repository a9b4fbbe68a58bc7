// The window interface for the service: what the session, acquisition and database code would
// show in windows becomes a line on standard error, which the journal keeps.
#pragma once

#include <functional>
#include <vector>

#include "ConsoleView.h"
#include "MainView.h"

class TServiceView : public TMainView {
public:
    explicit TServiceView(TConsole& console) : Console(console) {}

    void ShowError(const QString& text) override;
    void RequestQuit() override { QuitRequested = true; }
    void UpdateViewState() override {}
    void SetInputEnabled(bool) override {}
    void ShowWait(const QString&) override {}
    void CloseWait() override {}
    void ShowNotification(const QString& text) override { Console.Problem(text); }
    void ShowDownloadProgress() override {}
    bool CurrentPerformanceVisible() const override { return true; }
    int KeepAliveInterval() const override { return KeepAlive; }
    void SetKeepAliveInterval(int ms) override { KeepAlive = ms; }
    void SetACPowerScanInterval(int) override {}
    void ClearCheckList(TModuleList) override {}
    void AddCheckListItem(TModuleList, const TCheckListItem&) override {}
    int CheckListCount(TModuleList) const override { return 0; }
    TCheckListItem CheckListItem(TModuleList, int) const override { return {}; }
    void SetCheckListItemChecked(TModuleList, int, bool) override {}
    void DeselectDisconnect(TCANMessages* channel) override;

    bool QuitRequested = false;
    // A channel's worker has ended: the service ends the box's session.
    std::function<void(TCANMessages*)> OnChannelEnded;

private:
    TConsole& Console;
    int KeepAlive = 0;
};

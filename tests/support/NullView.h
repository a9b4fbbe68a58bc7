// A main window without windows, for programs that drive the data module on their own (the
// benchmarks, the fuzzers, tests): errors and a quit request are kept, the selection lists hold
// their items in memory, and every other request is ignored.
#pragma once

#include <QStringList>
#include <vector>

#include "monitor/data/MainView.h"

class TNullView : public TMainView {
public:
    void ShowError(const QString& text) override;
    void RequestQuit() override;
    void UpdateViewState() override {}
    void SetInputEnabled(bool) override {}
    void ShowWait(const QString&) override {}
    void CloseWait() override {}
    void ShowNotification(const QString&) override {}
    void ShowDownloadProgress() override {}
    bool CurrentPerformanceVisible() const override { return false; }
    int KeepAliveInterval() const override { return 0; }
    void SetKeepAliveInterval(int) override {}
    void SetACPowerScanInterval(int) override {}
    void ClearCheckList(TModuleList list) override;
    void AddCheckListItem(TModuleList list, const TCheckListItem& item) override;
    int CheckListCount(TModuleList list) const override;
    TCheckListItem CheckListItem(TModuleList list, int index) const override;
    void SetCheckListItemChecked(TModuleList list, int index, bool checked) override;
    void DeselectDisconnect(TCANMessages*) override {}

    // Nothing went wrong: no error shown and no quit requested.
    bool Quiet() const { return Errors.isEmpty() && !QuitRequested; }

    QStringList Errors;
    bool QuitRequested = false;
    std::vector<TCheckListItem> W;
    std::vector<TCheckListItem> KWh;

private:
    std::vector<TCheckListItem>& Items(TModuleList list) {
        return list == TModuleList::W ? W : KWh;
    }
    const std::vector<TCheckListItem>& Items(TModuleList list) const {
        return list == TModuleList::W ? W : KWh;
    }
};

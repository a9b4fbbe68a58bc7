// What the session, acquisition and database code needs of the main window and the small windows
// it owns: the error dialog, the wait and notification windows, the download progress window,
// the two module selection lists, the keep-alive and scan timers and the window's enabled state.
// The main window implements it; the tests use a recording implementation.
#pragma once

#include <QString>
#include <cstdint>

class TCANMessages;

// The live power (W) and the history (kWh) module selection lists.
enum class TModuleList { W, KWh };

struct TCheckListItem {
    QString Text;
    int32_t ModuleId = 0;
    bool Checked = false;
};

class TMainView {
public:
    virtual ~TMainView() = default;

    // A modal error dialog with one OK button.
    virtual void ShowError(const QString& text) = 0;
    // The program ends once start-up has returned to the event loop.
    virtual void RequestQuit() = 0;
    // Shows or hides the panels that depend on the box list (none left: no module panel).
    virtual void UpdateViewState() = 0;
    // The main window takes no input while a box is being connected.
    virtual void SetInputEnabled(bool enabled) = 0;

    // The wait window: the text into its label, shown, focused and painted at once.
    virtual void ShowWait(const QString& text) = 0;
    virtual void CloseWait() = 0;
    // One new line in the notification window's list; the window is centred on the main window,
    // shown and focused unless it is already showing with the focus.
    virtual void ShowNotification(const QString& text) = 0;
    // Shows and focuses the download progress window unless it is showing or has the focus.
    virtual void ShowDownloadProgress() = 0;

    // Set while the current performance view is shown.
    virtual bool CurrentPerformanceVisible() const = 0;
    // The keep-alive timer's interval in ms; 0 means the timer is stopped.
    virtual int KeepAliveInterval() const = 0;
    virtual void SetKeepAliveInterval(int ms) = 0;
    virtual void SetACPowerScanInterval(int ms) = 0;

    // The selection lists. Changing a checked state runs the list's state-change handler, as a
    // click would.
    virtual void ClearCheckList(TModuleList list) = 0;
    virtual void AddCheckListItem(TModuleList list, const TCheckListItem& item) = 0;
    virtual int CheckListCount(TModuleList list) const = 0;
    virtual TCheckListItem CheckListItem(TModuleList list, int index) const = 0;
    virtual void SetCheckListItemChecked(TModuleList list, int index, bool checked) = 0;

    // A channel's worker has ended: the box's modules are unchecked and its session removed.
    virtual void DeselectDisconnect(TCANMessages* channel) = 0;
};

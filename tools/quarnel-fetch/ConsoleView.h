// The console face of quarnel-fetch: what the session and download code would show in windows
// goes to standard output and standard error instead.
#pragma once

#include <QStringList>
#include <vector>

#include "MainView.h"

class TKestSessions;

// Standard output and standard error. On a terminal the progress is a block of lines that is
// rewritten in place; anything else gets plain lines, for logs.
class TConsole {
public:
    TConsole(bool terminal, bool quiet);

    bool Terminal() const { return IsTerminal; }
    bool Quiet() const { return IsQuiet; }
    // Replaces the progress block shown last, which had as many lines (terminal only; nothing
    // when quiet).
    void ShowProgress(const QStringList& lines);
    // A plain line on standard output.
    void Line(const QString& text);
    // A line on standard error. A progress block shown before stays above it as it was.
    void Problem(const QString& text);

private:
    bool IsTerminal;
    bool IsQuiet;
    int ShownLines = 0;
};

// The window interface without windows: errors and notifications become lines on standard
// error, the selection lists are plain lists, and a channel whose worker has ended is
// disconnected as the main window does it.
class TConsoleView : public TMainView {
public:
    explicit TConsoleView(TConsole& console) : Console(console) {}

    void ShowError(const QString& text) override;
    void RequestQuit() override { QuitRequested = true; }
    void UpdateViewState() override {}
    void SetInputEnabled(bool) override {}
    void ShowWait(const QString&) override {}
    void CloseWait() override {}
    void ShowNotification(const QString& text) override;
    void ShowDownloadProgress() override {}
    bool CurrentPerformanceVisible() const override { return false; }
    int KeepAliveInterval() const override { return KeepAlive; }
    void SetKeepAliveInterval(int ms) override { KeepAlive = ms; }
    void SetACPowerScanInterval(int) override {}
    void ClearCheckList(TModuleList list) override { Items(list).clear(); }
    void AddCheckListItem(TModuleList list, const TCheckListItem& item) override;
    int CheckListCount(TModuleList list) const override;
    TCheckListItem CheckListItem(TModuleList list, int index) const override;
    void SetCheckListItemChecked(TModuleList list, int index, bool checked) override;
    void DeselectDisconnect(TCANMessages* channel) override;

    TKestSessions* Sessions = nullptr;
    bool QuitRequested = false;
    // Every error shown, for the exit code.
    QStringList Errors;

private:
    std::vector<TCheckListItem>& Items(TModuleList list) {
        return list == TModuleList::W ? W : KWh;
    }
    const std::vector<TCheckListItem>& Items(TModuleList list) const {
        return list == TModuleList::W ? W : KWh;
    }

    TConsole& Console;
    int KeepAlive = 0;
    std::vector<TCheckListItem> W;
    std::vector<TCheckListItem> KWh;
};

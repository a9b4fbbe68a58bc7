// The program's entry: one instance per program file, the application title, the windows created
// hidden in their order, the event loop, and the exit in its order.
#pragma once

#include <memory>

#include "MessageFrm.h"

class TAboutForm;
class TDownloadForm;
class TExportForm;
class TMainForm;
class TNotificationForm;
class TWaitForm;

// The program's windows, created hidden in the order the program needs them: the main window
// first, then About, wait, download progress, the message texts and notification.
class TQuarnelWindows {
public:
    TQuarnelWindows();
    ~TQuarnelWindows();  // the small windows first, then the main window's destroy handler
    TQuarnelWindows(const TQuarnelWindows&) = delete;
    TQuarnelWindows& operator=(const TQuarnelWindows&) = delete;

    TMsgForm MsgForm;
    std::unique_ptr<TMainForm> MainForm;
    std::unique_ptr<TAboutForm> AboutForm;
    std::unique_ptr<TWaitForm> WaitForm;
    std::unique_ptr<TDownloadForm> DownloadForm;
    std::unique_ptr<TNotificationForm> NotificationForm;
    std::unique_ptr<TExportForm> ExportForm;
};

constexpr const char* Application_Title = "Tarnwell Connect User";

int QuarnelMain(int argc, char** argv);

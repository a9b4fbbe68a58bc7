#include "Quarnel.h"

#include <QApplication>
#include <QStyleFactory>
#include <QTimer>

#include "CheckPrevious.h"
#include "DebugLog.h"
#include "DownloadFrm.h"
#include "ExportFrm.h"
#include "Look.h"
#include "NotificationFrm.h"
#include "WaitFrm.h"
#include "dmLanguage.h"
#include "frmAbout.h"
#include "frmMain.h"

TQuarnelWindows::TQuarnelWindows() {
    InitPictures();
    // The main window's creation handler opens the databases and must not use the message
    // texts; the texts are a plain table here and exist before any window, but they are
    // translated in their place in the order, after the download window.
    MainForm = std::make_unique<TMainForm>(MsgForm);
    if (MainForm->QuitRequested()) {
        return;
    }
    // Each window translates itself as it is created, except the export window, which only
    // a change of language translates.
    Translator->AddForm(MainForm.get());
    AboutForm = std::make_unique<TAboutForm>();
    Translator->AddForm(AboutForm.get());
    WaitForm = std::make_unique<TWaitForm>(MainForm.get());
    Translator->AddForm(WaitForm.get());
    DownloadForm = std::make_unique<TDownloadForm>(*MainForm);
    Translator->AddForm(DownloadForm.get());
    Translator->TranslateForm(MsgForm);
    Translator->AddForm(MsgForm);
    NotificationForm = std::make_unique<TNotificationForm>(MainForm.get());
    Translator->AddForm(NotificationForm.get());
    MainForm->AttachWindows(AboutForm.get(), WaitForm.get(), DownloadForm.get(),
                            NotificationForm.get());
    ExportForm = std::make_unique<TExportForm>(*MainForm, MsgForm);
    Translator->AddForm(ExportForm.get());
    MainForm->ExportForm = ExportForm.get();
}

TQuarnelWindows::~TQuarnelWindows() {
    // The main window's destroy handler ends the sessions; the small windows are no longer
    // shown from then on.
    // The export window is a child of the main window and goes before it.
    ExportForm.reset();
    if (MainForm) {
        MainForm->ExportForm = nullptr;
        MainForm->AttachWindows(nullptr, nullptr, nullptr, nullptr);
    }
    NotificationForm.reset();
    DownloadForm.reset();
    WaitForm.reset();
    AboutForm.reset();
    MainForm.reset();
}

int QuarnelMain(int argc, char** argv) {
    QApplication app(argc, argv);
    TCheckPrevious previous(QCoreApplication::applicationFilePath());
    if (previous.RestoreIfRunning(1)) {
        return 0;
    }
    QApplication::setApplicationName(QString::fromLatin1(Application_Title));
    QApplication::setApplicationDisplayName(QString::fromLatin1(Application_Title));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/quarnel.png")));
    // The small windows stay on top; only closing the main window ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    TQuarnelWindows windows;
    if (windows.MainForm->QuitRequested()) {
        return 1;
    }
    TMainForm* main = windows.MainForm.get();
    QObject::connect(main, &TMainForm::Closed, &app, &QCoreApplication::quit);
    previous.OnRestore = [main] {
        DebugLine(QStringLiteral("Brought forward by a second start"));
        if (main->isMinimized()) {
            main->showNormal();
        }
        main->show();
        main->raise();
        main->activateWindow();
    };
    CentreOn(main, nullptr);
    main->show();
    // Once the event loop has painted the window: start-up is over.
    QTimer::singleShot(0, main, [] { DebugLine(QStringLiteral("Main window shown")); });
    return QApplication::exec();
}

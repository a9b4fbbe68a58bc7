// Takes the pictures of every window and view for the documentation: the program's own windows
// on a fresh data folder with two emulated boxes, each grabbed as the user sees it.
// usage: screenshots OUTPUT_FOLDER      (run by scripts/screenshots.sh)
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QListView>
#include <QProcess>
#include <QScrollBar>
#include <QSqlQuery>
#include <QSqlTableModel>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "monitor/can/CANMessages.h"
#include "monitor/data/Acquisition.h"
#include "monitor/data/Sessions.h"
#include "monitor/data/dmUser.h"
#include "monitor/ui/CheckList.h"
#include "monitor/ui/DownloadFrm.h"
#include "monitor/ui/ExportFrm.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/Quarnel.h"
#include "monitor/ui/WaitFrm.h"
#include "monitor/ui/frmAbout.h"
#include "monitor/ui/frmMain.h"
#include "tools/kestemu/Emulator.h"

namespace {

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitUntil(const std::function<bool()>& condition, int ms = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms) {
            return false;
        }
        RunFor(20);
    }
    return true;
}

bool Save(QWidget* window, const QString& folder, const QString& name) {
    window->repaint();
    const bool saved = window->grab().save(folder + '/' + name + QStringLiteral(".png"));
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(name));
    return saved;
}

std::unique_ptr<kestemu::Emulator> StartBox(int seed, const std::string& inverters) {
    kestemu::Config config;
    config.port = 0;
    config.clock = QDate::currentDate().toString(Qt::ISODate).toStdString() + " 12:30";
    config.seed = seed;
    config.inverters = inverters;
    config.log_connections = false;
    auto box = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    if (!box->start(&error)) {
        std::fprintf(stderr, "screenshots: %s\n", error.c_str());
        return nullptr;
    }
    return box;
}

// The modules present, with the colour each is drawn in.
void AddBox(TUserData& data, const QString& name, int port, const QList<QPair<int, int>>& present) {
    const int32_t id = data.KestsTableAfterInsert();
    QSqlQuery query(QSqlDatabase::database(data.ConnectionName()));
    query.prepare(
        "UPDATE kests SET kest_name = ?, kest_ip = '127.0.0.1', kest_port = ?, "
        "kest_username = 'Administrator', kest_password = 'admin1234', kest_online = 1 "
        "WHERE kest_id = ?");
    query.addBindValue(name);
    query.addBindValue(port);
    query.addBindValue(id);
    query.exec();
    for (const auto& [type, colour] : present) {
        query.prepare(
            "UPDATE modules SET module_ispresent = 1, module_ischecked_w = 1, "
            "module_ischecked_kwh = 1, module_color = ? WHERE module_kest = ? AND "
            "module_type = ?");
        query.addBindValue(colour);
        query.addBindValue(id);
        query.addBindValue(type);
        query.exec();
    }
    data.KestsTable->select();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setQuitOnLastWindowClosed(false);
    if (argc != 3) {
        std::fprintf(stderr, "usage: screenshots INSTALL_SCRIPT OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(out);
    QTemporaryDir data;
    if (QProcess::execute(QString::fromLocal8Bit(argv[1]), {data.path()}) != 0) {
        std::fprintf(stderr, "screenshots: install step failed\n");
        return 1;
    }
    qputenv("QUARNEL_DATA_DIR", data.path().toLocal8Bit());
    auto roof = StartBox(1, "ABC");
    auto barn = StartBox(2, "AC");
    if (!roof || !barn) {
        return 1;
    }

    TQuarnelWindows windows;
    TMainForm& main = *windows.MainForm;
    main.show();
    RunFor(300);
    Save(&main, out, QStringLiteral("start"));

    AddBox(*main.UserData(), QStringLiteral("Roof"), roof->port(),
           {{128, 11}, {4, 10}, {8, 14}, {12, 9}});
    AddBox(*main.UserData(), QStringLiteral("Barn"), barn->port(), {{4, 13}, {12, 18}});
    main.ClickMenuNode(Node_Inverters);
    main.KestList->setCurrentIndex(main.KestList->model()->index(0, 0));
    RunFor(200);
    Save(&main, out, QStringLiteral("inverters"));

    main.ClickMenuNode(Node_Current);
    main.CheckBoxShowWValues->click();
    main.ACPowerScanTimerTimer();
    WaitUntil([&] { return main.Sessions()->Channels.size() == 2; });
    RunFor(2500);
    main.DrawWChart();
    RunFor(200);
    Save(&main, out, QStringLiteral("current-performance"));

    // A picture's name carries its language, except in English.
    auto named = [](const char* name, const QString& language) {
        return language.isEmpty() ? QString::fromLatin1(name)
                                  : QStringLiteral("%1-%2").arg(QLatin1String(name), language);
    };
    auto aboutAndWaitShots = [&](const QString& language) {
        windows.AboutForm->show();
        RunFor(200);
        Save(windows.AboutForm.get(), out, named("about", language));
        windows.AboutForm->hide();
        windows.WaitForm->ShowText(windows.MsgForm.Text(QStringLiteral("Connect_ConnectingTo")) +
                                   QStringLiteral(" Roof"));
        RunFor(200);
        Save(windows.WaitForm.get(), out, named("wait", language));
        windows.WaitForm->hide();
    };
    aboutAndWaitShots(QString());

    // The history of both boxes at three resolutions, each drawn in the six graph types: a day
    // of ten-minute slots twelve to a page, with value marks; the last month by day; the
    // last year by month.
    for (const auto& channel : main.Sessions()->Channels) {
        channel->RequestDelay = 0;
    }
    const QDate today = QDate::currentDate();
    struct HistoryShot {
        TMenuNode Node;
        const char* Name;
        QDate Start, End;
        int Density;
        bool Marks;
    };
    const HistoryShot shots[] = {
        {Node_Per10Minutes, "10min", today.addDays(-1), today.addDays(-1), 12, true},
        {Node_PerDay, "day", today.addMonths(-1), today, 0, false},
        {Node_PerMonth, "month", today.addYears(-1), today, 0, true},
    };
    for (const HistoryShot& shot : shots) {
        main.ClickMenuNode(shot.Node);
        main.LabelSelectNoneHistoryClick();
        main.LabelSelectAlHistoryClick();
        main.EsStartDateEdit->setDate(shot.Start);
        main.EsEndDateEdit->setDate(shot.End);
        main.XAxisDensity[main.HistoryResolution] = shot.Density;
        if (main.CheckBoxShowkWhValues->isChecked() != shot.Marks) {
            main.CheckBoxShowkWhValues->click();
        }
        main.LabelGetDataClick();
        WaitUntil([&] { return windows.DownloadForm->isVisible(); }, 3000);
        WaitUntil([&] { return windows.DownloadForm->isHidden(); }, 60000);
        for (int type = 0; type < 6; ++type) {
            main.OvcComboBoxGraphType->setCurrentIndex(type);
            main.DrawkWhChart(type);
            if (shot.Density > 0) {
                main.HistoryScrollBar->setValue(6);  // 10:00 to 11:50
            }
            RunFor(100);
            Save(&main, out, QStringLiteral("history-%1-%2").arg(shot.Name).arg(type));
        }
    }

    // A download slowed down, so that the window shows both boxes' lines.
    auto slowDownload = [&](const QString& language) {
        main.ClickMenuNode(Node_Per10Minutes);
        for (const auto& channel : main.Sessions()->Channels) {
            channel->RequestDelay = 50;
        }
        main.Acquisition()->StartHistoryDownload(36);
        RunFor(1600);
        Save(windows.DownloadForm.get(), out, named("download", language));
        main.Acquisition()->CancelDownloads();
        WaitUntil([&] { return windows.DownloadForm->isHidden(); });
        for (const auto& channel : main.Sessions()->Channels) {
            channel->RequestDelay = 0;
        }
    };
    slowDownload(QString());

    // The export window as "Export data" opens it, Roof chosen, and then its file dialog.
    auto exportShots = [&](const QString& language) {
        TExportForm& exportForm = *windows.ExportForm;
        exportForm.FormShow();
        exportForm.KestSelectComboBox->setCurrentIndex(0);
        exportForm.KestSelectComboBoxCloseUp();
        exportForm.show();
        RunFor(200);
        Save(&exportForm, out, named("export", language));
        exportForm.SaveDialogShow();
        exportForm.SaveDialog->setDirectory(data.path());
        exportForm.SaveDialog->selectFile(QStringLiteral("Roof.csv"));
        exportForm.SaveDialog->show();
        RunFor(300);
        Save(exportForm.SaveDialog, out, named("export-dialog", language));
        exportForm.SaveDialog->hide();
        exportForm.hide();
    };
    exportShots(QString());

    // Every window and view again in each of the other languages, from stored history.
    const std::pair<TMenuNode, const char*> languages[] = {
        {Node_Dutch, "nl"}, {Node_German, "de"}, {Node_French, "fr"}};
    for (const auto& [node, code] : languages) {
        const QString language = QLatin1String(code);
        auto shot = [&](QWidget* window, const char* name) {
            Save(window, out, named(name, language));
        };
        main.ClickMenuNode(node);
        RunFor(200);
        shot(&main, "start");
        main.ClickMenuNode(Node_Inverters);
        RunFor(200);
        shot(&main, "inverters");
        main.ClickMenuNode(Node_Current);
        RunFor(2500);
        main.DrawWChart();
        RunFor(200);
        shot(&main, "current-performance");
        main.ClickMenuNode(Node_PerDay);
        main.EsStartDateEdit->setDate(today.addMonths(-1));
        main.EsEndDateEdit->setDate(today);
        main.OvcComboBoxGraphType->setCurrentIndex(1);
        main.DrawkWhChart(1);
        RunFor(100);
        shot(&main, "history-day");
        aboutAndWaitShots(language);
        slowDownload(language);
        exportShots(language);
    }

    // A box that no longer answers, reported in English, then in the other languages when it is
    // connected again.
    barn->stop();
    main.ClickMenuNode(Node_English);
    main.ClickMenuNode(Node_Current);
    WaitUntil([&] { return windows.NotificationForm->isVisible(); });
    RunFor(3000);
    Save(windows.NotificationForm.get(), out, QStringLiteral("notification"));
    for (const auto& [node, code] : languages) {
        windows.NotificationForm->close();
        main.ClickMenuNode(node);
        main.Sessions()->ConnectKest(2);
        WaitUntil([&] { return windows.NotificationForm->isVisible(); });
        RunFor(200);
        Save(windows.NotificationForm.get(), out, named("notification", QLatin1String(code)));
    }
    return 0;
}

// The program itself, with a hand on its windows: its own entry point runs (the single-instance
// lock, the windows, the user database), and once the main window is up a timer does what a
// user would do for a history download: opens the history view at one resolution, ticks every
// module, and clicks "Get data". The kill tests end it with SIGKILL somewhere in that download;
// with DRIVER_FINISH=1 it closes its main window once the download is over, and so ends as a
// user ends it.
//
// Environment: DRIVER_RESOLUTION 36, 71, 106 or 125; DRIVER_DELAY ms the channels pause after
// each request (the channel's usual 80 ms would make every kill round last minutes).
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <set>

#include "monitor/can/CANMessages.h"
#include "monitor/data/Acquisition.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/CheckList.h"
#include "monitor/ui/Look.h"
#include "monitor/ui/Quarnel.h"
#include "monitor/ui/frmMain.h"

namespace {

int NodeOfResolution(int resolution) {
    switch (resolution) {
        case Res_Day:
            return Node_PerDay;
        case Res_Month:
            return Node_PerMonth;
        case Res_Year:
            return Node_PerYear;
        default:
            return Node_Per10Minutes;
    }
}

void Say(const char* line) {
    std::fprintf(stderr, "driver: %s\n", line);
    std::fflush(stderr);
}

TMainForm* ShownMainWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->objectName() == QLatin1String("MainForm") && window->isVisible()) {
            return qobject_cast<TMainForm*>(window);
        }
    }
    return nullptr;
}

template <typename T>
T* Control(TMainForm* main, const char* name) {
    return main->findChild<T*>(QString::fromLatin1(name));
}

// Ticks every module of the history list and connects their boxes first, so that the pause
// after each request can be set before the download starts.
bool StartDownload(TMainForm* main, int resolution, uint32_t delay) {
    main->ClickMenuNode(NodeOfResolution(resolution));
    auto* selectAll = Control<TLabelButton>(main, "LabelSelectAlHistory");
    auto* getData = Control<TLabelButton>(main, "LabelGetData");
    auto* list = Control<TCheckList>(main, "OvcCheckListSelectedForkWh");
    if (selectAll == nullptr || getData == nullptr || list == nullptr || list->count() == 0) {
        return false;
    }
    QTest::mouseClick(selectAll, Qt::LeftButton, Qt::NoModifier, selectAll->rect().center());
    std::set<int32_t> kests;
    for (int i = 0; i < list->count(); ++i) {
        kests.insert(main->Acquisition()->KestOfModule(list->ModuleId(i)));
    }
    for (int32_t kest : kests) {
        main->Sessions()->ConnectKest(kest);
        TCANMessages* channel = main->Sessions()->ChannelOfKest(kest);
        if (channel == nullptr) {
            return false;
        }
        channel->RequestDelay = delay;
    }
    QTest::mouseClick(getData, Qt::LeftButton, Qt::NoModifier, getData->rect().center());
    return true;
}

bool AnyDownloading(TMainForm* main) {
    for (const auto& channel : main->Sessions()->Channels) {
        if (channel->Downloading) {
            return true;
        }
    }
    return false;
}

void Drive() {
    const int resolution = qEnvironmentVariableIntValue("DRIVER_RESOLUTION");
    const auto delay = uint32_t(qEnvironmentVariableIntValue("DRIVER_DELAY"));
    const bool finish = qEnvironmentVariableIntValue("DRIVER_FINISH") == 1;
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setObjectName(QStringLiteral("DriverTimer"));
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, resolution, delay, finish] {
        static bool started = false;
        TMainForm* main = ShownMainWindow();
        if (main == nullptr) {
            return;
        }
        if (!started) {
            started = true;
            if (!StartDownload(main, resolution, delay)) {
                Say("no download started");
                timer->stop();
                main->close();
                return;
            }
            Say("download started");
            return;
        }
        if (finish && !AnyDownloading(main)) {
            Say("download finished");
            timer->stop();
            main->close();
        }
    });
    // Started by the event loop, which the program's entry runs once its windows are made.
    QMetaObject::invokeMethod(timer, qOverload<>(&QTimer::start), Qt::QueuedConnection);
}

}  // namespace

// Runs as the application object is made, before the program's entry creates its windows.
Q_COREAPP_STARTUP_FUNCTION(Drive)

int main(int argc, char** argv) {
    return QuarnelMain(argc, argv);
}

// What one refresh of the live power chart costs the main thread: the main window on a fresh
// data folder with three boxes of four modules each, all twelve ticked in the W list, the current
// performance view open, and DrawWChart run again and again. No box is connected, so every bar
// shows 0 W; the lookups and the drawing are the same as with live values. Target: 5 ms per
// redraw.
//
// Figures: DrawWChart alone (the series rebuilt, the database lookups and the replot into the
// chart's buffer), and DrawWChart followed by the paint it queues.
//
// usage: bench_wchart [RUNS]
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "CheckList.h"
#include "Quarnel.h"
#include "bench/BenchInstall.h"
#include "bench/BenchSupport.h"
#include "dmUser.h"
#include "frmMain.h"

namespace {

constexpr int kDefaultRuns = 200;
constexpr int kWarmUp = 10;
constexpr int kBoxes = 3;
constexpr double kTargetMs = 5.0;

// Three on-line boxes whose four modules are present and ticked in the W list. The address
// answers nothing; the scan that would try it never runs here.
bool AddBoxes(TUserData& data) {
    for (int b = 0; b < kBoxes; ++b) {
        const int32_t id = data.KestsTableAfterInsert();
        QSqlQuery query(QSqlDatabase::database(data.ConnectionName()));
        query.prepare(
            "UPDATE kests SET kest_name = ?, kest_ip = '127.0.0.1', kest_port = 9, "
            "kest_online = 1 WHERE kest_id = ?");
        query.addBindValue(QStringLiteral("Box %1").arg(b + 1));
        query.addBindValue(id);
        if (id <= 0 || !query.exec()) {
            return false;
        }
        QSqlQuery modules(QSqlDatabase::database(data.ConnectionName()));
        modules.prepare(
            "UPDATE modules SET module_ispresent = 1, module_ischecked_w = 1, module_pattern = ? "
            "WHERE module_kest = ?");
        modules.addBindValue(b + 2);  // hatched fills, the dearer ones to paint
        modules.addBindValue(id);
        if (!modules.exec() || modules.numRowsAffected() != 4) {
            return false;
        }
    }
    return true;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

std::vector<double> Time(TMainForm& main, int runs, bool withPaint) {
    std::vector<double> ms;
    ms.reserve(size_t(runs));
    for (int r = 0; r < kWarmUp + runs; ++r) {
        QElapsedTimer timer;
        timer.start();
        main.DrawWChart();
        if (withPaint) {
            QApplication::processEvents();
        }
        const double elapsed = double(timer.nsecsElapsed()) / 1e6;
        if (r >= kWarmUp) {
            ms.push_back(elapsed);
        }
    }
    return ms;
}

void Print(const char* what, const std::vector<double>& ms) {
    std::printf("  %-28s median %6.3f ms   p95 %6.3f ms   (target %.1f ms)\n", what,
                bench::median(ms), Percentile(ms, 0.95), kTargetMs);
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int runs = kDefaultRuns;
    if (argc > 1 && !bench::parse_count(argv[1], &runs)) {
        std::fprintf(stderr, "usage: bench_wchart [RUNS]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setQuitOnLastWindowClosed(false);

    QTemporaryDir folder;
    if (!folder.isValid() || !bench::install_data_folder("bench_wchart", folder.path())) {
        return 1;
    }
    qputenv("QUARNEL_DATA_DIR", (folder.path() + "/").toLocal8Bit());

    TQuarnelWindows windows;
    TMainForm& main = *windows.MainForm;
    if (main.QuitRequested() || main.UserData() == nullptr || !AddBoxes(*main.UserData())) {
        std::fprintf(stderr, "bench_wchart: the main window or its boxes could not be set up\n");
        return 1;
    }
    main.show();
    main.ClickMenuNode(Node_Current);
    // Only the measured redraws: no timer refreshes or scans in between.
    main.WRefreshTimer->stop();
    main.ACPowerScanTimer->stop();
    QApplication::processEvents();

    int checked = 0;
    for (int i = 0; i < main.OvcCheckListSelectedForW->count(); ++i) {
        checked += main.OvcCheckListSelectedForW->Checked(i) ? 1 : 0;
    }
    if (checked != 4 * kBoxes) {
        std::fprintf(stderr, "bench_wchart: %d modules ticked instead of %d\n", checked,
                     4 * kBoxes);
        return 1;
    }

    std::printf("bench_wchart: %d redraws of the W chart with %d ticked modules\n", runs, checked);
    Print("DrawWChart", Time(main, runs, false));
    Print("DrawWChart + paint", Time(main, runs, true));
    return 0;
}

// quarnel-fetch's full download of two emulated boxes at all four resolutions, with the box's
// 80 ms pause after every request, against its floor: the larger box's history requests times
// 81 ms (the pause and about a millisecond on the wire), since the boxes download side by side.
//
// usage: bench_fetch [MODULES]   present modules of the larger box, 1..4 (2); the smaller has one
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdio>

#include "bench/BenchInstall.h"
#include "bench/BenchSupport.h"
#include "monitor/can/CanObjects.h"
#include "tools/kestemu/Emulator.h"

namespace {

constexpr uint8_t Can_Command = 0x10;  // the frame type of a forwarded CAN request
constexpr double Floor_Ms_Per_Request = 81.0;

const int Module_Types[] = {128, 4, 8, 12};

int HistoryRequests(const kestemu::Emulator& box) {
    int count = 0;
    for (const auto& frame : box.received()) {
        const auto& b = frame.bytes;
        count += b.size() >= 8 && b[0] == Can_Command && b[3] == Addr_Monitor &&
                 b[4] == Obj_Yield_History;
    }
    return count;
}

bool AddBox(QSqlDatabase& db, const QString& name, int port, int modules) {
    QSqlQuery kest(db);
    kest.prepare(
        "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, "
        "kest_online) VALUES (?, '127.0.0.1', ?, 'Administrator', 'admin1234', 1)");
    kest.addBindValue(name);
    kest.addBindValue(port);
    if (!kest.exec()) {
        std::fprintf(stderr, "bench_fetch: %s\n", qPrintable(kest.lastError().text()));
        return false;
    }
    const QVariant id = kest.lastInsertId();
    for (int i = 0; i < 4; ++i) {
        QSqlQuery module(db);
        module.prepare(
            "INSERT INTO modules (module_kest, module_type, module_color, module_pattern, "
            "module_linetype, module_ispresent, module_ischecked_kwh, module_ischecked_w) "
            "VALUES (?, ?, 0, 0, 0, ?, 0, 0)");
        module.addBindValue(id);
        module.addBindValue(Module_Types[i]);
        module.addBindValue(i < modules ? 1 : 0);
        if (!module.exec()) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int modules = 2;
    if (argc > 1 && (!bench::parse_count(argv[1], &modules) || modules > 4)) {
        std::fprintf(stderr, "usage: bench_fetch [MODULES 1..4]\n");
        return 2;
    }
    QTemporaryDir folder;
    if (!folder.isValid() || !bench::install_data_folder("bench_fetch", folder.path())) {
        return 1;
    }

    std::vector<std::unique_ptr<kestemu::Emulator>> boxes;
    for (const char* inverters : {"ABC", "A"}) {
        kestemu::Config config;
        config.port = 0;
        config.clock = "2026-06-20 23:00";
        config.inverters = inverters;
        config.log_connections = false;
        boxes.push_back(std::make_unique<kestemu::Emulator>(config));
        std::string error;
        if (!boxes.back()->start(&error)) {
            std::fprintf(stderr, "bench_fetch: %s\n", error.c_str());
            return 1;
        }
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench");
        db.setDatabaseName(folder.filePath("KestUser.sqlite"));
        if (!db.open() || !AddBox(db, "Large", boxes[0]->port(), modules) ||
            !AddBox(db, "Small", boxes[1]->port(), 1)) {
            return 1;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("bench");

    QProcess fetch;
    fetch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    fetch.start(QStringLiteral(QUARNEL_FETCH_PROGRAM), {"--data-dir", folder.path(), "--quiet"});
    if (!fetch.waitForFinished(30 * 60 * 1000) || fetch.exitCode() != 0) {
        std::fprintf(stderr, "bench_fetch: quarnel-fetch failed: %s\n",
                     fetch.readAllStandardOutput().constData());
        return 1;
    }
    const double wallMs = double(clock.nsecsElapsed()) / 1e6;
    const int large = HistoryRequests(*boxes[0]);
    const int small = HistoryRequests(*boxes[1]);
    const double floorMs = std::max(large, small) * Floor_Ms_Per_Request;
    std::printf("bench_fetch: two boxes, four resolutions, 80 ms pause (%d and 1 modules)\n",
                modules);
    std::printf("  history requests   %6d larger box, %d smaller box\n", large, small);
    std::printf("  wall time          %9.1f s\n", wallMs / 1000);
    std::printf("  design floor       %9.1f s   (%d requests x 81 ms)\n", floorMs / 1000,
                std::max(large, small));
    std::printf("  ratio              %9.3f     (target: within 5 %%, 1.05)\n", wallMs / floorMs);
    return 0;
}

// The disk full in the middle of a download. The program's own connection is capped a page above
// the file's size; quarnel-fetch runs with every file it writes capped just above the database's
// size (or, with DURABILITY_TMPFS, on a small file system that a ballast file fills: see
// scripts/kill-test.sh). Either way the user is told, every row stored before stays, and the
// next download after the room is back completes the data.
#include <sys/statvfs.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "DurabilityHarness.h"
#include "monitor/can/CANMessages.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/Dialogs.h"
#include "monitor/ui/Look.h"
#include "tests/ui/UiHarness.h"

namespace durability {
namespace {

using cantest::WaitFor;
using datatest::KestSpec;

Rows Union(const Rows& a, const Rows& b) {
    Rows all = a;
    all.insert(b.begin(), b.end());
    return all;
}

Rows OfResolution(const Rows& rows, int resolution) {
    Rows some;
    for (const auto& [key, value] : rows) {
        if (std::get<2>(key) == resolution) {
            some[key] = value;
        }
    }
    return some;
}

class ProgramDiskFullTest : public uitest::ProgramTest {
protected:
    // "Get data" for every module at one resolution, to the end of the download.
    void GetData(int node) {
        Main().ClickMenuNode(node);
        Click(Find<TLabelButton>("LabelSelectAlHistory"));
        Click(Find<TLabelButton>("LabelGetData"));
        TCANMessages* channel = Main().Sessions()->ChannelOfKest(Kest);
        ASSERT_NE(channel, nullptr);
        ASSERT_TRUE(WaitFor([channel] { return !channel->Downloading; }, 60s));
        // The error box comes once the sample's step is over.
        QCoreApplication::processEvents();
    }
    void Pragma(const QString& statement) {
        QSqlQuery query(QSqlDatabase::database(Main().UserData()->ConnectionName()));
        ASSERT_TRUE(query.exec(statement));
    }
    int PageCount() {
        QSqlQuery query(QSqlDatabase::database(Main().UserData()->ConnectionName()));
        return query.exec(QStringLiteral("PRAGMA page_count")) && query.next()
                   ? query.value(0).toInt()
                   : -1;
    }
    int32_t Kest = 0;
};

// A full disk is the SQLite file's: a PostgreSQL server's disk is not the program's to fill.
TEST_F(ProgramDiskFullTest, TheUserIsToldWhatWasStoredStaysAndTheNextDownloadCompletes) {
    QUARNEL_SQLITE_ONLY();
    kestemu::Emulator& box = StartBox(BoxConfig(4711));
    KestSpec spec;
    spec.Port = box.port();
    Kest = AddKest(spec);
    Main().Sessions()->ConnectKest(Kest);
    ASSERT_TRUE(Main().Sessions()->IsKestConnected(Kest));
    Main().Sessions()->ChannelOfKest(Kest)->RequestDelay = 0;
    Reader reader(Folder->DatabasePath());
    const Rows days = ModelRows(box, Kest, Res_Day);
    const Rows tenMinutes = ModelRows(box, Kest, Res_Ten_Minutes);

    GetData(Node_PerDay);
    const Rows before = reader.Samples();
    ASSERT_TRUE(Matches(before, days, true));
    ASSERT_TRUE(Dialogs::TakeAsked().isEmpty());

    // The disk fills a page into the ten-minute download.
    Pragma(QStringLiteral("PRAGMA max_page_count = %1").arg(PageCount() + 1));
    Dialogs::PreAnswer(QMessageBox::Ok);
    GetData(Node_Per10Minutes);
    const QList<Dialogs::TAsked> asked = Dialogs::TakeAsked();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked[0].Kind, Dialogs::TKind::Error);
    EXPECT_TRUE(asked[0].Text.startsWith("Roof: ")) << asked[0].Text.toStdString();
    EXPECT_TRUE(asked[0].Text.contains("full")) << asked[0].Text.toStdString();
    const Rows refused = reader.Samples();
    EXPECT_TRUE(Keeps(refused, before));
    EXPECT_TRUE(Matches(refused, Union(days, tenMinutes), false));
    EXPECT_LT(OfResolution(refused, Res_Ten_Minutes).size(), tenMinutes.size());
    EXPECT_EQ(reader.IntegrityCheck(), "ok");
    EXPECT_TRUE(Main().Sessions()->IsKestConnected(Kest));

    // Room again: the same session downloads the rest.
    Pragma(QStringLiteral("PRAGMA max_page_count = 1073741823"));
    GetData(Node_Per10Minutes);
    EXPECT_TRUE(Dialogs::TakeAsked().isEmpty());
    EXPECT_TRUE(Matches(reader.Samples(), Union(days, tenMinutes), true));
}

// quarnel-fetch on a full disk: a clear failure, exit 1, the rows stored before kept, and a
// complete download once there is room.
TEST(FetchDiskFullTest, AClearFailureKeepsTheRowsAndTheNextRunCompletes) {
    QUARNEL_SQLITE_ONLY();
    // DURABILITY_TMPFS names a small file system of its own; the children's output stays outside.
    const QString tmpfs = qEnvironmentVariable("DURABILITY_TMPFS");
    const bool onTmpfs = !tmpfs.isEmpty();
    QTemporaryDir data(onTmpfs ? tmpfs + "/data-XXXXXX" : QDir::tempPath() + "/data-XXXXXX");
    ASSERT_TRUE(data.isValid());
    const QString dataFolder = data.path() + "/";
    ASSERT_EQ(datatest::DataFolderFixture::Install(dataFolder), 0);
    const QString database = dataFolder + "KestUser.sqlite";
    kestemu::Emulator box(BoxConfig(4711));
    std::string error;
    ASSERT_TRUE(box.start(&error)) << error;
    int kest = 0;
    {
        Reader setup(database);
        kest = setup.AddKest(QStringLiteral("Roof"), box.port());
    }
    const Rows days = ModelRows(box, kest, Res_Day);
    const Rows tenMinutes = ModelRows(box, kest, Res_Ten_Minutes);
    auto fetch = [&dataFolder](const char* resolution, long limit) {
        auto child = std::make_unique<Child>();
        EXPECT_TRUE(child->Start(QStringLiteral(QUARNEL_FETCH_PROGRAM),
                                 {"--data-dir", dataFolder, "--quiet", "--request-delay", "0",
                                  "--resolution", resolution},
                                 {}, limit));
        return child;
    };

    auto first = fetch("day", 0);
    ASSERT_EQ(first->Wait(), 0) << first->Output().toStdString();
    Rows before;
    {
        Reader reader(database);
        before = reader.Samples();
    }  // the last connection gone: the log is folded into the file and removed
    ASSERT_TRUE(Matches(before, days, true));

    const long size = long(QFileInfo(database).size());
    const QString ballast = dataFolder + "ballast";
    if (onTmpfs) {
        struct statvfs fs = {};
        ASSERT_EQ(statvfs(dataFolder.toLocal8Bit().constData(), &fs), 0);
        QFile file(ballast);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const long room = 48 * 1024;
        const QByteArray block(4096, '\0');
        for (long left = long(fs.f_bavail * fs.f_frsize) - room; left > 0; left -= 4096) {
            if (file.write(block) != block.size()) {
                break;
            }
        }
        file.close();
    }
    auto full = fetch("10min", onTmpfs ? 0 : size + 48 * 1024);
    EXPECT_EQ(full->Wait(), 1) << full->Output().toStdString();
    const QString output = full->Output();
    // The reason is the database's: a full disk, or a write the file size limit cut short.
    EXPECT_TRUE(output.contains(" samples could not be stored in " + database + ": "))
        << output.toStdString();
    EXPECT_TRUE(output.contains("disk")) << output.toStdString();
    EXPECT_TRUE(output.contains("Roof, 10 minutes: failed")) << output.toStdString();
    {
        Reader reader(database);
        const Rows after = reader.Samples();
        EXPECT_EQ(reader.IntegrityCheck(), "ok");
        EXPECT_TRUE(Keeps(after, before));
        EXPECT_TRUE(Matches(after, Union(days, tenMinutes), false));
    }

    QFile::remove(ballast);
    auto again = fetch("10min", 0);
    EXPECT_EQ(again->Wait(), 0) << again->Output().toStdString();
    EXPECT_TRUE(Matches(Reader(database).Samples(), Union(days, tenMinutes), true));
    box.stop();
}

}  // namespace
}  // namespace durability

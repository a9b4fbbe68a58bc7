// The box locks of a shared store: one session at a time holds a box, a release or a lost
// connection frees it, a reconnect takes back what is still free; and "Get data" leaving out
// a box another program downloads, with its line in the notification window.
#include <QSqlDatabase>

#include "monitor/data/BoxLock.h"
#include "tests/data/DataHarness.h"

namespace datatest {
namespace {

class BoxLockTest : public MonitorTest {
protected:
    // Another program on the same store, with a connection of its own.
    std::unique_ptr<TUserData> OtherProgram() {
        auto other = std::make_unique<TUserData>(OtherView, Folder->Store());
        EXPECT_TRUE(other->IsOpen());
        return other;
    }

    void CheckKWh(int32_t moduleId) {
        for (size_t i = 0; i < View.KWh.size(); ++i) {
            if (View.KWh[i].ModuleId == moduleId) {
                View.SetCheckListItemChecked(TModuleList::KWh, int(i), true);
                return;
            }
        }
        ADD_FAILURE() << "module " << moduleId << " is not in the kWh list";
    }

    TRecordingView OtherView;
};

TEST_F(BoxLockTest, OneSessionHoldsABoxUntilItReleasesOrLosesItsConnection) {
    QUARNEL_POSTGRES_ONLY();
    const std::unique_ptr<TUserData> otherData = OtherProgram();
    TBoxLocks mine(*UserData);
    TBoxLocks other(*otherData);
    ASSERT_TRUE(mine.Shared());

    ASSERT_EQ(mine.Take(5), TLockResult::Taken);
    EXPECT_EQ(other.Take(5), TLockResult::Held);
    EXPECT_EQ(other.Take(6), TLockResult::Taken) << "every box has a lock of its own";
    EXPECT_FALSE(other.Holder(5).isEmpty());
    EXPECT_TRUE(other.Holder(7).isEmpty());
    // Taken twice by one holder, freed by one release.
    ASSERT_EQ(mine.Take(5), TLockResult::Taken);
    mine.Release(5);
    EXPECT_FALSE(mine.Holds(5));
    ASSERT_EQ(other.Take(5), TLockResult::Taken);
    EXPECT_EQ(mine.Take(5), TLockResult::Held);

    // The server frees the locks of a connection that has gone.
    QSqlDatabase otherDb = QSqlDatabase::database(otherData->ConnectionName(), false);
    otherDb.close();
    ASSERT_TRUE(WaitFor([&] { return mine.Take(5) == TLockResult::Taken; }, 30s));
    EXPECT_EQ(mine.Take(6), TLockResult::Taken);

    // Connected again, the other program gets back only what nobody took meanwhile.
    ASSERT_TRUE(otherDb.open());
    ASSERT_EQ(other.Take(8), TLockResult::Taken);
    EXPECT_EQ(other.TakeAgain(), (std::vector<int32_t>{5, 6}));
    EXPECT_EQ(other.Held(), (std::set<int32_t>{8}));
    // A session that kept its locks counts each once still.
    EXPECT_TRUE(mine.TakeAgain().empty());
    mine.ReleaseAll();
    EXPECT_EQ(other.Take(5), TLockResult::Taken);
    EXPECT_EQ(other.Take(6), TLockResult::Taken);
}

TEST_F(BoxLockTest, WithSqliteEveryLockIsGrantedAsBefore) {
    QUARNEL_SQLITE_ONLY();
    const std::unique_ptr<TUserData> otherData = OtherProgram();
    TBoxLocks mine(*UserData);
    TBoxLocks other(*otherData);
    EXPECT_FALSE(mine.Shared());
    EXPECT_EQ(mine.Take(5), TLockResult::Taken);
    EXPECT_EQ(other.Take(5), TLockResult::Taken);
    EXPECT_TRUE(other.TakeAgain().empty());
}

TEST_F(BoxLockTest, GetDataLeavesOutABoxAnotherProgramDownloadsAndSaysSo) {
    QUARNEL_POSTGRES_ONLY();
    KestSpec roof;
    roof.Port = StartBox().port();
    const int32_t roofKest = AddKest(roof);
    KestSpec shed;
    shed.Name = "Shed";
    shed.Port = StartBox().port();
    const int32_t shedKest = AddKest(shed);
    const std::unique_ptr<TUserData> otherData = OtherProgram();
    TBoxLocks service(*otherData);
    ASSERT_EQ(service.Take(roofKest), TLockResult::Taken);

    Acquisition->BuildKWhCheckList();
    CheckKWh(ModuleId(roofKest, Module_Type_A));
    CheckKWh(ModuleId(shedKest, Module_Type_A));
    Acquisition->StartHistoryDownload(Res_Day);

    ASSERT_EQ(View.Notifications.size(), 1) << View.Notifications.join('\n').toStdString();
    EXPECT_TRUE(View.Notifications[0].startsWith(Messages.Text(QStringLiteral("DL_BoxLocked")) +
                                                 QStringLiteral(" Roof (")))
        << View.Notifications[0].toStdString();
    EXPECT_FALSE(Sessions->IsKestConnected(roofKest)) << "a skipped box is not even connected";
    ASSERT_TRUE(Sessions->IsKestConnected(shedKest));
    EXPECT_TRUE(Sessions->ChannelOfKest(shedKest)->Downloading);
    EXPECT_EQ(service.Take(shedKest), TLockResult::Held);

    // The download's end frees its box, as the download window's timer sees it.
    ASSERT_TRUE(WaitFor([&] { return !Sessions->ChannelOfKest(shedKest)->Downloading; }, 60s));
    EXPECT_EQ(service.Take(shedKest), TLockResult::Held);
    Acquisition->ReleaseEndedDownloads();
    EXPECT_EQ(service.Take(shedKest), TLockResult::Taken);

    // Free again, the box downloads; a cancel frees it at once.
    service.ReleaseAll();
    View.Notifications.clear();
    Acquisition->StartHistoryDownload(Res_Ten_Minutes);
    EXPECT_TRUE(View.Notifications.isEmpty()) << View.Notifications.join('\n').toStdString();
    ASSERT_TRUE(Sessions->IsKestConnected(roofKest));
    EXPECT_TRUE(Sessions->ChannelOfKest(roofKest)->Downloading);
    EXPECT_EQ(service.Take(roofKest), TLockResult::Held);
    Acquisition->CancelDownloads();
    EXPECT_EQ(service.Take(roofKest), TLockResult::Taken);
    EXPECT_EQ(service.Take(shedKest), TLockResult::Taken);
}

}  // namespace
}  // namespace datatest

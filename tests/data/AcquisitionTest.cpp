// The live power scan, the history download requests, the selection lists and the module
// lookups, against a data folder from the install step and kestemu boxes.
#include <QSqlQuery>

#include "DataHarness.h"
#include "monitor/can/CANMessages.h"

namespace datatest {
namespace {

constexpr uint8_t Can_Command = 0x10;

// The CAN requests a box has received: address and object of each, in order.
std::vector<std::pair<int, int>> CanRequests(const kestemu::Emulator& box) {
    std::vector<std::pair<int, int>> requests;
    for (const auto& frame : box.received()) {
        if (frame.bytes.size() > 4 && frame.bytes[0] == Can_Command) {
            requests.emplace_back(frame.bytes[3], frame.bytes[4]);
        }
    }
    return requests;
}

class AcquisitionTest : public MonitorTest {
protected:
    // A box row on a running emulator at midday, so that the inverters deliver power.
    int32_t AddBoxAtNoon(KestSpec spec = {}) {
        kestemu::Config config = DefaultBoxConfig();
        config.clock = "2024-06-20 12:00";
        spec.Port = StartBox(config).port();
        return AddKest(spec);
    }

    int IndexOf(TModuleList list, int32_t moduleId) const {
        const auto& items = View.Items(list);
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].ModuleId == moduleId) {
                return int(i);
            }
        }
        return -1;
    }

    void Check(TModuleList list, int32_t moduleId) {
        const int index = IndexOf(list, moduleId);
        ASSERT_GE(index, 0);
        View.SetCheckListItemChecked(list, index, true);
    }

    bool StoredMark(int32_t moduleId, bool forW) {
        TModuleRow row;
        EXPECT_TRUE(UserData->FindModule(moduleId, &row));
        return forW ? row.IsCheckedW : row.IsCheckedKWh;
    }
};

TEST_F(AcquisitionTest, ScanIntervalFollowsTheCheckedItems) {
    // Ids without a module row: nothing is requested, but each checked item counts.
    Acquisition->ScanACPower();
    EXPECT_EQ(View.ScanInterval, 500);
    for (int id = 9001; id <= 9004; ++id) {
        View.AddCheckListItem(TModuleList::W, {"x", id, id != 9004});
    }
    Acquisition->ScanACPower();
    EXPECT_EQ(View.ScanInterval, 1250);
    View.W.back().Checked = true;
    Acquisition->ScanACPower();
    EXPECT_EQ(View.ScanInterval, 1500);
    EXPECT_TRUE(Sessions->Channels.empty());
}

TEST_F(AcquisitionTest, ACheckedTotalAsksAllThreeInvertersAndSumsThem) {
    // Inverter A is not marked present: the total asks it all the same.
    KestSpec spec;
    spec.Present = {Module_Type_Total, Module_Type_B, Module_Type_C};
    const int32_t kest = AddBoxAtNoon(spec);
    Acquisition->BuildWCheckList();
    Check(TModuleList::W, ModuleId(kest, Module_Type_Total));
    View.PerformanceVisible = true;
    Acquisition->ScanACPower();
    ASSERT_TRUE(Sessions->IsKestConnected(kest));
    EXPECT_EQ(View.ScanInterval, 750);
    TCANMessages* channel = Sessions->ChannelOfKest(kest);
    ASSERT_TRUE(WaitFor([&] { return CanRequests(*Boxes[0]).size() == 4; }));
    // The last reply is decoded in a main-thread step after the box has seen the request.
    ASSERT_TRUE(
        WaitFor([&] { return channel->PowerA > 0 && channel->PowerB > 0 && channel->PowerC > 0; }));
    RunEvents(50ms);
    const std::vector<std::pair<int, int>> expected = {{0, 0x20}, {4, 0x31}, {8, 0x31}, {12, 0x31}};
    EXPECT_EQ(CanRequests(*Boxes[0]), expected);
    EXPECT_FLOAT_EQ(Acquisition->ModulePower(ModuleId(kest, Module_Type_Total)),
                    float(channel->PowerA + channel->PowerB + channel->PowerC) / 10);
    EXPECT_FLOAT_EQ(Acquisition->ModulePower(ModuleId(kest, Module_Type_B)),
                    float(channel->PowerB) / 10);
}

TEST_F(AcquisitionTest, NothingIsQueuedWhileTheLiveViewIsHidden) {
    const int32_t kest = AddBoxAtNoon();
    Acquisition->BuildWCheckList();
    Check(TModuleList::W, ModuleId(kest, Module_Type_A));
    Acquisition->ScanACPower();
    ASSERT_TRUE(Sessions->IsKestConnected(kest));
    RunEvents(100ms);
    EXPECT_EQ(CanRequests(*Boxes[0]).size(), 1u);  // the probe only
}

TEST_F(AcquisitionTest, ModulePowerIsZeroWithoutASession) {
    const int32_t kest = AddKest({});
    EXPECT_EQ(Acquisition->ModulePower(ModuleId(kest, Module_Type_A)), 0.0f);
    EXPECT_EQ(Acquisition->ModulePower(987654), 0.0f);
}

TEST_F(AcquisitionTest, ListsHoldThePresentModulesOfOnlineBoxes) {
    KestSpec roof;
    roof.Name = "Roof";
    roof.Present = {Module_Type_Total, Module_Type_A, Module_Type_C};
    const int32_t kest = AddKest(roof);
    KestSpec barn;
    barn.Name = "Barn";
    barn.Online = false;
    AddKest(barn);
    // A module of a type the program does not know shows the bare box name.
    Folder->Sql(QString("INSERT INTO modules (module_kest, module_type, module_ispresent, "
                        "module_ischecked_w) VALUES (%1, 99, 1, 1)")
                    .arg(kest));
    UserData->SetModuleChecked(ModuleId(kest, Module_Type_A), true, true);
    UserData->SetModuleChecked(ModuleId(kest, Module_Type_C), false, true);

    Acquisition->BuildWCheckList();
    Acquisition->BuildKWhCheckList();
    EXPECT_FALSE(Acquisition->BuildingWList);
    EXPECT_FALSE(Acquisition->BuildingKWhList);
    ASSERT_EQ(View.W.size(), 4u);
    const QStringList texts = {"Roof (Total)", "Roof (A)", "Roof (C)", "Roof"};
    const std::vector<bool> w = {false, true, false, true};
    const std::vector<bool> kwh = {false, false, true, false};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(View.W[i].Text, texts[int(i)]);
        EXPECT_EQ(View.KWh[i].Text, texts[int(i)]);
        EXPECT_EQ(View.W[i].Checked, w[i]) << i;
        EXPECT_EQ(View.KWh[i].Checked, kwh[i]) << i;
        EXPECT_EQ(View.W[i].ModuleId, View.KWh[i].ModuleId);
    }
    EXPECT_EQ(View.W[1].ModuleId, ModuleId(kest, Module_Type_A));

    // Rebuilding stores nothing; a user's tick is stored.
    EXPECT_FALSE(StoredMark(ModuleId(kest, Module_Type_Total), true));
    View.SetCheckListItemChecked(TModuleList::W, 0, true);
    EXPECT_TRUE(StoredMark(ModuleId(kest, Module_Type_Total), true));
    View.SetCheckListItemChecked(TModuleList::KWh, 2, false);
    EXPECT_FALSE(StoredMark(ModuleId(kest, Module_Type_C), false));
}

TEST_F(AcquisitionTest, ListTextsFollowTheMessageTexts) {
    const int32_t kest = AddKest({});
    Messages.SetText("TotalForKEST", "(Totaal)");
    Acquisition->BuildWCheckList();
    ASSERT_FALSE(View.W.empty());
    EXPECT_EQ(View.W[0].Text, "Roof (Totaal)");
    EXPECT_EQ(View.W[0].ModuleId, ModuleId(kest, Module_Type_Total));
}

TEST_F(AcquisitionTest, AFailedConnectUnchecksTheBoxButKeepsItsHistoryMarks) {
    KestSpec dead;
    dead.Name = "Dead";
    dead.Port = 1;  // nothing listens there
    const int32_t kest = AddKest(dead);
    const int32_t other = AddKest({});
    for (int32_t k : {kest, other}) {
        for (int type : {Module_Type_Total, Module_Type_A}) {
            UserData->SetModuleChecked(ModuleId(k, type), true, true);
            UserData->SetModuleChecked(ModuleId(k, type), false, true);
        }
    }
    Acquisition->BuildWCheckList();
    Acquisition->BuildKWhCheckList();
    View.PerformanceVisible = true;
    Acquisition->RequestModulePower(ModuleId(kest, Module_Type_A));

    EXPECT_EQ(View.Notifications, QStringList{"No response Dead Check the connection"});
    EXPECT_FALSE(Acquisition->UncheckingModules);
    for (int type : {Module_Type_Total, Module_Type_A}) {
        const int32_t id = ModuleId(kest, type);
        EXPECT_FALSE(View.W[size_t(IndexOf(TModuleList::W, id))].Checked);
        EXPECT_FALSE(View.KWh[size_t(IndexOf(TModuleList::KWh, id))].Checked);
        EXPECT_FALSE(StoredMark(id, true));
        EXPECT_TRUE(StoredMark(id, false));
        // The other box keeps everything.
        const int32_t kept = ModuleId(other, type);
        EXPECT_TRUE(View.W[size_t(IndexOf(TModuleList::W, kept))].Checked);
        EXPECT_TRUE(StoredMark(kept, true));
    }
}

TEST_F(AcquisitionTest, OneDownloadRequestPerBox) {
    const int32_t kest = AddBoxAtNoon();
    Acquisition->BuildKWhCheckList();
    Check(TModuleList::KWh, ModuleId(kest, Module_Type_Total));
    Check(TModuleList::KWh, ModuleId(kest, Module_Type_B));
    Acquisition->StartHistoryDownload(Res_Day);

    ASSERT_EQ(Acquisition->DownloadRequests.size(), 1u);
    const TDownloadRequest& r = Acquisition->DownloadRequests[0];
    EXPECT_EQ(r.KestId, kest);
    EXPECT_TRUE(r.Total && r.B);
    EXPECT_FALSE(r.A || r.C);
    EXPECT_EQ(View.DownloadProgressShown, 1);
    TCANMessages* channel = Sessions->ChannelOfKest(kest);
    ASSERT_NE(channel, nullptr);
    EXPECT_TRUE(channel->Downloading);
    EXPECT_TRUE(channel->IncludeTotal && channel->IncludeB);
    EXPECT_FALSE(channel->IncludeA || channel->IncludeC);
    EXPECT_EQ(channel->BlocksExpected, 2 * 366);

    Acquisition->CancelDownloads();
    EXPECT_FALSE(channel->Downloading);
}

TEST_F(AcquisitionTest, MonthAndYearDownloadsCountFromThePCsDate) {
    // The box's clock says 2024: the PC's date alone sets how far back a whole download of
    // months and years goes, years at most 25.
    const int32_t kest = AddBoxAtNoon();
    const struct {
        QDate Today;
        int Months;
        int Years;
    } cases[] = {{QDate(2026, 12, 9), 276, 23}, {QDate(2031, 3, 1), 327, 25}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Today.toString(Qt::ISODate).toStdString());
        const FixedPcClock clock(QDateTime(c.Today, QTime(9, 30), Qt::UTC));
        ASSERT_EQ(Acquisition->RequestHistory(kest, Res_Month, false, true, false, false, true), 0);
        TCANMessages* channel = Sessions->ChannelOfKest(kest);
        ASSERT_NE(channel, nullptr);
        EXPECT_EQ(channel->BlocksPerModule, c.Months);
        ASSERT_EQ(Acquisition->RequestHistory(kest, Res_Year, false, true, false, false, true), 0);
        EXPECT_EQ(channel->BlocksPerModule, c.Years);
    }
    Acquisition->CancelDownloads();
}

TEST_F(AcquisitionTest, AnUnreachableBoxDoesNotStopTheOthers) {
    KestSpec dead;
    dead.Port = 1;
    const int32_t gone = AddKest(dead);
    const int32_t kest = AddBoxAtNoon();
    Acquisition->BuildKWhCheckList();
    Check(TModuleList::KWh, ModuleId(gone, Module_Type_A));
    Check(TModuleList::KWh, ModuleId(kest, Module_Type_A));
    Acquisition->StartHistoryDownload(Res_Ten_Minutes);
    EXPECT_EQ(Acquisition->DownloadRequests.size(), 2u);
    EXPECT_EQ(Sessions->Channels.size(), 1u);
    ASSERT_TRUE(Sessions->IsKestConnected(kest));
    EXPECT_TRUE(Sessions->ChannelOfKest(kest)->Downloading);
    EXPECT_EQ(Acquisition->RequestHistory(gone, Res_Day, true, false, false, false), -1);
    Acquisition->CancelDownloads();
}

TEST_F(AcquisitionTest, TheDownloadListHoldsAtMost128Boxes) {
    std::vector<int32_t> modules;
    QSqlDatabase db = QSqlDatabase::database(UserData->ConnectionName());
    db.transaction();
    for (int i = 0; i < 130; ++i) {
        const int32_t kest = UserData->KestsTableAfterInsert();
        modules.push_back(ModuleId(kest, Module_Type_C));
    }
    db.commit();
    for (int32_t id : modules) {
        Acquisition->AddDownloadModule(id);
    }
    ASSERT_EQ(Acquisition->DownloadRequests.size(), 128u);
    EXPECT_EQ(Acquisition->DownloadRequests.back().KestId, Acquisition->KestOfModule(modules[127]));
    // A module of a box already listed still joins its entry.
    TModuleRow first;
    ASSERT_TRUE(UserData->FindModule(modules[0], &first));
    Acquisition->AddDownloadModule(ModuleId(first.Kest, Module_Type_Total));
    EXPECT_TRUE(Acquisition->DownloadRequests[0].Total && Acquisition->DownloadRequests[0].C);
    // A module id without a row adds nothing.
    Acquisition->DownloadRequests.clear();
    Acquisition->AddDownloadModule(424242);
    EXPECT_TRUE(Acquisition->DownloadRequests.empty());
}

TEST_F(AcquisitionTest, ModuleLookupsAndTheirDefaults) {
    const int32_t kest = AddKest({});
    const int32_t b = ModuleId(kest, Module_Type_B);
    TModuleRow row;
    ASSERT_TRUE(UserData->FindModule(b, &row));
    EXPECT_EQ(Acquisition->ModuleType(b), Module_Type_B);
    EXPECT_EQ(Acquisition->ModulePattern(b), 3);
    EXPECT_EQ(Acquisition->ModuleLineType(b), 3);
    EXPECT_EQ(Acquisition->ModuleColor(b), ModuleColours[size_t(row.Color)]);
    EXPECT_EQ(Acquisition->KestOfModule(b), kest);
    EXPECT_TRUE(Acquisition->IsKestOnline(kest));

    const int32_t none = 31337;
    EXPECT_EQ(Acquisition->ModuleType(none), 0);
    EXPECT_EQ(Acquisition->ModulePattern(none), 1);
    EXPECT_EQ(Acquisition->ModuleLineType(none), 0);
    EXPECT_EQ(Acquisition->ModuleColor(none), 0xFF000000u);  // black
    EXPECT_EQ(Acquisition->KestOfModule(none), 0);
    EXPECT_FALSE(Acquisition->IsKestOnline(none));
    // A colour index out of range reads as black rather than past the table.
    Folder->Sql(QString("UPDATE modules SET module_color = 22 WHERE module_id = %1").arg(b));
    EXPECT_EQ(Acquisition->ModuleColor(b), 0xFF000000u);
}

}  // namespace
}  // namespace datatest

// Box sessions against kestemu and replay files: link handles, the connect outcomes and their
// notification lines, the keep-alive rule, and the orderly end of a session.
#include "DataHarness.h"
#include "monitor/can/CANMessages.h"

namespace datatest {
namespace {

constexpr uint8_t Cmd_Keep_Alive = 0x80;

const QString Monitor_Clock_Reply = "0-32-1-0-9-0-0-232-6-20-4-23-0-0";

int Frames(const kestemu::Emulator& box, uint8_t command) {
    int count = 0;
    for (const auto& frame : box.received()) {
        count += frame.bytes.at(0) == command ? 1 : 0;
    }
    return count;
}

// Asks without touching the entry.
bool LinkEntryEmpty(int32_t handle) {
    int32_t io = 0;
    int32_t reply = 0;
    return Pc2Lan_Get_Com_Param(handle, &io, &reply) == PC2LAN_EMPTY_ENTRY;
}

// A link entry the test holds itself, deleted however the test ends.
class HeldLink {
public:
    HeldLink(int32_t handle, int port) : Handle(handle) {
        Created = Pc2Lan_Create(handle, "127.0.0.1", port, "BasicUser", "basic1234", nullptr,
                                nullptr) == 0;
    }
    ~HeldLink() {
        if (Created) {
            Pc2Lan_Delete(Handle);
        }
    }
    HeldLink(const HeldLink&) = delete;
    HeldLink& operator=(const HeldLink&) = delete;
    bool Created = false;

private:
    int32_t Handle;
};

class SessionTest : public MonitorTest {
protected:
    int32_t AddBox(const QString& name, const kestemu::Emulator& box,
                   const QString& user = "Administrator", const QString& password = "admin1234") {
        KestSpec spec;
        spec.Name = name;
        spec.Port = box.port();
        spec.UserName = user;
        spec.Password = password;
        return AddKest(spec);
    }

    // A box on a loopback port nobody listens on: the connect fails at once.
    int32_t AddUnreachableBox(const QString& name) {
        kestemu::Emulator gone(DefaultBoxConfig());
        EXPECT_TRUE(gone.start());
        KestSpec spec;
        spec.Name = name;
        spec.Port = gone.port();
        gone.stop();
        return AddKest(spec);
    }

    int32_t AddReplayBox(const QString& name, const ReplayBox& replay) {
        KestSpec spec;
        spec.Name = name;
        spec.Ip = Replay_Prefix + replay.Path();
        return AddKest(spec);
    }

    TCANMessages* Channel(int32_t kestId) { return Sessions->ChannelOfKest(kestId); }

    QString SamplesOf(int32_t kestId, int type) {
        return "SELECT * FROM samples WHERE sample_module = " +
               QString::number(ModuleId(kestId, type));
    }
};

TEST_F(SessionTest, StartsWithoutChannelsAndWithAnIdleKeepAliveTimer) {
    EXPECT_TRUE(TKestSessions::LinkLibraryVersionOk());
    EXPECT_TRUE(View.Errors.isEmpty());
    EXPECT_FALSE(View.QuitRequested);
    EXPECT_TRUE(Sessions->Channels.empty());
    EXPECT_EQ(Sessions->NextLinkHandle, 0);
    EXPECT_EQ(View.KeepAlive, 0x6FFFFFFF);
}

// --- Connecting -----------------------------------------------------------------------------

TEST_F(SessionTest, LinkHandlesCountSuccessfulConnectsOnly) {
    auto& roofBox = StartBox();
    auto& barnBox = StartBox();
    const int32_t roof = AddBox("Roof", roofBox);
    const int32_t barn = AddBox("Barn", barnBox, "BasicUser", "basic1234");
    const int32_t shed = AddUnreachableBox("Shed");
    const int32_t garage = AddBox("Garage", roofBox, "Administrator", "wrong1234");

    Sessions->ConnectKest(barn);  // the later box id first
    ASSERT_TRUE(Sessions->IsKestConnected(barn));
    EXPECT_EQ(Channel(barn)->LinkHandle(), 0);
    Sessions->ConnectKest(shed);
    Sessions->ConnectKest(garage);
    EXPECT_FALSE(Sessions->IsKestConnected(shed));
    EXPECT_FALSE(Sessions->IsKestConnected(garage));
    EXPECT_EQ(Sessions->NextLinkHandle, 1);
    EXPECT_TRUE(LinkEntryEmpty(1));

    Sessions->ConnectKest(roof);
    ASSERT_TRUE(Sessions->IsKestConnected(roof));
    EXPECT_EQ(Channel(roof)->LinkHandle(), 1);
    EXPECT_EQ(Sessions->NextLinkHandle, 2);
    ASSERT_EQ(Sessions->Channels.size(), 2u);
    EXPECT_EQ(Sessions->ChannelIndexOfKest(barn), 0);
    EXPECT_EQ(Sessions->ChannelIndexOfKest(roof), 1);

    // Each channel as the session leaves it: its box's level, the probe's clock, both
    // notifications bound.
    for (const auto& [kest, level] : {std::pair{barn, 3}, std::pair{roof, 4}}) {
        const TCANMessages& channel = *Channel(kest);
        EXPECT_EQ(channel.KestId(), kest);
        EXPECT_EQ(channel.InterfaceType(), 0);
        EXPECT_EQ(channel.AccessLevel, level);
        EXPECT_TRUE(channel.MonitorClockValid);
        EXPECT_TRUE(channel.OnSample);
        EXPECT_TRUE(channel.OnThreadEnded);
    }
}

TEST_F(SessionTest, RefusedLoginDeletesItsLinkAndUnchecksTheBoxModules) {
    auto& box = StartBox();
    const int32_t roof = AddBox("Roof", box, "Administrator", "wrong1234");
    const int32_t total = ModuleId(roof, Module_Type_Total);
    Acquisition->SetModuleCheckedW(total, true);
    Acquisition->BuildWCheckList();
    ASSERT_TRUE(std::any_of(View.W.begin(), View.W.end(), [](const auto& i) { return i.Checked; }));

    Sessions->ConnectKest(roof);
    EXPECT_EQ(View.Notifications,
              QStringList{"No response Roof Login failed: Check username and password."});
    EXPECT_TRUE(Sessions->Channels.empty());
    EXPECT_EQ(Sessions->NextLinkHandle, 0);
    EXPECT_TRUE(LinkEntryEmpty(0));
    for (const TCheckListItem& item : View.W) {
        EXPECT_FALSE(item.Checked) << item.Text.toStdString();
    }
    TModuleRow row;
    ASSERT_TRUE(UserData->FindModule(total, &row));
    EXPECT_FALSE(row.IsCheckedW);
}

TEST_F(SessionTest, UnknownBoxIsReportedWithTheTextsOfTheMoment) {
    Sessions->ConnectKest(4711);
    Messages.SetText("Connect_NoResponse", "Geen antwoord");
    Messages.SetText("Connect_NoResponseSolution", "Controleer de verbinding");
    Sessions->ConnectKest(-1);
    EXPECT_EQ(View.Notifications, (QStringList{"No response Unknown Check the connection",
                                               "Geen antwoord Unknown Controleer de verbinding"}));
    EXPECT_EQ(Sessions->NextLinkHandle, 0);
    EXPECT_TRUE(View.WaitTexts.isEmpty());
    EXPECT_EQ(View.WaitCloses, 2);
    EXPECT_TRUE(View.InputEnabled);
    EXPECT_EQ(Sessions->KestName(4711), "Unknown");
}

TEST_F(SessionTest, WaitWindowAndInputComeBackOnEveryOutcome) {
    auto& box = StartBox();
    const int32_t roof = AddBox("Roof", box);
    const int32_t barn = AddBox("Barn", box, "BasicUser", "nope1234");
    const int32_t shed = AddUnreachableBox("Shed");

    Sessions->ConnectKest(roof);
    ASSERT_TRUE(Sessions->IsKestConnected(roof));
    EXPECT_EQ(View.WaitTexts, QStringList{"Connecting to Roof"});

    const struct {
        int32_t kest;
        int32_t handle;
        QStringList waitTexts;
    } cases[] = {
        {roof, Open_Already_Connected, {}},
        {barn, Open_Login_Refused, {"Connecting to Barn"}},
        {shed, Open_Connect_Failed, {"Connecting to Shed"}},
        {99, Open_Unknown_Kest, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.handle);
        View.WaitTexts.clear();
        const int closes = View.WaitCloses;
        const int disabled = View.InputDisabledCount;
        EXPECT_EQ(Sessions->OpenKestLink(c.kest).Handle, c.handle);
        EXPECT_EQ(View.WaitTexts, c.waitTexts);
        EXPECT_FALSE(View.WaitShowing);
        EXPECT_EQ(View.WaitCloses, closes + 1);
        EXPECT_EQ(View.InputDisabledCount, disabled + (c.waitTexts.isEmpty() ? 0 : 1));
        EXPECT_TRUE(View.InputEnabled);
    }
    EXPECT_EQ(Sessions->NextLinkHandle, 1);

    Sessions->ConnectKest(roof);  // a live session is left as it is, without a word
    EXPECT_TRUE(View.Notifications.isEmpty());
    EXPECT_EQ(Sessions->Channels.size(), 1u);
}

TEST_F(SessionTest, ProbeFailureAfterLoginDeletesTheLink) {
    kestemu::Config config = DefaultBoxConfig();
    config.faults.close_after = 2;  // the login and the session time are answered, then the line
    auto& box = StartBox(config);
    const int32_t roof = AddBox("Roof", box);

    Sessions->ConnectKest(roof);
    EXPECT_TRUE(Sessions->Channels.empty());
    EXPECT_EQ(View.Notifications, QStringList{"No response Roof Check the connection"});
    EXPECT_EQ(Sessions->NextLinkHandle, 1);  // the login succeeded: its handle is used up
    EXPECT_TRUE(LinkEntryEmpty(0));
}

TEST_F(SessionTest, HandlesWrapAfter255AndAnOccupiedHandleIsRefused) {
    auto& box = StartBox();
    const int32_t roof = AddBox("Roof", box);
    const int32_t barn = AddBox("Barn", box);

    Sessions->NextLinkHandle = 255;
    Sessions->ConnectKest(roof);
    ASSERT_TRUE(Sessions->IsKestConnected(roof));
    EXPECT_EQ(Channel(roof)->LinkHandle(), 255);
    EXPECT_EQ(Sessions->NextLinkHandle, 0);

    {
        const HeldLink held(0, box.port());
        ASSERT_TRUE(held.Created);
        Sessions->ConnectKest(barn);
        EXPECT_FALSE(Sessions->IsKestConnected(barn));
        EXPECT_EQ(View.Notifications, QStringList{"No response Barn Check the connection"});
        EXPECT_EQ(Sessions->OpenKestLink(barn).Handle, Open_Create_Refused);
        EXPECT_EQ(Sessions->NextLinkHandle, 0);
    }
    Sessions->ConnectKest(barn);
    ASSERT_TRUE(Sessions->IsKestConnected(barn));
    EXPECT_EQ(Channel(barn)->LinkHandle(), 0);
}

// --- Keep-alive -----------------------------------------------------------------------------

TEST_F(SessionTest, KeepAliveIntervalIsHalfTheShortestSessionTime) {
    const struct {
        uint16_t minutes;
        int interval;
    } steps[] = {{10, 300000}, {30, 300000}, {4, 120000}, {0, 0}};
    for (const auto& step : steps) {
        kestemu::Config config = DefaultBoxConfig();
        config.session_minutes = step.minutes;
        const int32_t kest = AddBox("Box " + QString::number(step.minutes), StartBox(config));
        Sessions->ConnectKest(kest);
        ASSERT_TRUE(Sessions->IsKestConnected(kest));
        EXPECT_EQ(View.KeepAlive, step.interval) << step.minutes << " minutes";
    }
}

TEST_F(SessionTest, KeepAliveSkipsTheLiveViewAndDownloadingBoxes) {
    auto& idleBox = StartBox();
    auto& busyBox = StartBox();
    const int32_t idle = AddBox("Roof", idleBox);
    const int32_t busy = AddBox("Barn", busyBox);
    Sessions->ConnectKest(idle);
    Sessions->ConnectKest(busy);
    ASSERT_EQ(Sessions->Channels.size(), 2u);

    View.PerformanceVisible = true;
    Sessions->KeepAliveAll();
    EXPECT_EQ(Frames(idleBox, Cmd_Keep_Alive), 0);
    EXPECT_EQ(Frames(busyBox, Cmd_Keep_Alive), 0);

    View.PerformanceVisible = false;
    Channel(busy)->StartHistory(true, false, false, false, Res_Ten_Minutes);
    ASSERT_TRUE(Channel(busy)->Downloading);
    Sessions->KeepAliveAll();
    EXPECT_TRUE(WaitFor([&] { return Frames(idleBox, Cmd_Keep_Alive) == 1; }));
    EXPECT_EQ(Frames(busyBox, Cmd_Keep_Alive), 0);
}

// --- Ending sessions ------------------------------------------------------------------------

TEST_F(SessionTest, DisconnectKestFreesTheLinkAndWritesTwoLines) {
    auto& box = StartBox();
    const int32_t roof = AddBox("Roof", box);
    Sessions->ConnectKest(roof);
    ASSERT_TRUE(Sessions->IsKestConnected(roof));

    DebugCapture debug;
    Sessions->DisconnectKest(roof);
    EXPECT_TRUE(Sessions->Channels.empty());
    EXPECT_EQ(View.Notifications,
              (QStringList{"No response Roof. Check the connection.", "Disconnected from Roof."}));
    EXPECT_TRUE(debug.Contains("Disconnected from SID " + QString::number(roof)));
    EXPECT_EQ(View.Deselected, 0);  // a session ended here does not come back through the view
    EXPECT_TRUE(LinkEntryEmpty(0));
    EXPECT_TRUE(WaitFor([&] { return box.open_connections() == 0; }));

    Sessions->DisconnectKest(roof);
    EXPECT_TRUE(debug.Contains("***FAILED to disconnected SID " + QString::number(roof)));
    EXPECT_EQ(View.Notifications.size(), 2);
}

TEST_F(SessionTest, AFailingWorkerEndsItsSessionThroughTheView) {
    const ReplayBox replay("[00-20-08-00-00]\nREQ0000=" + Monitor_Clock_Reply +
                           "\n[08-31-08-02-00]\nREQ0000=no reply at all\n");
    const int32_t kest = AddReplayBox("Cellar", replay);
    Sessions->ConnectKest(kest);
    ASSERT_TRUE(Sessions->IsKestConnected(kest));

    DebugCapture debug;
    Channel(kest)->Enqueue(MakeCanRequest(Addr_Inverter_B, Obj_Actual_Power, Act_Read, 2));
    ASSERT_TRUE(WaitFor([&] { return Sessions->Channels.empty(); }));
    EXPECT_EQ(View.Deselected, 1);
    EXPECT_EQ(View.Notifications, (QStringList{"No response Cellar. Check the connection.",
                                               "Disconnected from Cellar."}));
    EXPECT_TRUE(debug.Contains("Disconnected from SID " + QString::number(kest)));
}

TEST_F(SessionTest, StopAllChannelsEndsEverySessionInOrder) {
    auto& box = StartBox();
    const int32_t roof = AddBox("Roof", box);
    const int32_t barn = AddBox("Barn", box);
    Sessions->ConnectKest(roof);
    Sessions->ConnectKest(barn);
    ASSERT_EQ(Sessions->Channels.size(), 2u);

    Sessions->StopAllChannels();
    EXPECT_EQ(Sessions->Channels.size(), 2u);  // it neither waits nor removes
    ASSERT_TRUE(WaitFor([&] { return Sessions->Channels.empty(); }));
    EXPECT_EQ(View.Deselected, 2);
    EXPECT_EQ(View.Notifications.size(), 4);
    EXPECT_TRUE(View.Notifications.contains("Disconnected from Roof."));
    EXPECT_TRUE(View.Notifications.contains("Disconnected from Barn."));
    EXPECT_TRUE(LinkEntryEmpty(0));
    EXPECT_TRUE(LinkEntryEmpty(1));
}

TEST_F(SessionTest, ALostBoxKeepsItsSamplesAndIsReplacedOnReconnect) {
    kestemu::Config config = DefaultBoxConfig();
    // Login, session time, probe, the download's clock request and two history blocks.
    config.faults.close_after = 6;
    auto& box = StartBox(config);
    const int32_t roof = AddBox("Roof", box);
    Sessions->ConnectKest(roof);
    ASSERT_TRUE(Sessions->IsKestConnected(roof));
    TCANMessages* lost = Channel(roof);
    lost->RequestDelay = 1;
    lost->StartHistory(true, false, false, false, Res_Ten_Minutes);
    ASSERT_TRUE(WaitFor([&] { return lost->LinkError.load(); }));
    EXPECT_FALSE(Sessions->IsKestConnected(roof));
    const int stored = Count(SamplesOf(roof, Module_Type_Total));
    EXPECT_GT(stored, 0);

    box.set_faults(kestemu::Faults{});
    Sessions->ConnectKest(roof);
    ASSERT_TRUE(Sessions->IsKestConnected(roof));
    ASSERT_EQ(Sessions->Channels.size(), 1u);
    EXPECT_EQ(Channel(roof)->LinkHandle(), 1);
    EXPECT_TRUE(LinkEntryEmpty(0));
    EXPECT_EQ(View.Deselected, 0);
    EXPECT_EQ(View.Notifications,
              QStringList({"No response Roof. Check the connection.", "Disconnected from Roof."}));
    EXPECT_EQ(Count(SamplesOf(roof, Module_Type_Total)), stored);
}

// --- Replay boxes ---------------------------------------------------------------------------

TEST_F(SessionTest, ReplayBoxCarriesRequestsWithoutALink) {
    const ReplayBox replay("[00-20-08-00-00]\nREQ0000=" + Monitor_Clock_Reply +
                           "\nREQ0001=[LOOP]\n"
                           "[08-31-08-02-00]\nREQ0000=8-49-1-2-4-0-0-210-4\n"
                           "[00-41-07-02-09-80-7D-00-00-00-00-00-00-01]\n"
                           "REQ0000=0-65-1-2-10-128-125-232-1-1-1-0-0-100-0\n");
    auto& box = StartBox();
    const int32_t cellar = AddReplayBox("Cellar", replay);
    const int32_t roof = AddBox("Roof", box);

    Sessions->ConnectKest(cellar);
    ASSERT_TRUE(Sessions->IsKestConnected(cellar));
    TCANMessages& channel = *Channel(cellar);
    EXPECT_EQ(channel.InterfaceType(), 2);
    EXPECT_EQ(channel.LinkHandle(), 0);
    EXPECT_EQ(channel.AccessLevel, 0);
    EXPECT_TRUE(channel.MonitorClockValid);
    EXPECT_EQ(Sessions->NextLinkHandle, 0);
    EXPECT_TRUE(LinkEntryEmpty(0));
    EXPECT_EQ(View.WaitTexts, QStringList{"Connecting to Cellar"});
    EXPECT_EQ(View.KeepAlive, Keep_Alive_Start_Interval);

    channel.Enqueue(MakeCanRequest(Addr_Inverter_B, Obj_Actual_Power, Act_Read, 2));
    EXPECT_TRUE(WaitFor([&] { return channel.PowerB == 1234; }));
    channel.StartHistory(true, false, false, false, Res_Year);
    EXPECT_TRUE(WaitFor([&] { return Count(SamplesOf(cellar, Module_Type_Total)) == 1; }));
    channel.CancelHistory();

    // Handle 0 goes to the real box; the replay channel's session calls never reach it.
    Sessions->ConnectKest(roof);
    ASSERT_TRUE(Sessions->IsKestConnected(roof));
    EXPECT_EQ(Channel(roof)->LinkHandle(), 0);
    Sessions->KeepAliveAll();
    Sessions->DisconnectKest(cellar);
    EXPECT_EQ(Frames(box, Cmd_Keep_Alive), 1);
    EXPECT_TRUE(Sessions->IsKestConnected(roof));
    EXPECT_EQ(Pc2Lan_Keep_Alive(0), 0);
    EXPECT_EQ(View.Notifications.size(), 2);
}

TEST_F(SessionTest, ASecondReplayBoxEndsTheFirstOnesSession) {
    const QString clock = "[00-20-08-00-00]\nREQ0000=" + Monitor_Clock_Reply + "\nREQ0001=[LOOP]\n";
    const ReplayBox cellarFile(clock + "[08-31-08-02-00]\nREQ0000=8-49-1-2-4-0-0-210-4\n");
    const ReplayBox atticFile(clock + "[08-31-08-02-00]\nREQ0000=8-49-1-2-4-0-0-100-0\n");
    const int32_t cellar = AddReplayBox("Cellar", cellarFile);
    const int32_t attic = AddReplayBox("Attic", atticFile);
    Acquisition->BuildWCheckList();
    for (int i = 0; i < int(View.W.size()); ++i) {
        View.SetCheckListItemChecked(TModuleList::W, i, true);
    }
    Sessions->ConnectKest(cellar);
    ASSERT_TRUE(Sessions->IsKestConnected(cellar));

    Sessions->ConnectKest(attic);
    ASSERT_EQ(Sessions->Channels.size(), 1u);
    ASSERT_TRUE(Sessions->IsKestConnected(attic));
    EXPECT_EQ(View.Notifications, QStringList({"No response Cellar. Check the connection.",
                                               "Disconnected from Cellar."}));
    // The cellar's modules are unchecked, so the next scan does not take the file back.
    for (const TCheckListItem& item : View.W) {
        EXPECT_EQ(item.Checked, Acquisition->KestOfModule(item.ModuleId) == attic)
            << item.Text.toStdString();
    }
    TCANMessages& channel = *Channel(attic);
    channel.Enqueue(MakeCanRequest(Addr_Inverter_B, Obj_Actual_Power, Act_Read, 2));
    EXPECT_TRUE(WaitFor([&] { return channel.PowerB == 100; }));
}

TEST_F(SessionTest, ReplayBoxWhoseProbeCannotBeReadGetsNoChannel) {
    const ReplayBox replay("[00-20-08-00-00]\nREQ0000=not-a-reply\n");
    const int32_t cellar = AddReplayBox("Cellar", replay);
    Sessions->ConnectKest(cellar);
    EXPECT_TRUE(Sessions->Channels.empty());
    EXPECT_EQ(View.Notifications, QStringList{"No response Cellar Check the connection"});
    EXPECT_FALSE(View.WaitShowing);
}

}  // namespace
}  // namespace datatest

#include "Sessions.h"

#include <QTimer>
#include <algorithm>

#include "CANMessages.h"
#include "DebugLog.h"
#include "MainView.h"
#include "MessageFrm.h"
#include "VirtualKest.h"
#include "dmUser.h"

namespace {

constexpr const char* Dll_Too_Old =
    "ERROR: DLL Version too old. Please update or reinstall software.";
constexpr int32_t Connect_Login_Refused = -12;
constexpr int32_t Connect_Reserved = 2;

// A replay channel has no link; one whose worker has ended has lost its link already, and its
// handle may belong to another box by now.
bool HoldsOpenLink(const TCANMessages& channel) {
    return channel.InterfaceType() == Interface_Link && channel.Thread != nullptr;
}

// The main window takes no input while a box is being connected; whatever way the attempt
// ends, input comes back and the wait window goes.
class TConnectWindow {
public:
    explicit TConnectWindow(TKestSessions& sessions) : Sessions(sessions) {}
    ~TConnectWindow() {
        Sessions.View().SetInputEnabled(true);
        Sessions.CloseWait();
    }
    TConnectWindow(const TConnectWindow&) = delete;
    TConnectWindow& operator=(const TConnectWindow&) = delete;

private:
    TKestSessions& Sessions;
};

}  // namespace

TKestSessions::TKestSessions(TUserData& userData, TMainView& view, const TMsgForm& messages)
    : UserData(userData), MainView(view), Texts(messages) {}

TKestSessions::~TKestSessions() {
    // No channel may reach the main window any more, not even from the event loop that waits
    // for another channel's worker.
    for (auto& channel : Channels) {
        channel->OnThreadEnded = nullptr;
    }
    while (!Channels.empty()) {
        RemoveChannel(0);
    }
}

void TKestSessions::InitSessions() {
    if (!LinkLibraryVersionOk()) {
        MainView.ShowError(QString::fromLatin1(Dll_Too_Old));
        MainView.RequestQuit();
    }
    while (!Channels.empty()) {
        RemoveChannel(0);
    }
    MainView.SetKeepAliveInterval(Keep_Alive_Start_Interval);
}

bool TKestSessions::LinkLibraryVersionOk() {
    return Pc2Lan_Dll_Version() >= Lowest_Link_Library_Version;
}

TConnectionInfo TKestSessions::OpenKestLink(int32_t kestId) {
    bool replay = false;
    QString replayFile;
    return OpenKest(kestId, &replay, &replayFile);
}

TConnectionInfo TKestSessions::OpenKest(int32_t kestId, bool* replay, QString* replayFile) {
    *replay = false;
    replayFile->clear();
    TConnectionInfo info;
    const TConnectWindow window(*this);
    if (IsKestConnected(kestId)) {
        info.Handle = Open_Already_Connected;
        return info;
    }
    TKestRow row;
    if (!UserData.FindKest(kestId, &row)) {
        info.Handle = Open_Unknown_Kest;
        return info;
    }

    MainView.SetInputEnabled(false);
    ShowWait(Text("Connect_ConnectingTo") + ' ' + row.Name);

    const QString prefix = QString::fromLatin1(Replay_Prefix);
    if (row.Ip.startsWith(prefix)) {
        *replay = true;
        *replayFile = row.Ip.mid(prefix.size());
        EndOtherReplaySessions(kestId);
        SimulatedKests::Add(0, *replayFile);
        info.Handle = 0;
        info.UserName = row.UserName;
        info.AccessLevel = 0;
        return info;
    }

    // The box takes 8-bit texts, one byte per character.
    const QByteArray host = row.Ip.toLatin1();
    const QByteArray user = row.UserName.toLatin1();
    const QByteArray password = row.Password.toLatin1();
    const uint8_t handle = NextLinkHandle;
    if (Pc2Lan_Create(handle, host.constData(), int32_t(uint16_t(row.Port)), user.constData(),
                      password.constData(), "", "") != 0) {
        info.Handle = Open_Create_Refused;
        return info;
    }
    int32_t level = 0;
    const int32_t connected = Pc2Lan_Connect(handle, &level, Connect_Reserved);
    if (connected < 0) {
        Pc2Lan_Delete(handle);
        info.Handle = connected == Connect_Login_Refused ? Open_Login_Refused : Open_Connect_Failed;
        return info;
    }
    int32_t first = 0;
    int32_t sessionMinutes = 0;
    if (Pc2Lan_Get_Session_Time(handle, &first, &sessionMinutes) >= 0) {
        LowerKeepAliveInterval(sessionMinutes);
    }
    info.Handle = handle;
    info.UserName = row.UserName;
    info.AccessLevel = level;
    ++NextLinkHandle;
    return info;
}

void TKestSessions::LowerKeepAliveInterval(int32_t sessionMinutes) {
    if (sessionMinutes < 0) {
        return;
    }
    // Half the box's idle limit, so that an idle link is touched twice before the box drops it.
    const int64_t half = (int64_t(sessionMinutes) * 60000 + 1) / 2;
    if (half < MainView.KeepAliveInterval()) {
        MainView.SetKeepAliveInterval(int(half));
    }
}

bool TKestSessions::Probe(int32_t handle, bool replay, CanMessage* reply) {
    const CanMessage request = MakeCanRequest(Addr_Monitor, Obj_Monitor_Clock, Act_Read, 0);
    *reply = {};
    if (!replay) {
        return Pc2Lan_Can_Request(handle, &request, reply) == Can_Result_Ok;
    }
    try {
        return SimulateRequest(request, *reply, 0) == Can_Result_Ok;
    } catch (const TConversionError& e) {
        DebugLine("***Replay probe failed: " + QString::fromUtf8(e.what()));
        return false;
    }
}

void TKestSessions::ConnectKest(int32_t kestId) {
    RetireFailedChannels(kestId);
    bool replay = false;
    QString replayFile;
    const TConnectionInfo info = OpenKest(kestId, &replay, &replayFile);
    if (info.Handle == Open_Already_Connected) {
        return;  // the box has a live session: nothing failed
    }
    if (info.Handle >= 0) {
        CanMessage reply;
        if (Probe(info.Handle, replay, &reply)) {
            AddChannel(kestId, replay ? Interface_Replay : Interface_Link,
                       replay ? 0 : uint8_t(info.Handle), info.AccessLevel, reply);
            return;
        }
        if (!replay) {
            // Nothing would use this link again.
            Pc2Lan_Disconnect(info.Handle);
            Pc2Lan_Delete(info.Handle);
        }
    }
    const QString solution = info.Handle == Open_Login_Refused ? Text("Connect_LoginFailed")
                                                               : Text("Connect_NoResponseSolution");
    ShowNotification(Text("Connect_NoResponse") + ' ' + KestName(kestId) + ' ' + solution);
    if (UncheckModules) {
        const auto uncheck = UncheckModules;
        uncheck(kestId);
    }
}

TCANMessages* TKestSessions::AddChannel(int32_t kestId, uint8_t interfaceType, uint8_t link,
                                        int32_t accessLevel, const CanMessage& probeReply) {
    Channels.push_back(std::make_unique<TCANMessages>(kestId, interfaceType, link));
    TCANMessages* channel = Channels.back().get();
    try {
        channel->DecodeReply(Addr_Monitor, probeReply.Header[Hdr_Object], true, probeReply.Data,
                             uint8_t(std::min<int>(probeReply.Length, Can_Data_Bytes)));
    } catch (const std::exception& e) {
        DebugLine("***Probe reply not decoded for SID " + QString::number(kestId) + ": " +
                  QString::fromUtf8(e.what()));
    }
    channel->OnThreadEnded = [this](TCANMessages* ended) { MainView.DeselectDisconnect(ended); };
    channel->OnSample = [this](TCANMessages* sender) {
        if (UserData.SaveYield(sender) == TSaveResult::Failed &&
            !UserData.LastSaveError.isEmpty()) {
            StoreFailed(sender);
        }
    };
    channel->AccessLevel = accessLevel;
    return channel;
}

TCANMessages* TKestSessions::AdoptLink(int32_t kestId, const TLinkOpening& opening) {
    if (opening.Handle < 0 || ChannelOfKest(kestId) != nullptr) {
        return nullptr;
    }
    LowerKeepAliveInterval(opening.SessionMinutes);
    return AddChannel(kestId, Interface_Link, uint8_t(opening.Handle), opening.AccessLevel,
                      opening.ProbeReply);
}

bool TKestSessions::LinkHandleInUse(uint8_t handle) const {
    return std::any_of(Channels.begin(), Channels.end(), [handle](const auto& channel) {
        return channel->InterfaceType() == Interface_Link && channel->LinkHandle() == handle;
    });
}

TLinkOpening OpenLink(uint8_t handle, const TKestRow& row) {
    TLinkOpening opening;
    const QByteArray host = row.Ip.toLatin1();
    const QByteArray user = row.UserName.toLatin1();
    const QByteArray password = row.Password.toLatin1();
    auto create = [&] {
        return Pc2Lan_Create(handle, host.constData(), int32_t(uint16_t(row.Port)),
                             user.constData(), password.constData(), "", "");
    };
    int32_t created = create();
    if (created == PC2LAN_EMPTY_ENTRY) {
        // The entry of a session that ended without freeing its link.
        Pc2Lan_Delete(handle);
        created = create();
    }
    if (created != 0) {
        opening.Handle = Open_Create_Refused;
        return opening;
    }
    int32_t level = 0;
    const int32_t connected = Pc2Lan_Connect(handle, &level, Connect_Reserved);
    if (connected < 0) {
        Pc2Lan_Delete(handle);
        opening.Handle =
            connected == Connect_Login_Refused ? Open_Login_Refused : Open_Connect_Failed;
        return opening;
    }
    int32_t first = 0;
    int32_t minutes = 0;
    if (Pc2Lan_Get_Session_Time(handle, &first, &minutes) >= 0) {
        opening.SessionMinutes = minutes;
    }
    // The box sends at most 80 serial characters and a terminating zero.
    char serial[128] = {};
    if (Pc2Lan_Get_Serial(handle, serial) == 0) {
        opening.Serial = QString::fromLatin1(serial, int(qstrnlen(serial, sizeof serial - 1)));
    }
    // The firmware's version, 0x0203 for 2.03; the hardware's is not asked for.
    int32_t firmware = 0;
    if (Pc2Lan_Get_Version(handle, &firmware, nullptr) == 0) {
        opening.Version = QString::number((firmware >> 8) & 0xFF, 16) + '.' +
                          QString::number(firmware & 0xFF, 16).rightJustified(2, QChar('0'));
    }
    const CanMessage request = MakeCanRequest(Addr_Monitor, Obj_Monitor_Clock, Act_Read, 0);
    if (Pc2Lan_Can_Request(handle, &request, &opening.ProbeReply) != Can_Result_Ok) {
        Pc2Lan_Disconnect(handle);
        Pc2Lan_Delete(handle);
        opening.Handle = Open_Connect_Failed;
        return opening;
    }
    opening.Handle = handle;
    opening.AccessLevel = level;
    return opening;
}

void TKestSessions::EndOtherReplaySessions(int32_t kestId) {
    // One replay box plays at a time. Another one's channel would go on asking box 0 and store
    // the new file's values under its own modules, so its session ends first, and its modules
    // are unchecked so that the next scan does not take the file back.
    for (;;) {
        const auto other = std::find_if(Channels.begin(), Channels.end(), [kestId](const auto& c) {
            return c->InterfaceType() == Interface_Replay && c->KestId() != kestId;
        });
        if (other == Channels.end()) {
            return;
        }
        const int32_t otherKest = (*other)->KestId();
        if (UncheckModules) {
            const auto uncheck = UncheckModules;
            uncheck(otherKest);
        }
        DisconnectKest(otherKest);
    }
}

void TKestSessions::StoreFailed(TCANMessages* channel) {
    // A full disk refuses every later sample of the download as well: going on would only look
    // like success. What was stored before stays; the next download, once there is room again,
    // fetches the same periods afresh.
    const int32_t kestId = channel->KestId();
    if (!channel->Downloading || StoreFailures.count(kestId) != 0) {
        return;
    }
    StoreFailures.insert(kestId);
    DebugLine("***Download of SID " + QString::number(kestId) +
              " ended: samples not stored: " + UserData.LastSaveError);
    const QString text = KestName(kestId) + ": " + UserData.LastSaveError;
    // Not inside the worker's step that brought the sample: the error box runs an event loop of
    // its own, in which the other channels' steps go on.
    QTimer::singleShot(0, Deferred.get(), [this, kestId, text] {
        if (TCANMessages* refused = ChannelOfKest(kestId);
            refused != nullptr && refused->Downloading) {
            refused->CancelHistory();
        }
        MainView.ShowError(text);
        StoreFailures.erase(kestId);
    });
}

void TKestSessions::RetireFailedChannels(int32_t kestId) {
    // A lost link keeps its worker retrying without end. Its session ends here, with the two
    // lines of a disconnection, so that the box never has two channels and the user learns that
    // the previous session was lost.
    while (ChannelOfKest(kestId) != nullptr && ChannelOfKest(kestId)->LinkError.load()) {
        DebugLine("***Retiring failed link of SID " + QString::number(kestId));
        DisconnectKest(kestId);
    }
}

void TKestSessions::DisconnectKest(int32_t kestId) {
    if (ChannelIndexOfKest(kestId) < 0) {
        DebugLine("***FAILED to disconnected SID " + QString::number(kestId));
        return;
    }
    CloseKest(kestId);
    ShowNotification(Text("Connect_NoResponse") + ' ' + KestName(kestId) + ". " +
                     Text("Connect_NoResponseSolution") + '.');
    ShowNotification(Text("Connect_DisconnectedFrom") + ' ' + KestName(kestId) + '.');
}

void TKestSessions::CloseKest(int32_t kestId) {
    const int index = ChannelIndexOfKest(kestId);
    if (index < 0) {
        return;
    }
    TCANMessages* channel = Channels[size_t(index)].get();
    channel->TerminateThread();
    if (HoldsOpenLink(*channel)) {
        Pc2Lan_Disconnect(channel->LinkHandle());
        Pc2Lan_Delete(channel->LinkHandle());
    }
    RemoveChannel(index);
    DebugLine("Disconnected from SID " + QString::number(kestId));
}

void TKestSessions::RemoveChannel(int index) {
    if (index < 0 || size_t(index) >= Channels.size()) {
        return;
    }
    // Out of the list before it is freed: its destructor waits for the worker in an event loop,
    // which may run other steps that walk or change Channels.
    std::unique_ptr<TCANMessages> channel = std::move(Channels[size_t(index)]);
    Channels.erase(Channels.begin() + index);
    channel->OnThreadEnded = nullptr;
    ++ChannelsBeingFreed;
    channel.reset();
    --ChannelsBeingFreed;
}

void TKestSessions::StopAllChannels() {
    for (size_t i = 0; i < Channels.size(); ++i) {
        Channels[i]->TerminateThread();
    }
}

void TKestSessions::KeepAliveAll() {
    if (MainView.CurrentPerformanceVisible()) {
        return;
    }
    for (size_t i = 0; i < Channels.size(); ++i) {
        const TCANMessages& channel = *Channels[i];
        if (!channel.Downloading && HoldsOpenLink(channel)) {
            Pc2Lan_Keep_Alive(channel.LinkHandle());
        }
    }
}

int TKestSessions::ChannelIndexOfKest(int32_t kestId) const {
    if (kestId < 0) {
        return -1;
    }
    for (size_t i = 0; i < Channels.size(); ++i) {
        if (Channels[i]->KestId() == kestId) {
            return int(i);
        }
    }
    return -1;
}

bool TKestSessions::IsKestConnected(int32_t kestId) const {
    const int index = ChannelIndexOfKest(kestId);
    return index >= 0 && !Channels[size_t(index)]->LinkError.load();
}

TCANMessages* TKestSessions::ChannelOfKest(int32_t kestId) const {
    const int index = ChannelIndexOfKest(kestId);
    return index >= 0 ? Channels[size_t(index)].get() : nullptr;
}

QString TKestSessions::KestName(int32_t kestId) {
    TKestRow row;
    return UserData.FindKest(kestId, &row) ? row.Name : QStringLiteral("Unknown");
}

void TKestSessions::ShowNotification(const QString& text) {
    MainView.ShowNotification(text);
}

void TKestSessions::ShowWait(const QString& text) {
    MainView.ShowWait(text);
}

void TKestSessions::CloseWait() {
    MainView.CloseWait();
}

QString TKestSessions::Text(const char* label) const {
    return Texts.Text(QString::fromLatin1(label));
}

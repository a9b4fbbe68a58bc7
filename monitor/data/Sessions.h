// Box sessions: a box id of the user database becomes a live session on demand. Opening logs the
// box's link in, proves with one CAN request that the monitor module answers, and creates the
// box's channel; idle links are kept alive; a session whose worker has ended is torn down with
// two notification lines. Everything runs on the main thread.
//
// A box whose kest_ip is "replay:" followed by a file path is played by the replay-file box
// instead: no link is created, the file serves replay box 0, and the channel sends to it.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "Pc2Lan.h"

class TCANMessages;
class TMainView;
class TMsgForm;
class TUserData;
struct TKestRow;

struct TConnectionInfo {
    int32_t Handle = -1;  // the link handle 0..255, or a negative result of OpenKestLink
    QString UserName;
    int32_t AccessLevel = 0;
};

// Results of OpenKestLink besides a handle.
constexpr int32_t Open_Connect_Failed = -1;
constexpr int32_t Open_Create_Refused = -2;
constexpr int32_t Open_Unknown_Kest = -3;
constexpr int32_t Open_Already_Connected = -4;
constexpr int32_t Open_Login_Refused = -5;

// A link opened away from the main thread: created, logged in, and proven by the monitor clock
// request, as ConnectKest does it, with the box's serial number and software version read too.
struct TLinkOpening {
    int32_t Handle = Open_Connect_Failed;  // the link handle, or a negative Open_ result
    int32_t AccessLevel = 0;
    int32_t SessionMinutes = -1;  // the box's idle limit; -1 when it did not say
    CanMessage ProbeReply = {};
    QString Serial;
    QString Version;  // the firmware's, "2.03"
};

// Opens link handle to the box of row, which must not be a replay box. It blocks for as long as
// the link's time-outs allow and touches nothing but the link library, whose calls any thread
// may make, so a caller that must not wait runs it on a thread of its own. A failed opening
// (Handle < 0) leaves no link behind; a handle left over from an earlier link is freed first.
TLinkOpening OpenLink(uint8_t handle, const TKestRow& row);

constexpr int32_t Lowest_Link_Library_Version = 10000;
constexpr int Keep_Alive_Start_Interval = 0x6FFFFFFF;  // ms: in effect never
constexpr const char* Replay_Prefix = "replay:";

class TKestSessions {
public:
    TKestSessions(TUserData& userData, TMainView& view, const TMsgForm& messages);
    ~TKestSessions();  // stops and frees every channel, waiting for their workers
    TKestSessions(const TKestSessions&) = delete;
    TKestSessions& operator=(const TKestSessions&) = delete;

    void InitSessions();
    static bool LinkLibraryVersionOk();

    TConnectionInfo OpenKestLink(int32_t kestId);
    void ConnectKest(int32_t kestId);
    // The session of a link that OpenLink has opened: the box's channel, decoding the probe's
    // reply first. Null when the box has a channel already.
    TCANMessages* AdoptLink(int32_t kestId, const TLinkOpening& opening);
    void DisconnectKest(int32_t kestId);
    // Ends the box's session as DisconnectKest does, without its two notification lines.
    void CloseKest(int32_t kestId);
    // A channel sends through that link handle.
    bool LinkHandleInUse(uint8_t handle) const;
    void StopAllChannels();
    void KeepAliveAll();

    int ChannelIndexOfKest(int32_t kestId) const;
    bool IsKestConnected(int32_t kestId) const;
    // The box's channel, or null when it has none.
    TCANMessages* ChannelOfKest(int32_t kestId) const;
    QString KestName(int32_t kestId);

    void ShowNotification(const QString& text);
    void ShowWait(const QString& text);
    void CloseWait();

    // True while a channel is being freed: its worker is ending, and the main thread runs the
    // worker's last steps meanwhile. Nothing may start session work then.
    bool TearingDown() const { return ChannelsBeingFreed > 0; }

    TMainView& View() { return MainView; }
    const TMsgForm& Messages() const { return Texts; }

    // The owning list of channels, in the order they were opened.
    std::vector<std::unique_ptr<TCANMessages>> Channels;
    uint8_t NextLinkHandle = 0;
    // Unchecks a box's modules in both selection lists: after a failed connect, and for a replay
    // box whose session a second one ends (bound to UncheckKestModules).
    std::function<void(int32_t)> UncheckModules;

private:
    // OpenKestLink's steps. A replay box gets no link: *replay is set, *replayFile names its
    // file, and the file serves replay box 0 from then on.
    TConnectionInfo OpenKest(int32_t kestId, bool* replay, QString* replayFile);
    // The monitor clock request that proves a new session answers; true with its reply.
    bool Probe(int32_t handle, bool replay, CanMessage* reply);
    void LowerKeepAliveInterval(int32_t sessionMinutes);
    TCANMessages* AddChannel(int32_t kestId, uint8_t interfaceType, uint8_t link,
                             int32_t accessLevel, const CanMessage& probeReply);
    // Stops and removes the box's channels whose link has failed.
    void RetireFailedChannels(int32_t kestId);
    void EndOtherReplaySessions(int32_t kestId);
    // A downloaded sample the database refused: the download ends, and the user is told once.
    void StoreFailed(TCANMessages* channel);
    // Takes a channel out of Channels and frees it; its end notification no longer fires.
    void RemoveChannel(int index);
    QString Text(const char* label) const;

    TUserData& UserData;
    TMainView& MainView;
    const TMsgForm& Texts;
    int ChannelsBeingFreed = 0;
    // Boxes whose refused sample is being reported, and the owner of the calls that report it,
    // which go with the sessions.
    std::set<int32_t> StoreFailures;
    std::unique_ptr<QObject> Deferred = std::make_unique<QObject>();
};

#include "KestPassword.h"

#include "CANMessages.h"
#include "MessageFrm.h"
#include "Sessions.h"

namespace {

constexpr size_t Account_Text_Buffer = 256;

// The box takes 8-bit texts, one byte per character. A text that has no such form (or holds a
// zero, which would end it early) cannot reach the box as it was typed.
bool BoxText(const QString& text, QByteArray* bytes) {
    *bytes = text.toLatin1();
    return !text.contains(QChar(0)) && QString::fromLatin1(*bytes) == text;
}

// The account's index: the first exact (case-sensitive) name match among indices 0..count.
// The search may reach one index past the count, which the box refuses. -1 when the name is
// not there or a query was refused.
int32_t FindAccount(int32_t handle, const QByteArray& accountName, int32_t* value, int32_t* flag) {
    int32_t first = 0;
    int32_t count = 0;
    Pc2Lan_Account_Numbers(handle, &first, &count);
    for (int32_t index = 0; count >= 1 && index <= count; ++index) {
        char name[Account_Text_Buffer] = {};
        char password[Account_Text_Buffer] = {};
        if (Pc2Lan_Account_Get_Info(handle, index, name, password, value, flag) < 0) {
            return -1;
        }
        name[Account_Text_Buffer - 1] = '\0';
        if (accountName == QByteArray(name)) {
            return index;
        }
    }
    return -1;
}

}  // namespace

int32_t ChangeKestPassword(TKestSessions& sessions, int32_t kestId, const QString& accountName,
                           const QString& newPassword) {
    if (!sessions.IsKestConnected(kestId)) {
        sessions.ConnectKest(kestId);
    }
    const TCANMessages* channel =
        sessions.IsKestConnected(kestId) ? sessions.ChannelOfKest(kestId) : nullptr;
    // A replay box has no link and no accounts to change.
    if (channel == nullptr || channel->InterfaceType() != Interface_Link) {
        sessions.CloseWait();
        return Password_Failed;
    }
    if (channel->AccessLevel < Password_Change_Level) {
        sessions.CloseWait();
        return Password_Not_Allowed;
    }
    QByteArray name;
    QByteArray password;
    if (!BoxText(accountName, &name) || !BoxText(newPassword, &password)) {
        sessions.CloseWait();
        return Password_Failed;
    }
    const int32_t handle = channel->LinkHandle();

    sessions.ShowWait(sessions.Messages().Text(QStringLiteral("DL_PleaseWait")));
    int32_t value = 0;
    int32_t flag = 0;
    const int32_t index = FindAccount(handle, name, &value, &flag);
    if (index < 0) {
        sessions.CloseWait();
        return Password_Failed;
    }

    int32_t ioTimeout = 0;
    int32_t replyTimeout = 0;
    Pc2Lan_Get_Com_Param(handle, &ioTimeout, &replyTimeout);
    // Rewriting and storing the table takes the box a while.
    Pc2Lan_Set_Com_Param(handle, ioTimeout, Password_Reply_Timeout);
    const int32_t modified =
        Pc2Lan_Account_Modify(handle, index, name.constData(), password.constData(), value, flag);
    const int32_t stored = Pc2Lan_Account_Store(handle);
    Pc2Lan_Set_Com_Param(handle, ioTimeout, replyTimeout);

    sessions.CloseWait();
    return modified < 0 || stored < 0 ? Password_Failed : Password_Changed;
}

// An administrator gives one of a box's accounts a new password, over the box's link. The user
// database is not touched: the kests row keeps the old password until the user edits it.
#pragma once

#include <QString>
#include <cstdint>

class TKestSessions;

constexpr int32_t Password_Changed = 0;
constexpr int32_t Password_Failed = -1;
constexpr int32_t Password_Not_Allowed = -2;
constexpr int32_t Password_Change_Level = 4;      // lowest access level that may change one
constexpr int32_t Password_Reply_Timeout = 9000;  // ms the box gets per request of the change

int32_t ChangeKestPassword(TKestSessions& sessions, int32_t kestId, const QString& accountName,
                           const QString& newPassword);

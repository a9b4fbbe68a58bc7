// Which program downloads a box when several share one PostgreSQL store: a session-level
// advisory lock per box, on the user database's own connection. The server frees a session's
// locks when its connection ends, so a program that dies or loses the server holds nothing.
// With a SQLite store there is nothing to share a box with: every lock is granted at once, and
// the run lock file of the data folder keeps the programs apart as before.
#pragma once

#include <QString>
#include <cstdint>
#include <set>
#include <vector>

class TUserData;

// The first key of Quarnel's advisory locks ("QRNL"); the second is the box's kest_id. Other
// programs on the same database use other key spaces.
constexpr int32_t Box_Lock_Space = 0x51524E4C;

enum class TLockResult {
    Taken,  // this program holds the box's lock now (or did already)
    Held,   // another session holds it
    Failed  // the server could not be asked; error says why
};

class TBoxLocks {
public:
    explicit TBoxLocks(TUserData& userData);
    // Releases the locks still held.
    ~TBoxLocks();
    TBoxLocks(const TBoxLocks&) = delete;
    TBoxLocks& operator=(const TBoxLocks&) = delete;

    // False with a SQLite store: then Take always grants.
    bool Shared() const;
    // Does not wait. A lock this object holds already is granted again without a second one:
    // the server counts a session's locks, and one Release frees it.
    TLockResult Take(int32_t kestId, QString* error = nullptr);
    void Release(int32_t kestId);
    void ReleaseAll();
    bool Holds(int32_t kestId) const { return HeldBoxes.count(kestId) != 0; }
    const std::set<int32_t>& Held() const { return HeldBoxes; }
    // What the server says of the session that holds the box's lock: the program's name and
    // its host, "quarneld on 10.0.0.7"; empty when nobody holds it or the server cannot tell.
    QString Holder(int32_t kestId) const;

    // After the connection to the server was made again: the locks of the old session went
    // with it. Takes every lock held before once more and returns the boxes whose lock another
    // program has taken meanwhile, or that could not be asked for; those are no longer held,
    // and their downloads must stop.
    std::vector<int32_t> TakeAgain();

private:
    TLockResult TryLock(int32_t kestId, QString* error) const;

    TUserData& UserData;
    std::set<int32_t> HeldBoxes;
};

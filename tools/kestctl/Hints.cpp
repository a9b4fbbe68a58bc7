#include "Hints.h"

#include "link/Pc2Lan.h"

namespace kestctl {

namespace {

// A call that gave up this close to the reply time-out waited for a reply that never came; one
// that ended well before it saw the connection end.
constexpr int kTimeoutSlackMs = 100;

bool waited_full_timeout(const CallTiming& t) {
    return t.elapsed_ms + kTimeoutSlackMs >= t.reply_timeout_ms;
}

bool ended_early(const CallTiming& t) {
    return t.elapsed_ms * 2 < t.reply_timeout_ms;
}

std::string lost_connection(const CallTiming& t) {
    if (waited_full_timeout(t)) {
        return "the box did not answer within " + std::to_string(t.reply_timeout_ms) +
               " ms, so the link gave up the connection";
    }
    if (ended_early(t)) {
        return "the box closed the connection";
    }
    return "the box did not answer in time or closed the connection";
}

}  // namespace

std::string link_hint(int32_t code, const CallTiming& timing) {
    switch (code) {
        case PC2LAN_EMPTY_ENTRY:
            return "the link does not exist";
        case PC2LAN_BAD_HANDLE:
            return "bad link handle";
        case PC2LAN_NOT_CONNECTED:
            return lost_connection(timing);
        case PC2LAN_BAD_PARAMETER:
            return "a value was refused";
        case PC2LAN_FAILED:
            return "the box refused the request, or its reply was short or garbled";
        case PC2LAN_UNEXPECTED:
            return "unexpected error in the link library";
        default:
            return "refused by the box";
    }
}

std::string can_hint(int32_t code, const CallTiming& timing) {
    if (code == PC2LAN_CAN_NO_ANSWER) {
        return "the module did not answer on the CAN bus";
    }
    if (code == PC2LAN_CAN_REFUSED) {
        return "the box refused the CAN request";
    }
    return link_hint(code, timing);
}

std::string account_hint(std::string_view call, int32_t code, const CallTiming& timing) {
    if (code == PC2LAN_NOT_PERMITTED) {
        return "refused by the box; account administration needs access level 4";
    }
    const bool writes = call == "Pc2Lan_Account_Modify" || call == "Pc2Lan_Account_Add";
    if (writes) {
        switch (code) {
            case PC2LAN_INDEX_OUT_OF_RANGE:
                return "the box has no account slot with that number";
            case PC2LAN_SLOT_USED:  // PC2LAN_NO_SUCH_ENTRY for a modification
                return call == "Pc2Lan_Account_Modify" ? "the account slot is empty"
                                                       : "the account slot is already in use";
            case PC2LAN_NAME_EMPTY:
                return "the box refused the account name: it is empty";
            case PC2LAN_NAME_BAD_CHAR:
                return "the box refused the account name: it must have at most 20 characters, "
                       "letters, digits or signs without spaces";
            case PC2LAN_PASSWORD_EMPTY:
                return "the box refused the new password: it is empty";
            case PC2LAN_PASSWORD_BAD_CHAR:
                return "the box refused the new password: it must have at most 20 characters, "
                       "letters, digits or signs without spaces";
            case PC2LAN_VALUE_OUT_OF_RANGE:
                return "the box refused the account's access level";
            case PC2LAN_NAME_USED:
                return "another account already has that name";
            default:
                break;
        }
    } else if (code == PC2LAN_INDEX_OUT_OF_RANGE && call == "Pc2Lan_Account_Get_Info") {
        return "the box has no account with that number";
    }
    return link_hint(code, timing);
}

std::string login_hint(int32_t code, const CallTiming& timing) {
    switch (code) {
        case PC2LAN_FAILED:
            // The link waits as long for the rest of a reply that stopped short as for a first
            // byte that never comes: the time alone cannot tell the two apart.
            if (waited_full_timeout(timing)) {
                return "the box accepted the TCP connection but did not answer the login within " +
                       std::to_string(timing.reply_timeout_ms) +
                       " ms, or its answer stayed incomplete";
            }
            return "the box accepted the TCP connection, but its reply to the login was "
                   "incomplete or unusable, or it closed the connection";
        case PC2LAN_ALREADY_CONNECTED:
            return "the link is already connected";
        case PC2LAN_LOGIN_REFUSED:
            return "the box refused the user name or password";
        case PC2LAN_ACCOUNT_DISABLED:
            return "the box has disabled this account";
        case PC2LAN_TOO_MANY_SESSIONS:
            return "the box refused the login: it has as many sessions open as it allows";
        case PC2LAN_BOOT_MODE:
            return "the box is in its boot loader and takes no logins";
        case PC2LAN_UNEXPECTED:
            return link_hint(code, timing);
        default:
            return "the box refused the login";
    }
}

}  // namespace kestctl

// Connecting and logging in, the two time-outs, the session-time pair and the keep-alive.
#include "Lan_table.h"
#include "Pc2Lan.h"

using namespace tivrel;

extern "C" int32_t Pc2Lan_Connect(int32_t link, int32_t* access_level, int32_t) {
    return Call_Link(link, Link_Check::Entry, [&](Lan_thread& lan) -> int32_t {
        const int32_t r = lan.Connect(nullptr, access_level);
        if (r == Done) {
            return lan.Login_Result;
        }
        switch (r) {
            case Link_Already_Open:
                return PC2LAN_ALREADY_CONNECTED;
            case Box_Login_Refused:
                return PC2LAN_LOGIN_REFUSED;
            case Box_Account_Disabled:
                return PC2LAN_ACCOUNT_DISABLED;
            case Box_Too_Many_Sessions:
                return PC2LAN_TOO_MANY_SESSIONS;
            case Box_Boot_Mode:
                return PC2LAN_BOOT_MODE;
            default:
                return PC2LAN_FAILED;
        }
    });
}

extern "C" int32_t Pc2Lan_Disconnect(int32_t link) {
    return Call_Link(link, Link_Check::Entry, [](Lan_thread& lan) -> int32_t {
        return lan.Disconnect() == Done ? PC2LAN_OK : PC2LAN_NOT_CONNECTED;
    });
}

extern "C" int32_t Pc2Lan_Set_Com_Param(int32_t link, int32_t io_timeout, int32_t reply_timeout) {
    return Call_Link(link, Link_Check::Entry, [&](Lan_thread& lan) -> int32_t {
        return lan.Set_Com_Param(io_timeout, reply_timeout);
    });
}

extern "C" int32_t Pc2Lan_Get_Com_Param(int32_t link, int32_t* io_timeout, int32_t* reply_timeout) {
    return Call_Link(link, Link_Check::Entry, [&](Lan_thread& lan) -> int32_t {
        if (io_timeout != nullptr) {
            *io_timeout = lan.Io_Timeout;
        }
        if (reply_timeout != nullptr) {
            *reply_timeout = lan.Reply_Timeout;
        }
        return io_timeout == nullptr || reply_timeout == nullptr ? PC2LAN_BAD_PARAMETER : PC2LAN_OK;
    });
}

extern "C" int32_t Pc2Lan_Set_Session_Time(int32_t link, int32_t first, int32_t second) {
    return Call_Link(link, Link_Check::Entry, [&](Lan_thread& lan) -> int32_t {
        uint8_t payload[4];
        Put_U16(payload, static_cast<uint32_t>(first));
        Put_U16(payload + 2, static_cast<uint32_t>(second));
        Lan_Frame reply;
        int32_t r = lan.Exchange(Cmd_Set_Session_Time, payload, sizeof payload, reply);
        if (r == Done) {
            r = reply[1] < 2 ? int32_t{Short_Reply} : int32_t{Get_S16(reply + 3)};
        }
        return Translate(
            lan, r,
            {{Box_Login_Refused, PC2LAN_BAD_PARAMETER}, {Box_Not_Permitted, PC2LAN_NOT_PERMITTED}});
    });
}

extern "C" int32_t Pc2Lan_Get_Session_Time(int32_t link, int32_t* first, int32_t* second) {
    return Call_Link(link, Link_Check::Entry, [&](Lan_thread& lan) -> int32_t {
        Lan_Frame reply;
        int32_t r = lan.Exchange(Cmd_Get_Session_Time, nullptr, 0, reply);
        if (r > 0) {
            r = As_Failure(r);
        } else if (r == Done) {
            if (reply[1] < 4) {
                r = Short_Reply;
            } else {
                if (first != nullptr) {
                    *first = Get_U16(reply + 3);
                }
                if (second != nullptr) {
                    *second = Get_U16(reply + 5);
                }
            }
        }
        return Translate(lan, r);
    });
}

extern "C" int32_t Pc2Lan_Keep_Alive(int32_t link) {
    int32_t code = 0;
    std::shared_ptr<Lan_thread> lan = Find_Link(link, &code);
    if (lan == nullptr) {
        return code;
    }
    try {
        // A link that is carrying another request right now is alive.
        std::unique_lock<std::mutex> lock(lan->Call_Lock, std::try_to_lock);
        if (!lock.owns_lock()) {
            return PC2LAN_OK;
        }
        if (lan->Deleted) {
            return PC2LAN_EMPTY_ENTRY;
        }
        if (!lan->Is_Connected()) {
            return PC2LAN_NOT_CONNECTED;
        }
        Lan_Frame reply;
        return Translate(*lan, lan->Exchange(Cmd_Keep_Alive, nullptr, 0, reply));
    } catch (...) {
        return PC2LAN_UNEXPECTED;
    }
}

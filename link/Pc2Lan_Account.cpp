// The box's account table and its open connections.
#include <cstring>

#include "Lan_table.h"
#include "Pc2Lan.h"

using namespace tivrel;

namespace {

constexpr size_t Connection_Info_Size = 36;
constexpr uint8_t Connection_Info_Minimum = 40;

// One exchange whose reply starts with the result word: a transfer failure or a non-zero
// result word is the call's result, 0 means the reply's fields may be taken apart.
int32_t Account_Exchange(Lan_thread& lan, uint8_t command, const uint8_t* payload, uint8_t length,
                         uint8_t* reply) {
    const int32_t r = lan.Exchange(command, payload, length, reply);
    if (r != Done) {
        return r;
    }
    return Get_S16(reply + 3);
}

// 3-4 account number, 5-44 coded name and password, 45-48 value, 49-52 flag as 1 or 0.
int32_t Send_Account(Lan_thread& lan, uint8_t command, int32_t account, const char* name,
                     const char* password, int32_t value, int32_t flag) {
    uint8_t payload[50];
    Put_U16(payload, static_cast<uint32_t>(account));
    Put_Credentials(payload + 2, name, password);
    Put_U32(payload + 42, static_cast<uint32_t>(value));
    Put_U32(payload + 46, flag != 0 ? 1u : 0u);
    Lan_Frame reply;
    return Account_Exchange(lan, command, payload, sizeof payload, reply);
}

int32_t Send_Number(Lan_thread& lan, uint8_t command, int32_t number) {
    uint8_t payload[2];
    Put_U16(payload, static_cast<uint32_t>(number));
    Lan_Frame reply;
    return Account_Exchange(lan, command, payload, sizeof payload, reply);
}

}  // namespace

extern "C" int32_t Pc2Lan_Account_Numbers(int32_t link, int32_t* first, int32_t* count) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        Lan_Frame reply;
        const int32_t r = Account_Exchange(lan, Cmd_Account_Numbers, nullptr, 0, reply);
        if (r == Done) {
            if (first != nullptr) {
                *first = Get_U16(reply + 3);
            }
            if (count != nullptr) {
                *count = Get_U16(reply + 5);
            }
        }
        return Translate(lan, r, {{Box_Not_Permitted, PC2LAN_NOT_PERMITTED}});
    });
}

extern "C" int32_t Pc2Lan_Account_Get_Info(int32_t link, int32_t account, char* name,
                                           char* password, int32_t* value, int32_t* flag) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        uint8_t payload[2];
        Put_U16(payload, static_cast<uint32_t>(account));
        Lan_Frame reply;
        const int32_t r = Account_Exchange(lan, Cmd_Account_Get_Info, payload, 2, reply);
        if (r == Done) {
            uint8_t* area = reply + 7;
            Wire_Code(area, Wire_Area_Size);
            if (name != nullptr) {
                Get_Field_Text(area, name);
            }
            if (password != nullptr) {
                Get_Field_Text(area + Name_Size, password);
            }
            if (value != nullptr) {
                *value = Get_S32(reply + 47);
            }
            if (flag != nullptr) {
                *flag = Get_S32(reply + 51) & 1;
            }
        }
        return Translate(lan, r,
                         {{Box_Index_Out_Of_Range, PC2LAN_INDEX_OUT_OF_RANGE},
                          {Box_Not_Permitted, PC2LAN_NOT_PERMITTED}});
    });
}

extern "C" int32_t Pc2Lan_Account_Add(int32_t link, int32_t account, const char* name,
                                      const char* password, int32_t value, int32_t flag) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        const int32_t r = Send_Account(lan, Cmd_Account_Add, account, name, password, value, flag);
        return Translate(lan, r,
                         {{Box_Index_Out_Of_Range, PC2LAN_INDEX_OUT_OF_RANGE},
                          {Box_Not_Permitted, PC2LAN_NOT_PERMITTED},
                          {Box_Name_Empty, PC2LAN_NAME_EMPTY},
                          {Box_Name_Bad_Char, PC2LAN_NAME_BAD_CHAR},
                          {Box_Password_Empty, PC2LAN_PASSWORD_EMPTY},
                          {Box_Password_Bad_Char, PC2LAN_PASSWORD_BAD_CHAR},
                          {Box_Value_Out_Of_Range, PC2LAN_VALUE_OUT_OF_RANGE},
                          {Box_Slot_Used, PC2LAN_SLOT_USED}});
    });
}

extern "C" int32_t Pc2Lan_Account_Modify(int32_t link, int32_t account, const char* name,
                                         const char* password, int32_t value, int32_t flag) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        const int32_t r =
            Send_Account(lan, Cmd_Account_Modify, account, name, password, value, flag);
        return Translate(lan, r,
                         {{Box_Index_Out_Of_Range, PC2LAN_INDEX_OUT_OF_RANGE},
                          {Box_Not_Permitted, PC2LAN_NOT_PERMITTED},
                          {Box_Name_Empty, PC2LAN_NAME_EMPTY},
                          {Box_Name_Bad_Char, PC2LAN_NAME_BAD_CHAR},
                          {Box_Password_Empty, PC2LAN_PASSWORD_EMPTY},
                          {Box_Password_Bad_Char, PC2LAN_PASSWORD_BAD_CHAR},
                          {Box_Value_Out_Of_Range, PC2LAN_VALUE_OUT_OF_RANGE},
                          {Box_No_Such_Entry, PC2LAN_NO_SUCH_ENTRY},
                          {Box_Conflict, PC2LAN_NAME_USED}});
    });
}

extern "C" int32_t Pc2Lan_Account_Remove(int32_t link, int32_t account) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        const int32_t r = Send_Number(lan, Cmd_Account_Remove, account);
        return Translate(lan, r,
                         {{Box_Index_Out_Of_Range, PC2LAN_INDEX_OUT_OF_RANGE},
                          {Box_Not_Permitted, PC2LAN_NOT_PERMITTED},
                          {Box_No_Such_Entry, PC2LAN_NO_SUCH_ENTRY},
                          {Box_Last_Administrator, PC2LAN_LAST_ADMINISTRATOR}});
    });
}

extern "C" int32_t Pc2Lan_Account_Update(int32_t link) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        Lan_Frame reply;
        const int32_t r = Account_Exchange(lan, Cmd_Account_Update, nullptr, 0, reply);
        return Translate(lan, r, {{Box_Not_Permitted, PC2LAN_NOT_PERMITTED}});
    });
}

extern "C" int32_t Pc2Lan_Account_Store(int32_t link) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        Lan_Frame reply;
        const int32_t r = Account_Exchange(lan, Cmd_Account_Store, nullptr, 0, reply);
        return Translate(lan, r, {{Box_Not_Permitted, PC2LAN_NOT_PERMITTED}});
    });
}

extern "C" int32_t Pc2Lan_Connection_Info(int32_t link, int32_t connection, uint8_t* info) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        uint8_t payload[2];
        Put_U16(payload, static_cast<uint32_t>(connection));
        Lan_Frame reply;
        int32_t r = Account_Exchange(lan, Cmd_Connection_Info, payload, 2, reply);
        if (r == Done) {
            if (reply[1] < Connection_Info_Minimum) {
                r = Short_Reply;
            } else if (info == nullptr) {
                r = Refused_Argument;
            } else {
                std::memcpy(info, reply + 7, Connection_Info_Size);
            }
        }
        return Translate(lan, r,
                         {{Box_Index_Out_Of_Range, PC2LAN_INDEX_OUT_OF_RANGE},
                          {Box_Not_Permitted, PC2LAN_NOT_PERMITTED}});
    });
}

extern "C" int32_t Pc2Lan_Connection_Kill(int32_t link, int32_t first, int32_t second) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        uint8_t payload[4];
        Put_U16(payload, static_cast<uint32_t>(first));
        Put_U16(payload + 2, static_cast<uint32_t>(second));
        Lan_Frame reply;
        const int32_t r = Account_Exchange(lan, Cmd_Connection_Kill, payload, 4, reply);
        return Translate(lan, r,
                         {{Box_Index_Out_Of_Range, PC2LAN_INDEX_OUT_OF_RANGE},
                          {Box_Not_Permitted, PC2LAN_NOT_PERMITTED},
                          {Box_No_Such_Entry, PC2LAN_NO_SUCH_ENTRY},
                          {Box_Conflict, PC2LAN_CONNECTION_IS_CALLER}});
    });
}

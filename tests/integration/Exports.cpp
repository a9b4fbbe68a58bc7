#include "Exports.h"

#include "link/Pc2Lan.h"

namespace integ {

std::vector<ExportCall> account_exports() {
    return {
        {"Account_Numbers",
         [](int32_t l) {
             int32_t first = 0, count = 0;
             return Pc2Lan_Account_Numbers(l, &first, &count);
         },
         true},
        {"Account_Get_Info",
         [](int32_t l) {
             char name[21] = {}, password[21] = {};
             int32_t value = 0, flag = 0;
             return Pc2Lan_Account_Get_Info(l, 0, name, password, &value, &flag);
         },
         true},
        {"Account_Add",
         [](int32_t l) { return Pc2Lan_Account_Add(l, 7, "Newcomer", "fresh5678", 3, 1); }, true},
        {"Account_Modify",
         [](int32_t l) { return Pc2Lan_Account_Modify(l, 0, "BasicUser", "other5678", 3, 1); },
         true},
        {"Account_Remove", [](int32_t l) { return Pc2Lan_Account_Remove(l, 0); }, true},
        {"Account_Update", [](int32_t l) { return Pc2Lan_Account_Update(l); }, true},
        {"Account_Store", [](int32_t l) { return Pc2Lan_Account_Store(l); }, true},
        {"Connection_Info",
         [](int32_t l) {
             uint8_t info[36] = {};
             return Pc2Lan_Connection_Info(l, 0, info);
         },
         true},
        {"Connection_Kill", [](int32_t l) { return Pc2Lan_Connection_Kill(l, 0, 0); }, true},
    };
}

std::vector<ExportCall> link_exports() {
    std::vector<ExportCall> all = {
        {"Disconnect", [](int32_t l) { return Pc2Lan_Disconnect(l); }, false},
        {"Set_Com_Param", [](int32_t l) { return Pc2Lan_Set_Com_Param(l, 1000, 1000); }, false},
        {"Get_Com_Param",
         [](int32_t l) {
             int32_t io = 0, reply = 0;
             return Pc2Lan_Get_Com_Param(l, &io, &reply);
         },
         false},
        {"Set_Session_Time", [](int32_t l) { return Pc2Lan_Set_Session_Time(l, 0, 10); }, false},
        {"Get_Session_Time",
         [](int32_t l) {
             int32_t first = 0, second = 0;
             return Pc2Lan_Get_Session_Time(l, &first, &second);
         },
         false},
        {"Keep_Alive", [](int32_t l) { return Pc2Lan_Keep_Alive(l); }, true},
        {"Get_Version",
         [](int32_t l) {
             int32_t first = 0, second = 0;
             return Pc2Lan_Get_Version(l, &first, &second);
         },
         true},
        {"Get_Serial",
         [](int32_t l) {
             char serial[81] = {};
             return Pc2Lan_Get_Serial(l, serial);
         },
         true},
        {"Can_Request",
         [](int32_t l) {
             CanMessage request{}, reply{};
             request.Header[1] = 0x20;
             request.Header[2] = 8;
             return Pc2Lan_Can_Request(l, &request, &reply);
         },
         true},
        {"Get_Sleep",
         [](int32_t l) {
             uint8_t state = 0;
             return Pc2Lan_Get_Sleep(l, &state);
         },
         true},
        {"Can_Monitor_Set_State",
         [](int32_t l) {
             uint8_t first = 1, second = 0;
             return Pc2Lan_Can_Monitor_Set_State(l, &first, &second);
         },
         true},
        {"Can_Monitor_Get_State",
         [](int32_t l) {
             uint8_t first = 0, second = 0;
             int32_t count = 0;
             return Pc2Lan_Can_Monitor_Get_State(l, &first, &second, &count);
         },
         true},
        {"Can_Monitor_Request",
         [](int32_t l) {
             uint8_t record[16] = {};
             uint8_t* records[1] = {record};
             return Pc2Lan_Can_Monitor_Request(l, records, 1, 0);
         },
         true},
        {"Micro_EnterBoot", [](int32_t l) { return Pc2Lan_Micro_EnterBoot(l); }, true},
        {"Micro_Erase",
         [](int32_t l) {
             uint8_t block = 0;
             return Pc2Lan_Micro_Erase(l, &block);
         },
         true},
        {"Micro_FProgram",
         [](int32_t l) {
             uint8_t data[4] = {1, 2, 3, 4};
             return Pc2Lan_Micro_FProgram(l, 0, data, 4);
         },
         true},
        {"Micro_EProgram",
         [](int32_t l) {
             uint8_t data[4] = {1, 2, 3, 4};
             return Pc2Lan_Micro_EProgram(l, 0, data, 4);
         },
         true},
        {"Micro_ReBoot", [](int32_t l) { return Pc2Lan_Micro_ReBoot(l); }, true},
    };
    for (auto& e : account_exports()) {
        all.push_back(e);
    }
    return all;
}

}  // namespace integ

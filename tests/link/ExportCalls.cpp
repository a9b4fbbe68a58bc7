#include "ExportCalls.h"

#include "Pc2Lan.h"

namespace linktest {

namespace {

// Box codes every account and connection call maps the same way.
const std::map<int32_t, int32_t> kAccountCommon = {{-11, -12}, {-12, -11}};

std::map<int32_t, int32_t> with(std::map<int32_t, int32_t> base, std::map<int32_t, int32_t> more) {
    base.insert(more.begin(), more.end());
    return base;
}

std::vector<ExportCall> build() {
    const std::map<int32_t, int32_t> account_edit =
        with(kAccountCommon, {{-15, -14}, {-16, -15}, {-17, -16}, {-18, -17}, {-19, -18}});
    return {
        {.name = "Connect",
         .call =
             [](int32_t link) {
                 int32_t level = 0;
                 return Pc2Lan_Connect(link, &level, 2);
             },
         .command = false},
        {.name = "Disconnect",
         .call = [](int32_t link) { return Pc2Lan_Disconnect(link); },
         .command = false},
        {.name = "Set_Com_Param",
         .call = [](int32_t link) { return Pc2Lan_Set_Com_Param(link, 200, 300); },
         .command = false,
         .unconnected = 0},
        {.name = "Get_Com_Param",
         .call =
             [](int32_t link) {
                 int32_t io = 0;
                 int32_t reply = 0;
                 return Pc2Lan_Get_Com_Param(link, &io, &reply);
             },
         .command = false,
         .unconnected = 0},
        {.name = "Set_Session_Time",
         .call = [](int32_t link) { return Pc2Lan_Set_Session_Time(link, 1, 10); },
         .refusals = {{-13, -4}, {-12, -11}},
         .result_word = true},
        {.name = "Get_Session_Time",
         .call =
             [](int32_t link) {
                 int32_t first = 0;
                 int32_t second = 0;
                 return Pc2Lan_Get_Session_Time(link, &first, &second);
             }},
        {.name = "Keep_Alive", .call = [](int32_t link) { return Pc2Lan_Keep_Alive(link); }},
        {.name = "Get_Version",
         .call =
             [](int32_t link) {
                 int32_t first = 0;
                 int32_t second = 0;
                 return Pc2Lan_Get_Version(link, &first, &second);
             }},
        {.name = "Get_Serial",
         .call =
             [](int32_t link) {
                 char serial[96] = {};
                 return Pc2Lan_Get_Serial(link, serial);
             }},
        {.name = "Can_Request",
         .call =
             [](int32_t link) {
                 CanMessage request{{0x00, 0x20, 0x08, 0x00}, 0, {}};
                 CanMessage reply{};
                 return Pc2Lan_Can_Request(link, &request, &reply);
             },
         .refusals = {{-20, -12}, {-21, -11}}},
        {.name = "Get_Sleep",
         .call =
             [](int32_t link) {
                 uint8_t state = 0;
                 return Pc2Lan_Get_Sleep(link, &state);
             }},
        {.name = "Can_Monitor_Set_State",
         .call =
             [](int32_t link) {
                 uint8_t first = 1;
                 uint8_t second = 2;
                 return Pc2Lan_Can_Monitor_Set_State(link, &first, &second);
             }},
        {.name = "Can_Monitor_Get_State",
         .call =
             [](int32_t link) {
                 uint8_t first = 0;
                 uint8_t second = 0;
                 int32_t count = 0;
                 return Pc2Lan_Can_Monitor_Get_State(link, &first, &second, &count);
             }},
        {.name = "Can_Monitor_Request",
         .call =
             [](int32_t link) {
                 uint8_t buffers[3][16] = {};
                 uint8_t* records[3] = {buffers[0], buffers[1], buffers[2]};
                 return Pc2Lan_Can_Monitor_Request(link, records, 3, 0);
             }},
        {.name = "Account_Numbers",
         .call =
             [](int32_t link) {
                 int32_t first = 0;
                 int32_t count = 0;
                 return Pc2Lan_Account_Numbers(link, &first, &count);
             },
         .refusals = {{-12, -11}},
         .result_word = true},
        {.name = "Account_Get_Info",
         .call =
             [](int32_t link) {
                 char name[32] = {};
                 char password[32] = {};
                 int32_t value = 0;
                 int32_t flag = 0;
                 return Pc2Lan_Account_Get_Info(link, 1, name, password, &value, &flag);
             },
         .refusals = kAccountCommon,
         .result_word = true},
        {.name = "Account_Add",
         .call = [](int32_t link) { return Pc2Lan_Account_Add(link, 2, "Guest", "guest99", 3, 1); },
         .refusals = with(account_edit, {{-20, -13}}),
         .result_word = true},
        {.name = "Account_Modify",
         .call =
             [](int32_t link) { return Pc2Lan_Account_Modify(link, 2, "Guest", "guest99", 3, 1); },
         .refusals = with(account_edit, {{-21, -13}, {-22, -19}}),
         .result_word = true},
        {.name = "Account_Remove",
         .call = [](int32_t link) { return Pc2Lan_Account_Remove(link, 2); },
         .refusals = with(kAccountCommon, {{-21, -13}, {-23, -20}}),
         .result_word = true},
        {.name = "Account_Update",
         .call = [](int32_t link) { return Pc2Lan_Account_Update(link); },
         .refusals = {{-12, -11}},
         .result_word = true},
        {.name = "Account_Store",
         .call = [](int32_t link) { return Pc2Lan_Account_Store(link); },
         .refusals = {{-12, -11}},
         .result_word = true},
        {.name = "Connection_Info",
         .call =
             [](int32_t link) {
                 uint8_t block[36] = {};
                 return Pc2Lan_Connection_Info(link, 1, block);
             },
         .refusals = kAccountCommon,
         .result_word = true},
        {.name = "Connection_Kill",
         .call = [](int32_t link) { return Pc2Lan_Connection_Kill(link, 1, 0); },
         .refusals = with(kAccountCommon, {{-21, -13}, {-22, -14}}),
         .result_word = true},
        {.name = "Micro_EnterBoot",
         .call = [](int32_t link) { return Pc2Lan_Micro_EnterBoot(link); }},
        {.name = "Micro_Erase",
         .call =
             [](int32_t link) {
                 uint8_t block = 3;
                 return Pc2Lan_Micro_Erase(link, &block);
             }},
        {.name = "Micro_FProgram",
         .call =
             [](int32_t link) {
                 uint8_t data[4] = {1, 2, 3, 4};
                 return Pc2Lan_Micro_FProgram(link, 0x100, data, 4);
             }},
        {.name = "Micro_EProgram",
         .call =
             [](int32_t link) {
                 uint8_t data[4] = {1, 2, 3, 4};
                 return Pc2Lan_Micro_EProgram(link, 0x100, data, 4);
             }},
        {.name = "Micro_ReBoot", .call = [](int32_t link) { return Pc2Lan_Micro_ReBoot(link); }},
    };
}

}  // namespace

const std::vector<ExportCall>& handle_exports() {
    static const std::vector<ExportCall> all = build();
    return all;
}

std::vector<ExportCall> exports_where(const std::function<bool(const ExportCall&)>& wanted) {
    std::vector<ExportCall> chosen;
    for (const ExportCall& e : handle_exports()) {
        if (wanted(e)) {
            chosen.push_back(e);
        }
    }
    return chosen;
}

int32_t translated(const ExportCall& e, int32_t box_code) {
    auto found = e.refusals.find(box_code);
    return found == e.refusals.end() ? -10 : found->second;
}

}  // namespace linktest

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
    std::vector<ExportCall> all;
    auto add = [&all](std::string name, std::function<int32_t(int32_t)> call) -> ExportCall& {
        ExportCall e;
        e.name = std::move(name);
        e.call = std::move(call);
        all.push_back(std::move(e));
        return all.back();
    };

    ExportCall& connect = add("Connect", [](int32_t link) {
        int32_t level = 0;
        return Pc2Lan_Connect(link, &level, 2);
    });
    connect.command = false;
    ExportCall& disconnect =
        add("Disconnect", [](int32_t link) { return Pc2Lan_Disconnect(link); });
    disconnect.command = false;
    ExportCall& set_com =
        add("Set_Com_Param", [](int32_t link) { return Pc2Lan_Set_Com_Param(link, 200, 300); });
    set_com.command = false;
    set_com.unconnected = 0;
    ExportCall& get_com = add("Get_Com_Param", [](int32_t link) {
        int32_t io = 0;
        int32_t reply = 0;
        return Pc2Lan_Get_Com_Param(link, &io, &reply);
    });
    get_com.command = false;
    get_com.unconnected = 0;

    ExportCall& set_session =
        add("Set_Session_Time", [](int32_t link) { return Pc2Lan_Set_Session_Time(link, 1, 10); });
    set_session.refusals = {{-13, -4}, {-12, -11}};
    set_session.result_word = true;
    add("Get_Session_Time", [](int32_t link) {
        int32_t first = 0;
        int32_t second = 0;
        return Pc2Lan_Get_Session_Time(link, &first, &second);
    });
    add("Keep_Alive", [](int32_t link) { return Pc2Lan_Keep_Alive(link); });

    add("Get_Version", [](int32_t link) {
        int32_t first = 0;
        int32_t second = 0;
        return Pc2Lan_Get_Version(link, &first, &second);
    });
    add("Get_Serial", [](int32_t link) {
        char serial[96] = {};
        return Pc2Lan_Get_Serial(link, serial);
    });
    ExportCall& can = add("Can_Request", [](int32_t link) {
        CanMessage request{{0x00, 0x20, 0x08, 0x00}, 0, {}};
        CanMessage reply{};
        return Pc2Lan_Can_Request(link, &request, &reply);
    });
    can.refusals = {{-20, -12}, {-21, -11}};
    add("Get_Sleep", [](int32_t link) {
        uint8_t state = 0;
        return Pc2Lan_Get_Sleep(link, &state);
    });
    add("Can_Monitor_Set_State", [](int32_t link) {
        uint8_t first = 1;
        uint8_t second = 2;
        return Pc2Lan_Can_Monitor_Set_State(link, &first, &second);
    });
    add("Can_Monitor_Get_State", [](int32_t link) {
        uint8_t first = 0;
        uint8_t second = 0;
        int32_t count = 0;
        return Pc2Lan_Can_Monitor_Get_State(link, &first, &second, &count);
    });
    add("Can_Monitor_Request", [](int32_t link) {
        uint8_t buffers[3][16] = {};
        uint8_t* records[3] = {buffers[0], buffers[1], buffers[2]};
        return Pc2Lan_Can_Monitor_Request(link, records, 3, 0);
    });

    ExportCall& numbers = add("Account_Numbers", [](int32_t link) {
        int32_t first = 0;
        int32_t count = 0;
        return Pc2Lan_Account_Numbers(link, &first, &count);
    });
    numbers.refusals = {{-12, -11}};
    ExportCall& info = add("Account_Get_Info", [](int32_t link) {
        char name[32] = {};
        char password[32] = {};
        int32_t value = 0;
        int32_t flag = 0;
        return Pc2Lan_Account_Get_Info(link, 1, name, password, &value, &flag);
    });
    info.refusals = kAccountCommon;
    ExportCall& add_account = add("Account_Add", [](int32_t link) {
        return Pc2Lan_Account_Add(link, 2, "Guest", "guest99", 3, 1);
    });
    add_account.refusals = with(
        kAccountCommon, {{-15, -14}, {-16, -15}, {-17, -16}, {-18, -17}, {-19, -18}, {-20, -13}});
    ExportCall& modify = add("Account_Modify", [](int32_t link) {
        return Pc2Lan_Account_Modify(link, 2, "Guest", "guest99", 3, 1);
    });
    modify.refusals =
        with(kAccountCommon,
             {{-15, -14}, {-16, -15}, {-17, -16}, {-18, -17}, {-19, -18}, {-21, -13}, {-22, -19}});
    ExportCall& remove =
        add("Account_Remove", [](int32_t link) { return Pc2Lan_Account_Remove(link, 2); });
    remove.refusals = with(kAccountCommon, {{-21, -13}, {-23, -20}});
    ExportCall& update =
        add("Account_Update", [](int32_t link) { return Pc2Lan_Account_Update(link); });
    update.refusals = {{-12, -11}};
    ExportCall& store =
        add("Account_Store", [](int32_t link) { return Pc2Lan_Account_Store(link); });
    store.refusals = {{-12, -11}};
    ExportCall& connection_info = add("Connection_Info", [](int32_t link) {
        uint8_t block[36] = {};
        return Pc2Lan_Connection_Info(link, 1, block);
    });
    connection_info.refusals = kAccountCommon;
    ExportCall& kill =
        add("Connection_Kill", [](int32_t link) { return Pc2Lan_Connection_Kill(link, 1, 0); });
    kill.refusals = with(kAccountCommon, {{-21, -13}, {-22, -14}});
    for (const char* name :
         {"Account_Numbers", "Account_Get_Info", "Account_Add", "Account_Modify", "Account_Remove",
          "Account_Update", "Account_Store", "Connection_Info", "Connection_Kill"}) {
        for (ExportCall& e : all) {
            if (e.name == name) {
                e.result_word = true;
            }
        }
    }

    add("Micro_EnterBoot", [](int32_t link) { return Pc2Lan_Micro_EnterBoot(link); });
    add("Micro_Erase", [](int32_t link) {
        uint8_t block = 3;
        return Pc2Lan_Micro_Erase(link, &block);
    });
    add("Micro_FProgram", [](int32_t link) {
        uint8_t data[4] = {1, 2, 3, 4};
        return Pc2Lan_Micro_FProgram(link, 0x100, data, 4);
    });
    add("Micro_EProgram", [](int32_t link) {
        uint8_t data[4] = {1, 2, 3, 4};
        return Pc2Lan_Micro_EProgram(link, 0x100, data, 4);
    });
    add("Micro_ReBoot", [](int32_t link) { return Pc2Lan_Micro_ReBoot(link); });
    return all;
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

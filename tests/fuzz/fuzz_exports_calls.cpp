#include "fuzz_exports_calls.h"

#include <algorithm>
#include <memory>

#include "Pc2Lan.h"

namespace fuzzexports {

bool Parse_Input(const uint8_t* data, size_t size, Input* input) {
    if (size < 2) {
        return false;
    }
    const size_t calls = 1 + data[0] % 8;
    if (size < 1 + calls) {
        return false;
    }
    input->calls.assign(data + 1, data + 1 + calls);
    input->chunks.clear();
    size_t at = 1 + calls;
    while (at + 2 <= size && input->chunks.size() < Max_Chunks) {
        const uint8_t flags = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        input->chunks.push_back(Chunk{(flags & 1) != 0, (flags & 2) != 0,
                                      std::vector<uint8_t>(data + at + 2, data + at + 2 + length)});
        at += 2 + length;
    }
    return true;
}

// Each record in a heap block of its own, exactly 16 bytes.
static void Monitor_Request(int32_t link, int count) {
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<uint8_t*> records;
    for (int i = 0; i < count; ++i) {
        buffers.emplace_back(new uint8_t[16]);
        records.push_back(buffers.back().get());
    }
    Pc2Lan_Can_Monitor_Request(link, records.data(), count, 0);
}

// The buffers are heap blocks of exactly the size the caller must provide, so that the
// sanitizer sees any write or read past them.
void Call_Export(int32_t link, uint8_t which) {
    switch (which % 30) {
        case 0: {
            int32_t level = 0;
            Pc2Lan_Connect(link, &level, 2);
            break;
        }
        case 1:
            Pc2Lan_Keep_Alive(link);
            break;
        case 2: {
            int32_t a = 0, b = 0;
            Pc2Lan_Get_Version(link, &a, &b);
            break;
        }
        case 3: {
            std::vector<char> serial(81);
            Pc2Lan_Get_Serial(link, serial.data());
            break;
        }
        case 4: {
            CanMessage request{};
            request.Header[1] = 0x31;
            request.Length = 9;
            auto reply = std::make_unique<CanMessage>();
            Pc2Lan_Can_Request(link, &request, reply.get());
            break;
        }
        case 5: {
            auto state = std::make_unique<uint8_t>(0);
            Pc2Lan_Get_Sleep(link, state.get());
            break;
        }
        case 6: {
            auto a = std::make_unique<uint8_t>(1);
            auto b = std::make_unique<uint8_t>(0);
            Pc2Lan_Can_Monitor_Set_State(link, a.get(), b.get());
            break;
        }
        case 7: {
            uint8_t a = 0, b = 0;
            int32_t count = 0;
            Pc2Lan_Can_Monitor_Get_State(link, &a, &b, &count);
            break;
        }
        case 8:
            Monitor_Request(link, 7);
            break;
        case 9: {
            int32_t first = 0, count = 0;
            Pc2Lan_Account_Numbers(link, &first, &count);
            break;
        }
        case 10: {
            std::vector<char> name(21), password(21);
            int32_t value = 0, flag = 0;
            Pc2Lan_Account_Get_Info(link, 1, name.data(), password.data(), &value, &flag);
            break;
        }
        case 11:
            Pc2Lan_Account_Add(link, 2, "Installer", "secret-password-too-long", 4, 1);
            break;
        case 12:
            Pc2Lan_Account_Modify(link, 1, "Administrator", "new", 4, 1);
            break;
        case 13:
            Pc2Lan_Account_Remove(link, 2);
            break;
        case 14:
            Pc2Lan_Account_Update(link);
            break;
        case 15:
            Pc2Lan_Account_Store(link);
            break;
        case 16: {
            std::vector<uint8_t> info(36);
            Pc2Lan_Connection_Info(link, 0, info.data());
            break;
        }
        case 17:
            Pc2Lan_Connection_Kill(link, 1, 0);
            break;
        case 18:
            Pc2Lan_Set_Session_Time(link, 5, 10);
            break;
        case 19: {
            int32_t a = 0, b = 0;
            Pc2Lan_Get_Session_Time(link, &a, &b);
            break;
        }
        case 20:
            Pc2Lan_Micro_EnterBoot(link);
            break;
        case 21: {
            auto block = std::make_unique<uint8_t>(3);
            Pc2Lan_Micro_Erase(link, block.get());
            // The erase raises the reply time-out only for its own duration.
            Pc2Lan_Set_Com_Param(link, 101, 251);
            break;
        }
        case 22: {
            std::vector<uint8_t> data(16, 0xA5);
            Pc2Lan_Micro_FProgram(link, 0x100, data.data(), 16);
            break;
        }
        case 23: {
            std::vector<uint8_t> data(8, 0x5A);
            Pc2Lan_Micro_EProgram(link, 0x200, data.data(), 8);
            break;
        }
        case 24:
            Pc2Lan_Micro_ReBoot(link);
            break;
        case 25:
            Pc2Lan_Disconnect(link);
            break;
        case 26: {
            int32_t io = 0, reply = 0;
            Pc2Lan_Get_Com_Param(link, &io, &reply);
            break;
        }
        case 27: {
            CanMessage request{};
            request.Length = 0;
            auto reply = std::make_unique<CanMessage>();
            Pc2Lan_Can_Request(link, &request, reply.get());
            break;
        }
        case 28: {
            std::vector<uint8_t> data(78, 1);
            Pc2Lan_Micro_EProgram(link, 0, data.data(), 78);
            break;
        }
        default:
            Monitor_Request(link, 2);
            break;
    }
}

void Run_Calls(const Input& input, const char* host, int32_t port) {
    const int32_t link = 7;
    Pc2Lan_Create(link, host, port, "Administrator", "admin1234", "", "");
    Pc2Lan_Set_Com_Param(link, 101, 251);
    int32_t level = 0;
    Pc2Lan_Connect(link, &level, 2);
    for (uint8_t which : input.calls) {
        Call_Export(link, which);
    }
    Pc2Lan_Delete(link);
}

}  // namespace fuzzexports

// Reprogramming the box's microcontroller through its boot loader.
#include <algorithm>
#include <cstring>

#include "Lan_table.h"
#include "Pc2Lan.h"

using namespace tivrel;

namespace {

constexpr uint8_t Boot_Confirmation[2] = {0x6B, 0x94};
constexpr int32_t Erase_Extra_Ms = 3000;
constexpr uint8_t Max_Program_Count = Max_Payload - 2;

// Enter boot and reboot: the loader answers a zero byte when it accepts.
int32_t Loader_Command(Lan_thread& lan, uint8_t command, const uint8_t* payload, uint8_t length) {
    Lan_Frame reply;
    const int32_t r = lan.Exchange(command, payload, length, reply);
    if (r == Done) {
        return reply[3] == 0 ? PC2LAN_OK : Translate(lan, Refused_Argument);
    }
    return Translate(lan, As_Failure(r));
}

// 3-4 address, 5.. the data bytes.
int32_t Program(Lan_thread& lan, uint8_t command, int32_t address, const uint8_t* data,
                uint8_t count, uint8_t* reply) {
    uint8_t payload[Max_Payload];
    Put_U16(payload, static_cast<uint32_t>(address));
    std::memcpy(payload + 2, data, count);
    return lan.Exchange(command, payload, static_cast<uint8_t>(count + 2), reply);
}

bool Bad_Block(const uint8_t* data, uint8_t count) {
    return count > Max_Program_Count || (data == nullptr && count > 0);
}

// Puts the link's time-outs back as they were, however the erase ends.
class Timeout_Restore {
public:
    explicit Timeout_Restore(Lan_thread& lan)
        : lan_(lan), io_(lan.Io_Timeout), reply_(lan.Reply_Timeout) {}
    ~Timeout_Restore() { lan_.Set_Com_Param(io_, reply_); }
    int32_t Reply() const { return reply_; }
    int32_t Io() const { return io_; }

private:
    Lan_thread& lan_;
    int32_t io_;
    int32_t reply_;
};

}  // namespace

int32_t Pc2Lan_Micro_EnterBoot(int32_t link) {
    return Call_Link(link, Link_Check::Connection, [](Lan_thread& lan) -> int32_t {
        return Loader_Command(lan, Cmd_Enter_Boot, Boot_Confirmation, sizeof Boot_Confirmation);
    });
}

int32_t Pc2Lan_Micro_ReBoot(int32_t link) {
    return Call_Link(link, Link_Check::Connection, [](Lan_thread& lan) -> int32_t {
        return Loader_Command(lan, Cmd_Reboot, nullptr, 0);
    });
}

int32_t Pc2Lan_Micro_Erase(int32_t link, uint8_t* block) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        Timeout_Restore restore(lan);
        // An erase takes the loader a while: give it 3 s more, unless that leaves the range.
        lan.Set_Com_Param(restore.Io(), restore.Reply() + Erase_Extra_Ms);
        if (block == nullptr) {
            return PC2LAN_OK;
        }
        Lan_Frame reply;
        const int32_t r = lan.Exchange(Cmd_Erase, block, 1, reply);
        if (r == Done && reply[1] >= 1) {
            *block = reply[3];
        }
        return Translate(lan, r);
    });
}

int32_t Pc2Lan_Micro_FProgram(int32_t link, int32_t address, uint8_t* data, uint8_t count) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        if (Bad_Block(data, count)) {
            return Translate(lan, Refused_Argument);
        }
        Lan_Frame reply;
        const int32_t r = Program(lan, Cmd_Flash_Program, address, data, count, reply);
        if (r != Done) {
            return r > 0 ? r : Translate(lan, r);
        }
        return reply[1] >= 3 ? static_cast<int32_t>(reply[5]) : 0;
    });
}

int32_t Pc2Lan_Micro_EProgram(int32_t link, int32_t address, uint8_t* data, uint8_t count) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        if (Bad_Block(data, count)) {
            return Translate(lan, Refused_Argument);
        }
        Lan_Frame reply;
        int32_t r = Program(lan, Cmd_Program_Checked, address, data, count, reply);
        if (r != Done) {
            return Translate(lan, As_Failure(r));
        }
        uint8_t ask[3];
        Put_U16(ask, static_cast<uint32_t>(address));
        ask[2] = count;
        r = lan.Exchange(Cmd_Read_Back, ask, sizeof ask, reply);
        if (r != Done) {
            return PC2LAN_FAILED;
        }
        const uint8_t n = reply[1];
        if (n < 2) {
            return 0;
        }
        // The read-back never writes past the count bytes the caller's buffer holds.
        const uint8_t copied = std::min<uint8_t>(n - 2, count);
        if (data != nullptr) {
            std::memcpy(data, reply + 5, copied);
        }
        return static_cast<int32_t>(copied);
    });
}

// CAN forwarding, the box information calls and the CAN monitor.
#include <algorithm>
#include <cstring>

#include "Lan_table.h"
#include "Pc2Lan.h"

using namespace tivrel;

namespace {

constexpr uint8_t Can_Header_Size = 4;
constexpr uint8_t Can_Reply_Minimum = Can_Header_Size + 1;
constexpr uint8_t Can_Data_Size = sizeof(CanMessage::Data);
constexpr uint8_t Monitor_Record_Size = 16;
constexpr int32_t Monitor_Records_Per_Frame = 5;

}  // namespace

extern "C" int32_t Pc2Lan_Can_Request(int32_t link, const CanMessage* request, CanMessage* reply) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        if (request == nullptr || reply == nullptr || request->Length > Can_Data_Size) {
            return Translate(lan, Refused_Argument);
        }
        uint8_t payload[sizeof(CanMessage)];
        const uint8_t length = static_cast<uint8_t>(request->Length + Can_Reply_Minimum);
        std::memcpy(payload, request->Header, Can_Header_Size);
        payload[4] = request->Length;
        std::memcpy(payload + Can_Reply_Minimum, request->Data, request->Length);
        Lan_Frame frame;
        int32_t r = lan.Exchange(Cmd_Can_Request, payload, length, frame);
        if (r > 0) {
            r = As_Failure(r);
        } else if (r == Done) {
            const uint8_t n = frame[1];
            if (n < Can_Reply_Minimum) {
                r = Short_Reply;
            } else {
                // Byte 7 is the box's own copy of the data length; the length byte decides.
                const uint8_t count = std::min<uint8_t>(n - Can_Reply_Minimum, Can_Data_Size);
                std::memcpy(reply->Header, frame + 3, Can_Header_Size);
                reply->Length = count;
                std::memcpy(reply->Data, frame + 8, count);
            }
        }
        return Translate(
            lan, r,
            {{Box_Slot_Used, PC2LAN_CAN_REFUSED}, {Box_No_Such_Entry, PC2LAN_CAN_NO_ANSWER}});
    });
}

extern "C" int32_t Pc2Lan_Get_Version(int32_t link, int32_t* first, int32_t* second) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        const struct {
            uint8_t command;
            int32_t* value;
        } asks[] = {{Cmd_Keep_Alive, first}, {Cmd_Version_Second, second}};
        for (const auto& ask : asks) {
            if (ask.value == nullptr) {
                continue;
            }
            Lan_Frame reply;
            const int32_t r = lan.Exchange(ask.command, nullptr, 0, reply);
            if (r != Done) {
                return Translate(lan, As_Failure(r));
            }
            *ask.value = Get_S16(reply + 3);
        }
        return PC2LAN_OK;
    });
}

extern "C" int32_t Pc2Lan_Get_Serial(int32_t link, char* serial) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        if (serial == nullptr) {
            return PC2LAN_OK;
        }
        Lan_Frame reply;
        const int32_t r = lan.Exchange(Cmd_Serial, nullptr, 0, reply);
        if (r != Done) {
            return Translate(lan, As_Failure(r));
        }
        const uint8_t n = reply[1];
        std::memcpy(serial, reply + 3, n);
        serial[n] = '\0';
        return PC2LAN_OK;
    });
}

extern "C" int32_t Pc2Lan_Get_Sleep(int32_t link, uint8_t* state) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        if (state == nullptr) {
            return Translate(lan, Refused_Argument);
        }
        Lan_Frame reply;
        const int32_t r = lan.Exchange(Cmd_Sleep, nullptr, 0, reply);
        if (r != Done) {
            return Translate(lan, As_Failure(r));
        }
        *state = reply[3];
        return PC2LAN_OK;
    });
}

extern "C" int32_t Pc2Lan_Can_Monitor_Set_State(int32_t link, uint8_t* first, uint8_t* second) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        if (first == nullptr || second == nullptr) {
            return Translate(lan, Refused_Argument);
        }
        const uint8_t payload[2] = {*first, *second};
        Lan_Frame reply;
        const int32_t r = lan.Exchange(Cmd_Monitor_Set_State, payload, sizeof payload, reply);
        if (r != Done) {
            return Translate(lan, As_Failure(r));
        }
        if (reply[1] >= 2) {
            *first = reply[3];
            *second = reply[4];
        }
        return PC2LAN_OK;
    });
}

extern "C" int32_t Pc2Lan_Can_Monitor_Get_State(int32_t link, uint8_t* first, uint8_t* second,
                                                int32_t* count) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        Lan_Frame reply;
        const int32_t r = lan.Exchange(Cmd_Monitor_Get_State, nullptr, 0, reply);
        if (r != Done) {
            return Translate(lan, As_Failure(r));
        }
        if (reply[1] >= 4) {
            if (first != nullptr) {
                *first = reply[3];
            }
            if (second != nullptr) {
                *second = reply[4];
            }
            if (count != nullptr) {
                *count = Get_U16(reply + 5);
            }
        }
        return PC2LAN_OK;
    });
}

extern "C" int32_t Pc2Lan_Can_Monitor_Request(int32_t link, uint8_t** records, int32_t count,
                                              int32_t) {
    return Call_Link(link, Link_Check::Connection, [&](Lan_thread& lan) -> int32_t {
        int32_t got = 0;
        if (count <= 0) {
            return got;
        }
        if (records == nullptr) {
            return Translate(lan, Refused_Argument);
        }
        while (got < count) {
            const int32_t want = std::min(Monitor_Records_Per_Frame, count - got);
            uint8_t payload[2];
            Put_U16(payload, static_cast<uint32_t>(want));
            Lan_Frame reply;
            const int32_t r = lan.Exchange(Cmd_Monitor_Request, payload, sizeof payload, reply);
            if (r != Done) {
                return Translate(lan, As_Failure(r));
            }
            // However many records the box sends, only as many as were asked for are copied.
            const int32_t k = std::min<int32_t>(reply[1] / Monitor_Record_Size, want);
            for (int32_t j = 0; j < k; ++j) {
                if (records[got + j] != nullptr) {
                    std::memcpy(records[got + j], reply + 3 + Monitor_Record_Size * j,
                                Monitor_Record_Size);
                }
            }
            got += k;
            if (k < Monitor_Records_Per_Frame) {
                break;
            }
        }
        return got;
    });
}

// The CAN side of a Kest box as the monitor program knows it: module addresses, object and
// action codes, the resolutions of the yield history, and the reply test.
#pragma once

#include <QString>
#include <cstdint>
#include <stdexcept>

#include "Pc2Lan.h"

// Positions of the four header bytes of a CanMessage.
enum CanHeaderByte : int { Hdr_Address = 0, Hdr_Object = 1, Hdr_Action = 2, Hdr_AuthLevel = 3 };

constexpr int Can_Data_Bytes = 32;

// Bus addresses, and the module byte of the box total in history requests.
constexpr uint8_t Addr_Monitor = 0;
constexpr uint8_t Addr_Inverter_A = 4;
constexpr uint8_t Addr_Inverter_B = 8;
constexpr uint8_t Addr_Inverter_C = 12;
constexpr uint8_t Module_Total = 128;

constexpr uint8_t Obj_Monitor_Clock = 0x20;  // the monitor's date and time
constexpr uint8_t Obj_Actual_Power = 0x31;   // an inverter's actual AC power
constexpr uint8_t Obj_Yield_History = 0x41;

constexpr uint8_t Act_Confirm = 1;
constexpr uint8_t Act_Unknown = 2;
constexpr uint8_t Act_Error_Response = 3;
constexpr uint8_t Act_History_Read = 7;
constexpr uint8_t Act_Read = 8;

// ResolutionCode of a history download and of a stored sample.
constexpr uint8_t Res_Ten_Minutes = 36;
constexpr uint8_t Res_Day = 71;
constexpr uint8_t Res_Month = 106;
constexpr uint8_t Res_Year = 125;
constexpr uint8_t Res_Times_Four = 0x80;  // in a reply's resolution byte: each unit counts four

// How a channel reaches its box: through the link library, or to the replay-file box.
constexpr uint8_t Interface_Link = 0;
constexpr uint8_t Interface_Replay = 2;

// Results of a CAN request that the worker tells apart; every other non-zero one is a link error.
constexpr int32_t Can_Result_Ok = 0;
constexpr int32_t Can_Result_Timeout = -11;

// Raised where a reply or a recorded value cannot be converted (an impossible date, a field
// that is no number). It ends the worker that met it, which ends the box's session in order.
class TConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True when the header and length of a reply lie in the ranges a module can send.
bool IsValidReply(const CanMessage& reply);

// A 16-bit value of CAN data: the low byte travels first.
constexpr uint16_t MakeWord(uint8_t low, uint8_t high) {
    return uint16_t(high * 256 + low);
}

QString ModuleDescription(uint8_t address);  // "Inverter B"; empty for an address not listed
QString ModuleTypeName(uint8_t address);     // 8 characters: "INVRT.B ", "UNKNOWN "
QString CanObjectName(uint8_t object);       // "Yield History data", "UNKNOWN "
QString ActionLabel(uint8_t action);         // "confirm"; empty for a code without label

// A request with every byte zero except the header and the length.
CanMessage MakeCanRequest(uint8_t address, uint8_t object, uint8_t action, uint8_t authLevel,
                          uint8_t length = 0);

// The box's frame: command, payload length, status and sequence, payload, additive checksum.
// Multi-byte numbers in payloads are little-endian; every field is read and written at its
// byte position, never by casting a struct onto the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tivrel {

constexpr size_t Lan_Frame_Size = 84;
constexpr uint8_t Max_Payload = 80;
constexpr uint8_t Sequence_Mask = 0x3F;
constexpr uint8_t Wire_Key_Base = 0x5D;
constexpr size_t Name_Size = 20;
constexpr size_t Wire_Area_Size = 2 * Name_Size;

using Lan_Frame = uint8_t[Lan_Frame_Size];

enum Command : uint8_t {
    Cmd_Version_Second = 0x00,
    Cmd_Serial = 0x01,
    Cmd_Can_Request = 0x10,
    Cmd_Sleep = 0x11,
    Cmd_Set_Session_Time = 0x62,
    Cmd_Get_Session_Time = 0x63,
    Cmd_Enter_Boot = 0x70,
    Cmd_Erase = 0x71,
    Cmd_Flash_Program = 0x72,
    Cmd_Reboot = 0x73,
    Cmd_Read_Back = 0x78,
    Cmd_Program_Checked = 0x79,
    Cmd_Keep_Alive = 0x80,
    Cmd_Monitor_Set_State = 0xA0,
    Cmd_Monitor_Get_State = 0xA1,
    Cmd_Monitor_Request = 0xA2,
    Cmd_Login = 0xC0,
    Cmd_Account_Numbers = 0xD0,
    Cmd_Account_Get_Info = 0xD1,
    Cmd_Account_Add = 0xD2,
    Cmd_Account_Remove = 0xD3,
    Cmd_Account_Modify = 0xD4,
    Cmd_Account_Update = 0xD5,
    Cmd_Account_Store = 0xD6,
    Cmd_Connection_Info = 0xD8,
    Cmd_Connection_Kill = 0xD9,
};

// Results of the exchange and of the commands, before an export translates them.
enum Internal_Result : int32_t {
    Done = 0,
    Stale_Sequence = -2,
    Socket_Not_Open = -3,
    No_Reply = -4,
    Short_Reply = -5,
    Refused_Argument = -6,
};

// The status bits of a reply: the box's verdict on the request.
enum Reply_Status : uint8_t {
    Status_No_Verdict = 0,
    Status_Done = 1,
    Status_Refused = 2,
    Status_Refused_Too = 3,
};

constexpr uint8_t Status_Of(uint8_t byte2) {
    return byte2 >> 6;
}
constexpr uint8_t Sequence_Of(uint8_t byte2) {
    return byte2 & Sequence_Mask;
}

inline void Put_U16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

inline void Put_U32(uint8_t* at, uint32_t value) {
    Put_U16(at, value & 0xFFFF);
    Put_U16(at + 2, value >> 16);
}

inline uint16_t Get_U16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}
inline int16_t Get_S16(const uint8_t* at) {
    return static_cast<int16_t>(Get_U16(at));
}
inline int32_t Get_S32(const uint8_t* at) {
    return static_cast<int32_t>(static_cast<uint32_t>(Get_U16(at)) |
                                (static_cast<uint32_t>(Get_U16(at + 2)) << 16));
}

uint8_t Frame_Checksum(const uint8_t* frame, size_t count);

// Hides or reveals a name-and-password area in place: the byte at area position k is XORed
// with Wire_Key_Base + k. first_position is the area position of area[0].
void Wire_Code(uint8_t* area, size_t count, size_t first_position = 0);

// Fills the 40-byte area with name and password, each cut at 20 characters and zero-padded,
// then codes it. Null texts count as empty.
void Put_Credentials(uint8_t* area, const char* name, const char* password);

// Copies a decoded 20-byte field into text as a zero-terminated string cut at its first zero.
void Get_Field_Text(const uint8_t* field, char* text);

}  // namespace tivrel

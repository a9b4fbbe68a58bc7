// Tivrel: the link library between a PC and its Kest boxes.
//
// Every function takes a link handle 0..255 (except Pc2Lan_Dll_Version) and returns a plain
// integer: 0 or more is success, a negative value is one of the codes below. The caller owns
// every buffer; the library copies what it keeps.
#pragma once

#include <stdint.h>

#define PC2LAN_EXPORT __attribute__((visibility("default")))

// Results shared by the exports. Box refusals -11 to -20 are mapped per export.
enum {
    PC2LAN_OK = 0,
    PC2LAN_EMPTY_ENTRY = -1,  // Pc2Lan_Create: entry already in use
    PC2LAN_BAD_HANDLE = -2,
    PC2LAN_NOT_CONNECTED = -3,
    PC2LAN_BAD_PARAMETER = -4,
    PC2LAN_FAILED = -10,
    PC2LAN_UNEXPECTED = -100,
};

// Box refusals as the exports name them; one value means different things for different
// exports, so each export's codes are listed with it.
enum {
    // Pc2Lan_Connect
    PC2LAN_ALREADY_CONNECTED = -11,
    PC2LAN_LOGIN_REFUSED = -12,
    PC2LAN_ACCOUNT_DISABLED = -13,
    PC2LAN_TOO_MANY_SESSIONS = -14,
    PC2LAN_BOOT_MODE = -15,

    // Pc2Lan_Can_Request
    PC2LAN_CAN_NO_ANSWER = -11,  // the addressed module did not answer on the CAN bus
    PC2LAN_CAN_REFUSED = -12,

    // Pc2Lan_Set_Session_Time, the account and the connection calls
    PC2LAN_NOT_PERMITTED = -11,
    PC2LAN_INDEX_OUT_OF_RANGE = -12,
    PC2LAN_SLOT_USED = -13,      // Pc2Lan_Account_Add
    PC2LAN_NO_SUCH_ENTRY = -13,  // Modify, Remove, Connection_Kill
    PC2LAN_NAME_EMPTY = -14,
    PC2LAN_NAME_BAD_CHAR = -15,
    PC2LAN_PASSWORD_EMPTY = -16,
    PC2LAN_PASSWORD_BAD_CHAR = -17,
    PC2LAN_VALUE_OUT_OF_RANGE = -18,
    PC2LAN_NAME_USED = -19,             // Pc2Lan_Account_Modify
    PC2LAN_LAST_ADMINISTRATOR = -20,    // Pc2Lan_Account_Remove
    PC2LAN_CONNECTION_IS_CALLER = -14,  // Pc2Lan_Connection_Kill
};

// One CAN request or reply as it crosses the interface: 37 bytes back to back.
typedef struct __attribute__((packed)) CanMessage {
    uint8_t Header[4];  // Address, Object, Action, AuthLevel
    uint8_t Length;     // valid bytes in Data, 0..32
    uint8_t Data[32];
} CanMessage;

#ifdef __cplusplus
static_assert(sizeof(CanMessage) == 37, "CanMessage is a packed 37-byte record");
extern "C" {
#endif

PC2LAN_EXPORT int32_t Pc2Lan_Create(int32_t link, const char* host, int32_t port, const char* user,
                                    const char* password, const void* reserved1,
                                    const void* reserved2);
PC2LAN_EXPORT int32_t Pc2Lan_Delete(int32_t link);
PC2LAN_EXPORT int32_t Pc2Lan_Dll_Version(void);

PC2LAN_EXPORT int32_t Pc2Lan_Connect(int32_t link, int32_t* access_level, int32_t reserved);
PC2LAN_EXPORT int32_t Pc2Lan_Disconnect(int32_t link);
PC2LAN_EXPORT int32_t Pc2Lan_Set_Com_Param(int32_t link, int32_t io_timeout, int32_t reply_timeout);
PC2LAN_EXPORT int32_t Pc2Lan_Get_Com_Param(int32_t link, int32_t* io_timeout,
                                           int32_t* reply_timeout);
PC2LAN_EXPORT int32_t Pc2Lan_Set_Session_Time(int32_t link, int32_t first, int32_t second);
PC2LAN_EXPORT int32_t Pc2Lan_Get_Session_Time(int32_t link, int32_t* first, int32_t* second);
PC2LAN_EXPORT int32_t Pc2Lan_Keep_Alive(int32_t link);

PC2LAN_EXPORT int32_t Pc2Lan_Get_Version(int32_t link, int32_t* first, int32_t* second);
PC2LAN_EXPORT int32_t Pc2Lan_Get_Serial(int32_t link, char* serial);
PC2LAN_EXPORT int32_t Pc2Lan_Can_Request(int32_t link, const CanMessage* request,
                                         CanMessage* reply);
PC2LAN_EXPORT int32_t Pc2Lan_Get_Sleep(int32_t link, uint8_t* state);
PC2LAN_EXPORT int32_t Pc2Lan_Can_Monitor_Set_State(int32_t link, uint8_t* first, uint8_t* second);
PC2LAN_EXPORT int32_t Pc2Lan_Can_Monitor_Get_State(int32_t link, uint8_t* first, uint8_t* second,
                                                   int32_t* count);
PC2LAN_EXPORT int32_t Pc2Lan_Can_Monitor_Request(int32_t link, uint8_t** records, int32_t count,
                                                 int32_t reserved);

PC2LAN_EXPORT int32_t Pc2Lan_Account_Numbers(int32_t link, int32_t* first, int32_t* count);
PC2LAN_EXPORT int32_t Pc2Lan_Account_Get_Info(int32_t link, int32_t account, char* name,
                                              char* password, int32_t* value, int32_t* flag);
PC2LAN_EXPORT int32_t Pc2Lan_Account_Add(int32_t link, int32_t account, const char* name,
                                         const char* password, int32_t value, int32_t flag);
PC2LAN_EXPORT int32_t Pc2Lan_Account_Modify(int32_t link, int32_t account, const char* name,
                                            const char* password, int32_t value, int32_t flag);
PC2LAN_EXPORT int32_t Pc2Lan_Account_Remove(int32_t link, int32_t account);
PC2LAN_EXPORT int32_t Pc2Lan_Account_Update(int32_t link);
PC2LAN_EXPORT int32_t Pc2Lan_Account_Store(int32_t link);
PC2LAN_EXPORT int32_t Pc2Lan_Connection_Info(int32_t link, int32_t connection, uint8_t* info);
PC2LAN_EXPORT int32_t Pc2Lan_Connection_Kill(int32_t link, int32_t first, int32_t second);

#ifdef __cplusplus
}

// The microcontroller calls keep C++ linkage: their symbols carry the compiler's name mangling.
PC2LAN_EXPORT int32_t Pc2Lan_Micro_EnterBoot(int32_t link);
PC2LAN_EXPORT int32_t Pc2Lan_Micro_Erase(int32_t link, uint8_t* block);
PC2LAN_EXPORT int32_t Pc2Lan_Micro_FProgram(int32_t link, int32_t address, uint8_t* data,
                                            uint8_t count);
PC2LAN_EXPORT int32_t Pc2Lan_Micro_EProgram(int32_t link, int32_t address, uint8_t* data,
                                            uint8_t count);
PC2LAN_EXPORT int32_t Pc2Lan_Micro_ReBoot(int32_t link);
#endif

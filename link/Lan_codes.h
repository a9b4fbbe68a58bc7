// The codes a Kest box answers with when it refuses a request (status 2 or 3, signed 16-bit in
// bytes 3-4), and the results of the link's own connect and disconnect steps. The exports turn
// them into their PC2LAN_ results; a box code the library does not list is passed on as is.
#pragma once

#include <cstdint>

namespace tivrel {

enum Box_Code : int32_t {
    Box_Index_Out_Of_Range = -11,
    Box_Not_Permitted = -12,
    Box_Login_Refused = -13,  // also: a session-time value the box does not take
    Box_Account_Disabled = -14,
    Box_Name_Empty = -15,
    Box_Name_Bad_Char = -16,
    Box_Password_Empty = -17,
    Box_Password_Bad_Char = -18,
    Box_Value_Out_Of_Range = -19,
    Box_Slot_Used = -20,      // also: a CAN request the box will not forward
    Box_No_Such_Entry = -21,  // also: the addressed CAN module did not answer
    Box_Conflict = -22,       // a name already used; a connection asked to kill itself
    Box_Last_Administrator = -23,
    Box_Boot_Mode = -24,
    Box_Too_Many_Sessions = -25,
};

// Lan_thread::Connect and Lan_thread::Disconnect, besides the exchange's own results.
enum Link_Step_Result : int32_t {
    Link_Already_Open = -1,
    Link_Not_Opened = -2,
    Link_Without_Socket = -1,
};

}  // namespace tivrel

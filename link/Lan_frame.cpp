#include "Lan_frame.h"

#include <cstring>

namespace tivrel {

uint8_t Frame_Checksum(const uint8_t* frame, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += frame[i];
    }
    return static_cast<uint8_t>(sum & 0xFF);
}

void Wire_Code(uint8_t* area, size_t count, size_t first_position) {
    for (size_t i = 0; i < count; ++i) {
        area[i] ^= static_cast<uint8_t>((Wire_Key_Base + first_position + i) & 0xFF);
    }
}

static void Put_Field(uint8_t* field, const char* text) {
    std::memset(field, 0, Name_Size);
    if (text != nullptr) {
        std::memcpy(field, text, strnlen(text, Name_Size));
    }
}

void Put_Credentials(uint8_t* area, const char* name, const char* password) {
    Put_Field(area, name);
    Put_Field(area + Name_Size, password);
    Wire_Code(area, Wire_Area_Size);
}

void Get_Field_Text(const uint8_t* field, char* text) {
    size_t length = 0;
    while (length < Name_Size && field[length] != 0) {
        ++length;
    }
    std::memcpy(text, field, length);
    text[length] = '\0';
}

}  // namespace tivrel

#include "CanObjects.h"

#include <cstring>

bool IsValidReply(const CanMessage& reply) {
    return reply.Header[Hdr_Address] <= 63 && reply.Header[Hdr_Object] <= 128 &&
           reply.Header[Hdr_Action] <= 7 && reply.Header[Hdr_AuthLevel] <= 3 &&
           reply.Length <= Can_Data_Bytes;
}

namespace {

struct ModuleEntry {
    uint8_t first;
    uint8_t last;
    const char* description;
    const char* typeName;  // for the first address of the range only
};

// A module occupies one address, or four for the kinds that may appear more than once.
const ModuleEntry Modules[] = {
    {0, 0, "Monitor", "MONITOR "},
    {1, 1, "Safety", nullptr},
    {2, 2, "Service", nullptr},
    {3, 3, "Unallocated Inverter", nullptr},
    {4, 7, "Inverter A", "INVRT.A "},
    {8, 11, "Inverter B", "INVRT.B "},
    {12, 15, "Inverter C", "INVRT.C "},
    {32, 35, "Display and Key", "DKM     "},
    {36, 39, "Option 1", "OPTION 1"},
    {40, 43, "Option 2", "OPTION 2"},
    {61, 61, "Non-inverter broadcast", nullptr},
    {62, 62, "Inverter broadcast", nullptr},
    {63, 63, "General broadcast", nullptr},
};

const ModuleEntry* FindModule(uint8_t address) {
    for (const ModuleEntry& entry : Modules) {
        if (address >= entry.first && address <= entry.last) {
            return &entry;
        }
    }
    return nullptr;
}

struct ObjectEntry {
    uint8_t code;
    const char* name;
};

const ObjectEntry Objects[] = {
    {0x00, "Serial Number"},
    {0x01, "Module Type"},
    {0x02, "Software Version"},
    {0x03, "Module State"},
    {0x12, "Inverter Parameters"},
    {0x13, "Inverter Safety Parameters"},
    {0x20, "Monitor Date/Time / PV Panel Configuration"},
    {0x21, "PV Voltage"},
    {0x22, "PV Current"},
    {0x23, "PV Power"},
    {0x24, "Panel Isolation Resistance"},
    {0x25, "Temperature Profile"},
    {0x26, "Temperature"},
    {0x27, "Primary Bus Voltage"},
    {0x30, "Inverter actual Voltage/Current/Freq."},
    {0x31, "Inverter actual Power / Monitor Residual Current"},
    {0x32, "Inverter Yield"},
    {0x33, "Secondary Bus Voltage"},
    {0x40, "System Mains Power"},
    {0x41, "Yield History data"},
    {0x42, "Status History data"},
    {0x43, "Inverter Presence"},
    {0x52, "ENS data"},
    {0x60, "Region of Operation"},
    {0x61, "Region of Operation Options"},
};

const char* const Unknown_Name = "UNKNOWN ";

}  // namespace

QString ModuleDescription(uint8_t address) {
    const ModuleEntry* entry = FindModule(address);
    return entry != nullptr ? QString::fromLatin1(entry->description) : QString();
}

QString ModuleTypeName(uint8_t address) {
    const ModuleEntry* entry = FindModule(address);
    if (entry != nullptr && entry->typeName != nullptr && address == entry->first) {
        return QString::fromLatin1(entry->typeName);
    }
    return QString::fromLatin1(Unknown_Name);
}

QString CanObjectName(uint8_t object) {
    for (const ObjectEntry& entry : Objects) {
        if (entry.code == object) {
            return QString::fromLatin1(entry.name);
        }
    }
    return QString::fromLatin1(Unknown_Name);
}

QString ActionLabel(uint8_t action) {
    switch (action) {
        case 0:
            return QStringLiteral("rmt/wr ");
        case 1:
            return QStringLiteral("confirm");
        case 2:
            return QStringLiteral("unknown");
        case 3:
            return QStringLiteral("errresp");
        case 4:
            return QStringLiteral("wr+conf");
        case 7:
            return QStringLiteral("rd-ngen");
        default:
            return {};
    }
}

CanMessage MakeCanRequest(uint8_t address, uint8_t object, uint8_t action, uint8_t authLevel,
                          uint8_t length) {
    CanMessage message;
    std::memset(&message, 0, sizeof message);
    message.Header[Hdr_Address] = address;
    message.Header[Hdr_Object] = object;
    message.Header[Hdr_Action] = action;
    message.Header[Hdr_AuthLevel] = authLevel;
    message.Length = length;
    return message;
}

// The link table shared by every export, the handle check and the catch-all guard around a
// call, and the translation of internal results into the exports' codes.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>

#include "Lan_class.h"
#include "Pc2Lan.h"

namespace tivrel {

constexpr int32_t Link_Count = 256;

// The link object of a handle, or null with the export's code (-2 outside 0..255, -1 empty).
std::shared_ptr<Lan_thread> Find_Link(int32_t link, int32_t* code);

enum class Link_Check { Entry, Connection };

// Runs body(link object) as one call on the link: it holds the link's call lock throughout,
// and any error escaping the body answers -100. With Link_Check::Connection a link without an
// open connection answers -3 before anything is sent.
template <class Body>
int32_t Call_Link(int32_t link, Link_Check check, Body&& body) {
    int32_t code = 0;
    std::shared_ptr<Lan_thread> lan = Find_Link(link, &code);
    if (lan == nullptr) {
        return code;
    }
    try {
        std::lock_guard<std::mutex> lock(lan->Call_Lock);
        if (lan->Deleted) {
            return PC2LAN_EMPTY_ENTRY;
        }
        if (check == Link_Check::Connection && !lan->Is_Connected()) {
            return PC2LAN_NOT_CONNECTED;
        }
        return body(*lan);
    } catch (...) {
        return PC2LAN_UNEXPECTED;
    }
}

// A refusal whose code is not negative still means the reply carries no data to take apart.
inline int32_t As_Failure(int32_t result) {
    return result < 0 ? result : Refused_Argument;
}

struct Code_Map {
    int32_t box;
    int32_t api;
};

// 0 or more is success (0); a listed box code becomes its export code; anything else is -10
// while the link is still connected and -3 once the exchange has dropped it.
int32_t Translate(const Lan_thread& lan, int32_t result, std::initializer_list<Code_Map> map = {});

}  // namespace tivrel

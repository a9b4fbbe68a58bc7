// The link table and the exports that work on the table itself.
#include "Pc2Lan.h"

#include <array>
#include <mutex>
#include <new>

#include "Lan_table.h"

namespace tivrel {

namespace {

constexpr int32_t Version_Major = 1;
constexpr int32_t Version_Minor = 0;
constexpr int32_t Version_Release = 1;

struct Link_Table {
    std::mutex lock;
    std::array<std::shared_ptr<Lan_thread>, Link_Count> entries;

    // Unloading the library stops every link still created, in handle order.
    ~Link_Table() {
        for (auto& entry : entries) {
            std::shared_ptr<Lan_thread> lan;
            {
                std::lock_guard<std::mutex> guard(lock);
                lan.swap(entry);
            }
            Retire(std::move(lan));
        }
    }

    static void Retire(std::shared_ptr<Lan_thread> lan) {
        if (lan == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> call(lan->Call_Lock);
        lan->Deleted = true;
        lan->Stop();
        lan->Disconnect();
    }
};

Link_Table Lan_Table;

bool Outside_Table(int32_t link) {
    return link < 0 || link >= Link_Count;
}

}  // namespace

std::shared_ptr<Lan_thread> Find_Link(int32_t link, int32_t* code) {
    if (Outside_Table(link)) {
        *code = PC2LAN_BAD_HANDLE;
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(Lan_Table.lock);
    std::shared_ptr<Lan_thread> lan = Lan_Table.entries[link];
    if (lan == nullptr) {
        *code = PC2LAN_EMPTY_ENTRY;
    }
    return lan;
}

int32_t Translate(const Lan_thread& lan, int32_t result, std::initializer_list<Code_Map> map) {
    if (result >= 0) {
        return PC2LAN_OK;
    }
    for (const Code_Map& entry : map) {
        if (entry.box == result) {
            return entry.api;
        }
    }
    return lan.Is_Connected() ? PC2LAN_FAILED : PC2LAN_NOT_CONNECTED;
}

}  // namespace tivrel

using namespace tivrel;

extern "C" int32_t Pc2Lan_Create(int32_t link, const char* host, int32_t port, const char* user,
                                 const char* password, const void*, const void*) {
    if (Outside_Table(link)) {
        return PC2LAN_BAD_HANDLE;
    }
    try {
        std::lock_guard<std::mutex> guard(Lan_Table.lock);
        if (Lan_Table.entries[link] != nullptr) {
            return PC2LAN_EMPTY_ENTRY;
        }
        Lan_Table.entries[link] = std::make_shared<Lan_thread>(host, port, user, password);
        return PC2LAN_OK;
    } catch (...) {
        return PC2LAN_UNEXPECTED;
    }
}

extern "C" int32_t Pc2Lan_Delete(int32_t link) {
    if (Outside_Table(link)) {
        return PC2LAN_BAD_HANDLE;
    }
    std::shared_ptr<Lan_thread> lan;
    {
        std::lock_guard<std::mutex> guard(Lan_Table.lock);
        lan.swap(Lan_Table.entries[link]);
    }
    if (lan == nullptr) {
        return PC2LAN_EMPTY_ENTRY;
    }
    // A call still running on this link finishes first: Retire waits for its call lock.
    Link_Table::Retire(std::move(lan));
    return PC2LAN_OK;
}

extern "C" int32_t Pc2Lan_Dll_Version(void) {
    return Version_Major * 10000 + Version_Minor * 100 + Version_Release;
}

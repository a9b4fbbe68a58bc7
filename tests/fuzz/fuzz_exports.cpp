// Feeds arbitrary reply bytes to every export through the real exchange code, with the link's
// transport replaced by a box in memory: each request frame is answered with the next chunk of
// the input at once, silence costs nothing, and the box hangs up when the input is used up. The
// input layout is in fuzz_exports_calls.h; fuzz_exports_socket runs the same inputs over TCP.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Lan_table.h"
#include "MemoryTransport.h"
#include "Pc2Lan.h"
#include "fuzz_exports_calls.h"

namespace {

std::shared_ptr<linktest::Memory_Box> Box() {
    static std::shared_ptr<linktest::Memory_Box> box = [] {
        auto made = std::make_shared<linktest::Memory_Box>();
        made->Install();
        return made;
    }();
    return box;
}

constexpr int32_t kLink = 7;

// Starting and ending a link's idle thread costs far more under the sanitizers than all of its
// exchanges together, so one link lives for the whole run and is put back into the state of a
// newly created link before each input: unconnected, frame counter 0, default time-outs.
void Fresh_Link() {
    int32_t code = 0;
    std::shared_ptr<tivrel::Lan_thread> lan = tivrel::Find_Link(kLink, &code);
    if (lan == nullptr) {
        Pc2Lan_Create(kLink, "box.example", 7777, "Administrator", "admin1234", "", "");
        lan = tivrel::Find_Link(kLink, &code);
    }
    lan->Disconnect();
    lan->Frame_Count = 0;
    lan->Io_Timeout = tivrel::Default_Timeout_Ms;
    lan->Reply_Timeout = tivrel::Default_Timeout_Ms;
    lan->Login_Result = 0;
    lan->Access_Level = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzexports::Input input;
    if (!fuzzexports::Parse_Input(data, size, &input)) {
        return 0;
    }
    std::vector<linktest::Memory_Chunk> chunks;
    chunks.reserve(input.chunks.size());
    for (const fuzzexports::Chunk& chunk : input.chunks) {
        linktest::Memory_Chunk memory;
        memory.bytes = chunk.bytes;
        memory.follow_up = chunk.follow_up;
        memory.sequence = chunk.own_sequence ? linktest::Memory_Chunk::Sequence::Own
                                             : linktest::Memory_Chunk::Sequence::As_Given;
        chunks.push_back(std::move(memory));
    }
    Box()->Load(std::move(chunks));
    Fresh_Link();
    Pc2Lan_Set_Com_Param(kLink, 101, 251);
    int32_t level = 0;
    Pc2Lan_Connect(kLink, &level, 2);
    for (uint8_t which : input.calls) {
        fuzzexports::Call_Export(kLink, which);
    }
    return 0;
}

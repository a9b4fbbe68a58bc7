// Feeds arbitrary reply bytes to every export through the real exchange code: a loopback box
// answers each request frame with the next chunk of the input, and closes the connection when
// the input is used up.
//
// Input: byte 0 the number of calls (1..8), then one byte per call choosing the export, then
// chunks of [flags, length, bytes...]. Flag bit 0: send right after the previous chunk without
// waiting for a request (a second frame for the same request). Bit 1: give the chunk the
// request's sequence number, keeping its status bits.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Pc2Lan.h"

namespace {

struct Chunk {
    bool follow_up;
    bool own_sequence;
    std::vector<uint8_t> bytes;
};

class Fuzz_Box {
public:
    Fuzz_Box() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
        thread_.detach();
    }

    int Port() const { return port_; }

    void Load(std::vector<Chunk> chunks) {
        std::lock_guard<std::mutex> lock(lock_);
        chunks_ = std::move(chunks);
        next_ = 0;
    }

private:
    bool Next(Chunk* chunk) {
        std::lock_guard<std::mutex> lock(lock_);
        if (next_ >= chunks_.size()) {
            return false;
        }
        *chunk = chunks_[next_++];
        return true;
    }

    bool Used_Up() {
        std::lock_guard<std::mutex> lock(lock_);
        return next_ >= chunks_.size();
    }

    bool Peek_Follow_Up() {
        std::lock_guard<std::mutex> lock(lock_);
        return next_ < chunks_.size() && chunks_[next_].follow_up;
    }

    // Reads one request frame; false when the link closed.
    static bool Read_Request(int fd, uint8_t* frame) {
        size_t have = 0;
        size_t want = 4;
        while (have < want) {
            ssize_t n = ::recv(fd, frame + have, want - have, 0);
            if (n <= 0) {
                return false;
            }
            have += static_cast<size_t>(n);
            if (have >= 2) {
                want = frame[1] + 4u;
            }
        }
        return true;
    }

    void Send(int fd, Chunk chunk, uint8_t sequence) {
        if (chunk.own_sequence && chunk.bytes.size() >= 3) {
            chunk.bytes[2] = static_cast<uint8_t>((chunk.bytes[2] & 0xC0) | sequence);
        }
        if (!chunk.bytes.empty()) {
            ::send(fd, chunk.bytes.data(), chunk.bytes.size(), MSG_NOSIGNAL);
        }
    }

    void Serve() {
        for (;;) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            uint8_t request[84 + 4];
            Chunk chunk;
            while (Read_Request(fd, request)) {
                if (!Next(&chunk)) {
                    break;
                }
                Send(fd, chunk, request[2] & 0x3F);
                while (Peek_Follow_Up() && Next(&chunk)) {
                    ::usleep(1000);
                    Send(fd, chunk, request[2] & 0x3F);
                }
                // With nothing left to answer, closing at once spares the link its time-outs.
                if (Used_Up()) {
                    break;
                }
            }
            ::close(fd);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::vector<Chunk> chunks_;
    size_t next_ = 0;
};

Fuzz_Box& Box() {
    static Fuzz_Box* box = new Fuzz_Box();
    return *box;
}

// Each record in a heap block of its own, exactly 16 bytes.
void Monitor_Request(int32_t link, int count) {
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<uint8_t*> records;
    for (int i = 0; i < count; ++i) {
        buffers.emplace_back(new uint8_t[16]);
        records.push_back(buffers.back().get());
    }
    Pc2Lan_Can_Monitor_Request(link, records.data(), count, 0);
}

// Every export with buffers exactly as large as the caller must provide, so that the
// sanitizer sees any write or read past them.
void Call_Export(int32_t link, uint8_t which) {
    switch (which % 30) {
        case 0: {
            int32_t level = 0;
            Pc2Lan_Connect(link, &level, 2);
            break;
        }
        case 1:
            Pc2Lan_Keep_Alive(link);
            break;
        case 2: {
            int32_t a = 0, b = 0;
            Pc2Lan_Get_Version(link, &a, &b);
            break;
        }
        case 3: {
            std::vector<char> serial(81);
            Pc2Lan_Get_Serial(link, serial.data());
            break;
        }
        case 4: {
            CanMessage request{};
            request.Header[1] = 0x31;
            request.Length = 9;
            auto reply = std::make_unique<CanMessage>();
            Pc2Lan_Can_Request(link, &request, reply.get());
            break;
        }
        case 5: {
            auto state = std::make_unique<uint8_t>(0);
            Pc2Lan_Get_Sleep(link, state.get());
            break;
        }
        case 6: {
            auto a = std::make_unique<uint8_t>(1);
            auto b = std::make_unique<uint8_t>(0);
            Pc2Lan_Can_Monitor_Set_State(link, a.get(), b.get());
            break;
        }
        case 7: {
            uint8_t a = 0, b = 0;
            int32_t count = 0;
            Pc2Lan_Can_Monitor_Get_State(link, &a, &b, &count);
            break;
        }
        case 8:
            Monitor_Request(link, 7);
            break;
        case 9: {
            int32_t first = 0, count = 0;
            Pc2Lan_Account_Numbers(link, &first, &count);
            break;
        }
        case 10: {
            std::vector<char> name(21), password(21);
            int32_t value = 0, flag = 0;
            Pc2Lan_Account_Get_Info(link, 1, name.data(), password.data(), &value, &flag);
            break;
        }
        case 11:
            Pc2Lan_Account_Add(link, 2, "Installer", "secret-password-too-long", 4, 1);
            break;
        case 12:
            Pc2Lan_Account_Modify(link, 1, "Administrator", "new", 4, 1);
            break;
        case 13:
            Pc2Lan_Account_Remove(link, 2);
            break;
        case 14:
            Pc2Lan_Account_Update(link);
            break;
        case 15:
            Pc2Lan_Account_Store(link);
            break;
        case 16: {
            std::vector<uint8_t> info(36);
            Pc2Lan_Connection_Info(link, 0, info.data());
            break;
        }
        case 17:
            Pc2Lan_Connection_Kill(link, 1, 0);
            break;
        case 18:
            Pc2Lan_Set_Session_Time(link, 5, 10);
            break;
        case 19: {
            int32_t a = 0, b = 0;
            Pc2Lan_Get_Session_Time(link, &a, &b);
            break;
        }
        case 20:
            Pc2Lan_Micro_EnterBoot(link);
            break;
        case 21: {
            auto block = std::make_unique<uint8_t>(3);
            Pc2Lan_Micro_Erase(link, block.get());
            // The erase raises the reply time-out only for its own duration.
            Pc2Lan_Set_Com_Param(link, 101, 251);
            break;
        }
        case 22: {
            std::vector<uint8_t> data(16, 0xA5);
            Pc2Lan_Micro_FProgram(link, 0x100, data.data(), 16);
            break;
        }
        case 23: {
            std::vector<uint8_t> data(8, 0x5A);
            Pc2Lan_Micro_EProgram(link, 0x200, data.data(), 8);
            break;
        }
        case 24:
            Pc2Lan_Micro_ReBoot(link);
            break;
        case 25:
            Pc2Lan_Disconnect(link);
            break;
        case 26: {
            int32_t io = 0, reply = 0;
            Pc2Lan_Get_Com_Param(link, &io, &reply);
            break;
        }
        case 27: {
            CanMessage request{};
            request.Length = 0;
            auto reply = std::make_unique<CanMessage>();
            Pc2Lan_Can_Request(link, &request, reply.get());
            break;
        }
        case 28: {
            std::vector<uint8_t> data(78, 1);
            Pc2Lan_Micro_EProgram(link, 0, data.data(), 78);
            break;
        }
        default:
            Monitor_Request(link, 2);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t calls = 1 + data[0] % 8;
    if (size < 1 + calls) {
        return 0;
    }
    std::vector<Chunk> chunks;
    size_t at = 1 + calls;
    while (at + 2 <= size) {
        const uint8_t flags = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        Chunk chunk{(flags & 1) != 0, (flags & 2) != 0,
                    std::vector<uint8_t>(data + at + 2, data + at + 2 + length)};
        chunks.push_back(std::move(chunk));
        at += 2 + length;
    }
    Fuzz_Box& box = Box();
    box.Load(std::move(chunks));

    const int32_t link = 7;
    Pc2Lan_Create(link, "127.0.0.1", box.Port(), "Administrator", "admin1234", "", "");
    Pc2Lan_Set_Com_Param(link, 101, 251);
    int32_t level = 0;
    Pc2Lan_Connect(link, &level, 2);
    for (size_t i = 0; i < calls; ++i) {
        Call_Export(link, data[1 + i]);
    }
    Pc2Lan_Delete(link);
    return 0;
}

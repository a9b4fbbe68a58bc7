// Feeds arbitrary reply bytes to every export through the real exchange code and the real TCP
// socket: a loopback box answers each request frame with the next chunk of the input, and closes
// the connection when the input is used up. Silent chunks wait out the link's real time-outs, so
// this runs slowly; fuzz_exports covers the same inputs in memory, this one checks the socket.
// The input layout is in fuzz_exports_calls.h.
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
#include "fuzz_exports_calls.h"

namespace {

using fuzzexports::Chunk;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzexports::Input input;
    if (!fuzzexports::Parse_Input(data, size, &input)) {
        return 0;
    }
    Fuzz_Box& box = Box();
    box.Load(input.chunks);
    fuzzexports::Run_Calls(input, "127.0.0.1", box.Port());
    return 0;
}

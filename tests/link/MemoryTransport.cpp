#include "MemoryTransport.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace linktest {

void Memory_Box::Push(Memory_Chunk chunk) {
    std::lock_guard<std::mutex> lock(lock_);
    chunks_.push_back(std::move(chunk));
}

void Memory_Box::Push_Frame(uint8_t command, uint8_t status, const std::vector<uint8_t>& payload,
                            Memory_Chunk::Sequence sequence, bool follow_up) {
    Memory_Chunk chunk;
    chunk.bytes = {command, static_cast<uint8_t>(payload.size()),
                   static_cast<uint8_t>(status << 6)};
    chunk.bytes.insert(chunk.bytes.end(), payload.begin(), payload.end());
    uint8_t sum = 0;
    for (uint8_t byte : chunk.bytes) {
        sum = static_cast<uint8_t>(sum + byte);
    }
    chunk.bytes.push_back(sum);
    chunk.sequence = sequence;
    chunk.follow_up = follow_up;
    Push(std::move(chunk));
}

void Memory_Box::Load(std::vector<Memory_Chunk> chunks) {
    std::lock_guard<std::mutex> lock(lock_);
    chunks_ = std::move(chunks);
    next_ = 0;
    requests_.clear();
    connections_ = 0;
}

void Memory_Box::Refuse_Connections(bool refuse) {
    std::lock_guard<std::mutex> lock(lock_);
    refuse_ = refuse;
}

std::vector<std::vector<uint8_t>> Memory_Box::Requests() const {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
}

int Memory_Box::Connections() const {
    std::lock_guard<std::mutex> lock(lock_);
    return connections_;
}

void Memory_Box::Install() {
    std::weak_ptr<Memory_Box> self = weak_from_this();
    tivrel::Set_Transport_Factory(
        [self](const std::string&, int32_t,
               std::string* status) -> std::unique_ptr<tivrel::Lan_Transport> {
            std::shared_ptr<Memory_Box> box = self.lock();
            if (box == nullptr) {
                return nullptr;
            }
            return std::make_unique<Memory_Transport>(std::move(box), status);
        });
    installed_ = true;
}

Memory_Box::~Memory_Box() {
    if (installed_) {
        tivrel::Set_Transport_Factory({});
    }
}

bool Memory_Box::Accept() {
    std::lock_guard<std::mutex> lock(lock_);
    if (refuse_) {
        return false;
    }
    ++connections_;
    return true;
}

std::vector<Memory_Chunk> Memory_Box::Answer(const uint8_t* request, size_t count, bool* used_up) {
    std::lock_guard<std::mutex> lock(lock_);
    requests_.emplace_back(request, request + count);
    std::vector<Memory_Chunk> answer;
    if (next_ < chunks_.size()) {
        answer.push_back(chunks_[next_++]);
        while (next_ < chunks_.size() && chunks_[next_].follow_up) {
            answer.push_back(chunks_[next_++]);
        }
    }
    *used_up = next_ >= chunks_.size();
    return answer;
}

Memory_Transport::Memory_Transport(std::shared_ptr<Memory_Box> box, std::string* status_text)
    : box_(std::move(box)), status_text_(status_text) {}

void Memory_Transport::Set_Status(const char* text) {
    if (status_text_ != nullptr) {
        *status_text_ = text;
    }
}

bool Memory_Transport::Open() {
    if (open_) {
        return true;
    }
    open_ = box_->Accept();
    peer_closed_ = false;
    arrived_.clear();
    arrived_head_ = 0;
    Set_Status(open_ ? "Connected" : "Connect error");
    return open_;
}

void Memory_Transport::Close() {
    if (open_) {
        open_ = false;
        arrived_.clear();
        arrived_head_ = 0;
        Set_Status("Disconnected");
    }
}

bool Memory_Transport::Write(const uint8_t* bytes, size_t count, int) {
    if (!open_) {
        return false;
    }
    if (peer_closed_) {
        Set_Status("Send error");
        return false;
    }
    if (arrived_head_ == arrived_.size()) {
        arrived_.clear();
        arrived_head_ = 0;
    }
    // The box reads the request frame by its length byte, as a real one does.
    const size_t frame = count >= 2 ? std::min<size_t>(count, bytes[1] + 4u) : count;
    bool used_up = false;
    const uint8_t sequence = count >= 3 ? (bytes[2] & 0x3F) : 0;
    for (Memory_Chunk& chunk : box_->Answer(bytes, frame, &used_up)) {
        if (chunk.bytes.size() >= 3 && chunk.sequence != Memory_Chunk::Sequence::As_Given) {
            const uint8_t own = chunk.sequence == Memory_Chunk::Sequence::Own
                                    ? sequence
                                    : static_cast<uint8_t>((sequence + 63) % 64);
            chunk.bytes[2] = static_cast<uint8_t>((chunk.bytes[2] & 0xC0) | own);
        }
        if (!chunk.bytes.empty()) {
            arrived_.push_back(std::move(chunk.bytes));
        }
    }
    // With nothing left to answer, the box hangs up behind its last answer.
    peer_closed_ = used_up;
    return true;
}

bool Memory_Transport::Wait_Readable(int) {
    return open_ && (arrived_head_ < arrived_.size() || peer_closed_);
}

int Memory_Transport::Read_Once(uint8_t* bytes, size_t max, int) {
    if (!open_) {
        return 0;
    }
    if (arrived_head_ >= arrived_.size()) {
        if (peer_closed_) {
            Close();
        }
        return 0;
    }
    std::vector<uint8_t>& head = arrived_[arrived_head_];
    const size_t n = std::min(max, head.size());
    std::memcpy(bytes, head.data(), n);
    if (n == head.size()) {
        ++arrived_head_;
    } else {
        // What did not fit stays for the next read, as in a stream.
        head.erase(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return static_cast<int>(n);
}

}  // namespace linktest

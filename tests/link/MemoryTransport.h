// A box in memory for the link's transport seam: each request the link writes is answered with
// the next scripted chunk, at once. Silence and a closed connection are simulated, never waited
// for: with nothing to read, Wait_Readable says so at once and Read_Once gives 0 bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Lan_transport.h"

namespace linktest {

// One scripted piece of what the box sends.
struct Memory_Chunk {
    enum class Sequence {
        As_Given,  // byte 2 goes out as scripted
        Own,       // the request's sequence number, keeping the scripted status bits
        Stale,     // the sequence number of the request before
    };
    std::vector<uint8_t> bytes;  // nothing at all: the box stays silent for this request
    // Arrives behind the previous chunk in a read of its own, answering the same request.
    bool follow_up = false;
    Sequence sequence = Sequence::As_Given;
};

// The script, shared by every connection a link opens on it. Once the script is used up the box
// closes the connection right after its last answer, and at once on any later connection.
class Memory_Box : public std::enable_shared_from_this<Memory_Box> {
public:
    void Push(Memory_Chunk chunk);
    // Reply frame: command, status and sequence byte, payload, checksum.
    void Push_Frame(uint8_t command, uint8_t status, const std::vector<uint8_t>& payload,
                    Memory_Chunk::Sequence sequence = Memory_Chunk::Sequence::Own,
                    bool follow_up = false);
    void Push_Silence() { Push(Memory_Chunk{}); }
    void Load(std::vector<Memory_Chunk> chunks);
    // Every later Open fails, as if nothing listened on the box's port.
    void Refuse_Connections(bool refuse);

    std::vector<std::vector<uint8_t>> Requests() const;
    int Connections() const;

    // Makes this box (held by a shared_ptr) the transport of every link that connects from now
    // on; the destructor puts the TCP socket back.
    void Install();
    ~Memory_Box();

    // Used by the transport: whether to accept a connection, and the answer to one request
    // (empty when the script is used up, with used_up then true).
    bool Accept();
    std::vector<Memory_Chunk> Answer(const uint8_t* request, size_t count, bool* used_up);

private:
    mutable std::mutex lock_;
    std::vector<Memory_Chunk> chunks_;
    size_t next_ = 0;
    bool refuse_ = false;
    bool installed_ = false;
    int connections_ = 0;
    std::vector<std::vector<uint8_t>> requests_;
};

class Memory_Transport final : public tivrel::Lan_Transport {
public:
    Memory_Transport(std::shared_ptr<Memory_Box> box, std::string* status_text);

    bool Open() override;
    bool Is_Open() const override { return open_; }
    void Close() override;
    bool Write(const uint8_t* bytes, size_t count, int timeout_ms) override;
    bool Wait_Readable(int timeout_ms) override;
    int Read_Once(uint8_t* bytes, size_t max, int timeout_ms) override;

private:
    void Set_Status(const char* text);

    std::shared_ptr<Memory_Box> box_;
    std::string* status_text_;
    bool open_ = false;
    bool peer_closed_ = false;
    std::vector<std::vector<uint8_t>> arrived_;  // one entry per read, from arrived_head_ on
    size_t arrived_head_ = 0;
};

}  // namespace linktest

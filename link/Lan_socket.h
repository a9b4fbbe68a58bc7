// The TCP client socket of one link: blocking connect bounded in time, and the timed write,
// wait and single read that the frame exchange needs. Its status notifications are the points
// where the owner's status text is set.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Lan_transport.h"

namespace tivrel {

class Lan_Tcp_Socket final : public Lan_Transport {
public:
    // The longest a connect may take before the link gives up.
    static constexpr int Connect_Timeout_Ms = 21000;

    Lan_Tcp_Socket(std::string host, int32_t port, bool numeric_address, std::string* status_text);
    ~Lan_Tcp_Socket() override;
    Lan_Tcp_Socket(const Lan_Tcp_Socket&) = delete;
    Lan_Tcp_Socket& operator=(const Lan_Tcp_Socket&) = delete;

    // A text that reads as four numbers but is no address inet_pton takes (leading zeros, a
    // trailing blank, a name such as "10.0.0.1.example") is looked up as a host name instead.
    bool Open() override;
    bool Is_Open() const override { return fd_ >= 0; }
    void Close() override;
    bool Write(const uint8_t* bytes, size_t count, int timeout_ms) override;
    bool Wait_Readable(int timeout_ms) override;
    int Read_Once(uint8_t* bytes, size_t max, int timeout_ms) override;

private:
    void Set_Status(const char* text);
    bool Connect_Address(const void* address, unsigned address_length, int family, int timeout_ms);
    bool Connect_By_Name(std::chrono::steady_clock::time_point deadline);

    std::string host_;
    int32_t port_;
    bool numeric_address_;
    std::string* status_text_;
    int fd_ = -1;
};

// True when the host text reads as four decimal numbers 0..255 separated by dots.
bool Is_Numeric_Address(const std::string& host);

}  // namespace tivrel

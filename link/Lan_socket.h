// The TCP client socket of one link: blocking connect bounded in time, and the timed write,
// wait and single read that the frame exchange needs. Its status notifications are the points
// where the owner's status text is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tivrel {

class Lan_Tcp_Socket {
public:
    // The longest a connect may take before the link gives up.
    static constexpr int Connect_Timeout_Ms = 21000;

    Lan_Tcp_Socket(std::string host, int32_t port, bool numeric_address, std::string* status_text);
    ~Lan_Tcp_Socket();
    Lan_Tcp_Socket(const Lan_Tcp_Socket&) = delete;
    Lan_Tcp_Socket& operator=(const Lan_Tcp_Socket&) = delete;

    // Looks the host up and connects. False (with the status text set) when it did not open.
    bool Open();
    bool Is_Open() const { return fd_ >= 0; }
    void Close();

    // Writes all bytes within timeout_ms. A failed write only sets the status text: the
    // exchange then notices the dead connection when no reply comes.
    bool Write(const uint8_t* bytes, size_t count, int timeout_ms);
    // True when data (or the end of the connection) can be read within timeout_ms.
    bool Wait_Readable(int timeout_ms);

    enum { Read_Error = -1 };
    // One read of what has arrived, at most max bytes: the count, 0 when nothing came within
    // timeout_ms or the box closed the connection (which also closes the socket), Read_Error
    // on a socket error.
    int Read_Once(uint8_t* bytes, size_t max, int timeout_ms);

private:
    void Set_Status(const char* text);
    bool Connect_Address(const void* address, unsigned address_length, int family, int timeout_ms);

    std::string host_;
    int32_t port_;
    bool numeric_address_;
    std::string* status_text_;
    int fd_ = -1;
};

// True when the host text reads as four decimal numbers 0..255 separated by dots.
bool Is_Numeric_Address(const std::string& host);

}  // namespace tivrel

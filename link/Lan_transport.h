// The byte pipe under one link: the few operations the frame exchange needs from a connection
// to a box. The TCP socket is the one the library ships; tests and the fuzzer plug in a pipe
// that answers from a script, so the exchange can be driven with canned bytes and no waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tivrel {

class Lan_Transport {
public:
    virtual ~Lan_Transport() = default;

    // Reaches the box. False (with the status text set) when it did not open.
    virtual bool Open() = 0;
    virtual bool Is_Open() const = 0;
    virtual void Close() = 0;

    // Writes all bytes within timeout_ms. A failed write only sets the status text: the
    // exchange then notices the dead connection when no reply comes.
    virtual bool Write(const uint8_t* bytes, size_t count, int timeout_ms) = 0;
    // True when data (or the end of the connection) can be read within timeout_ms.
    virtual bool Wait_Readable(int timeout_ms) = 0;

    enum { Read_Error = -1 };
    // One read of what has arrived, at most max bytes: the count, 0 when nothing came within
    // timeout_ms or the box closed the connection (which also closes the transport), Read_Error
    // on a connection error.
    virtual int Read_Once(uint8_t* bytes, size_t max, int timeout_ms) = 0;
};

// Makes the transport of a link that is about to connect: host and port as given to
// Pc2Lan_Create, and the link's status text, which the transport keeps up to date.
using Transport_Factory = std::function<std::unique_ptr<Lan_Transport>(
    const std::string& host, int32_t port, std::string* status_text)>;

// The one piece of process-wide state besides the link table. It exists so that the test
// programs and the fuzzer, which link the library's objects directly, can run every export
// against a scripted box in memory; the shipped library never sets it and nothing outside the
// library can reach it. An empty factory restores the TCP socket. Returns the previous one.
Transport_Factory Set_Transport_Factory(Transport_Factory factory);

// The transport for a new connection: the factory's, or a TCP socket.
std::unique_ptr<Lan_Transport> Make_Transport(const std::string& host, int32_t port,
                                              std::string* status_text);

}  // namespace tivrel

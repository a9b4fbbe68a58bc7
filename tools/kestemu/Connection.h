// One accepted TCP connection: its thread reads the byte stream, cuts it into frames, lets the
// box answer each one and sends the reply, shaped by the fault settings.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "Emulator.h"
#include "Frame.h"

namespace kestemu {

class Box;

class Connection {
public:
    Connection(Box& box, int fd, int number, int slot, uint32_t peer_ip, uint16_t peer_port,
               uint32_t seed);
    ~Connection();  // closes the sockets; the thread must have been joined
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    void join();
    bool finished() const { return finished_.load(); }
    // Ends the session from another thread (kill, stop): wakes the thread and shuts the socket.
    void close_from_outside();
    // Waits ms milliseconds unless the connection is closed meanwhile (then false).
    bool sleep_ms(int ms);

    // Fixed at accept.
    const int number;        // 1, 2, ... in accept order
    const int slot;          // connection number 0..max_connections-1; -1 when all were taken
    const uint32_t peer_ip;  // host order
    const uint16_t peer_port;
    const std::chrono::steady_clock::time_point connected_at;

    // Written by the connection's own thread under the box mutex, read by others under it.
    bool open = true;
    int account = -1;  // logged-in account index
    std::string user_name;

    // The connection's own thread only.
    int32_t level = 0;  // access level of the logged-in account
    std::mt19937 rng;   // garbage bytes and CAN time-outs

    std::atomic<uint32_t> frames{0};  // frames received

private:
    void run();
    bool read_frames();
    bool process(const uint8_t* frame, int size);
    bool send_reply(Reply& reply, const Faults& faults, bool shaped);
    bool send_all(const uint8_t* bytes, int size);

    Box& box_;
    const int fd_;
    int wake_fd_ = -1;
    std::thread thread_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> finished_{false};
    std::chrono::steady_clock::time_point last_frame_;
    int answered_ = 0;
    uint8_t buffer_[512];
    int buffered_ = 0;
    std::string reason_;
};

}  // namespace kestemu

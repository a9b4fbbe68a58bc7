// A raw box on 127.0.0.1 that answers exact bytes. It cuts the incoming stream into request
// frames by their length byte, logs every frame exactly as it arrived, and answers each one from
// a script: given bytes (in one or more writes with pauses between), silence, or a closed
// connection. Frames that find the script empty get the answer of a well-behaved box.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace linktest {

using Bytes = std::vector<uint8_t>;
using Millis = std::chrono::milliseconds;

// What the peer does with one request frame. No pieces at all is silence.
struct Answer {
    struct Piece {
        int delay_ms = 0;  // counted from the frame's arrival, or from the previous piece
        Bytes bytes;
        bool close = false;  // close the connection instead of writing
        bool reset = false;  // with close: abort the connection (RST)
    };
    std::vector<Piece> pieces;
    bool held = false;  // nothing goes out before ScriptedPeer::release()

    static Answer silence() { return {}; }
    static Answer write(Bytes bytes) { return Answer{}.then(0, std::move(bytes)); }
    static Answer close() { return Answer{}.then_close(0); }
    static Answer reset();

    Answer& then(int delay_ms, Bytes bytes);
    Answer& then_close(int delay_ms);
    Answer& hold();
};

// Builds the answer to one request; called on the peer's thread with the request's bytes.
using Responder = std::function<Answer(const Bytes& request)>;

// One frame as the peer received it.
struct Received {
    int connection = 0;  // 1, 2, ... in the order the peer accepted the connections
    Bytes bytes;
};

uint8_t checksum(const Bytes& frame_without_checksum);
// command, length, status and sequence byte, payload, checksum.
Bytes make_frame(uint8_t command, uint8_t status_and_sequence, const Bytes& payload);
inline uint8_t sequence_of(const Bytes& frame) {
    return frame.at(2) & 0x3F;
}
inline uint8_t stale_sequence(const Bytes& request) {
    return (sequence_of(request) + 63) % 64;
}
// Status 1 (done), the request's command and sequence number.
Bytes reply_ok(const Bytes& request, const Bytes& payload);
// Status 2 or 3 with the signed 16-bit refusal code, low byte first.
Bytes reply_refused(const Bytes& request, int16_t code, int status = 2);
Bytes le16(int32_t value);
Bytes le32(int32_t value);
Bytes concat(std::initializer_list<Bytes> parts);

// The payload a well-behaved box answers with: the login accepted at access level 4, CAN
// requests echoed, and enough zero bytes for every other command.
Bytes default_payload(const Bytes& request);
Answer default_answer(const Bytes& request);

// Script entries for the common cases.
Responder answer_ok(Bytes payload);
Responder answer_refused(int16_t code, int status = 2);
Responder answer_with(Answer answer);

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Empty when the peer listens; otherwise why it could not start.
    const std::string& error() const { return error_; }
    int port() const { return port_; }

    // Answers the next request frame that arrives on any connection.
    void push(Responder responder);
    void push(Answer answer) { push(answer_with(std::move(answer))); }
    void push_ok(Bytes payload) { push(answer_ok(std::move(payload))); }
    void push_refused(int16_t code, int status = 2) { push(answer_refused(code, status)); }
    // Used for frames that find the script empty (default_answer unless set).
    void set_default(Responder responder);
    size_t script_left() const;
    // Lets every held answer go out.
    void release();

    std::vector<Received> frames() const;
    size_t frame_count() const;
    int connections_accepted() const;
    int open_connections() const;

    bool wait_for_frames(size_t count, Millis limit = Millis(5000)) const;
    bool wait_for_open_connections(int count, Millis limit = Millis(5000)) const;

private:
    struct Pending {
        Answer::Piece piece;
        uint64_t hold_ticket = 0;  // 0: not held
    };
    struct Connection {
        int fd = -1;
        int id = 0;
        Bytes input;
        std::deque<Pending> pending;
        std::chrono::steady_clock::time_point head_due;
    };
    using Clock = std::chrono::steady_clock;

    void run();
    void accept_one();
    // False when the connection has ended.
    bool read_from(Connection& connection);
    void answer(Connection& connection, const Bytes& frame);
    // False when the connection has ended.
    bool flush_due(Connection& connection, Clock::time_point now);
    int poll_timeout_ms(Clock::time_point now) const;
    bool head_released(const Connection& connection) const;
    void close_connection(Connection& connection, bool reset);
    void wake();

    std::string error_;
    int port_ = 0;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    // The peer thread's own state.
    std::vector<Connection> connections_;
    int next_connection_id_ = 1;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Responder> script_;
    Responder default_responder_;
    std::vector<Received> log_;
    int accepted_ = 0;
    int open_ = 0;
    uint64_t hold_tickets_ = 0;
    uint64_t released_upto_ = 0;
};

// A loopback port on which nothing listens: connecting to it is refused at once.
int unused_port();

}  // namespace linktest

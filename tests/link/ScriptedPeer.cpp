#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace linktest {

namespace {

constexpr uint8_t kWireKeyBase = 0x5D;

std::string describe_errno(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

bool send_all(int fd, const Bytes& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Answer Answer::reset() {
    Answer answer;
    Piece piece;
    piece.close = true;
    piece.reset = true;
    answer.pieces.push_back(piece);
    return answer;
}

Answer& Answer::then(int delay_ms, Bytes bytes) {
    Piece piece;
    piece.delay_ms = delay_ms;
    piece.bytes = std::move(bytes);
    pieces.push_back(std::move(piece));
    return *this;
}

Answer& Answer::then_close(int delay_ms) {
    Piece piece;
    piece.delay_ms = delay_ms;
    piece.close = true;
    pieces.push_back(std::move(piece));
    return *this;
}

Answer& Answer::hold() {
    held = true;
    return *this;
}

uint8_t checksum(const Bytes& frame_without_checksum) {
    unsigned sum = 0;
    for (uint8_t b : frame_without_checksum) {
        sum += b;
    }
    return static_cast<uint8_t>(sum & 0xFF);
}

Bytes make_frame(uint8_t command, uint8_t status_and_sequence, const Bytes& payload) {
    Bytes frame{command, static_cast<uint8_t>(payload.size()), status_and_sequence};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(checksum(frame));
    return frame;
}

Bytes reply_ok(const Bytes& request, const Bytes& payload) {
    return make_frame(request.at(0), static_cast<uint8_t>(0x40 | sequence_of(request)), payload);
}

Bytes reply_refused(const Bytes& request, int16_t code, int status) {
    return make_frame(request.at(0), static_cast<uint8_t>((status << 6) | sequence_of(request)),
                      le16(code));
}

Bytes le16(int32_t value) {
    return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF)};
}

Bytes le32(int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>((v >> 8) & 0xFF),
            static_cast<uint8_t>((v >> 16) & 0xFF), static_cast<uint8_t>((v >> 24) & 0xFF)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes default_payload(const Bytes& request) {
    switch (request.at(0)) {
        case 0xC0:
            return concat({le32(0), le32(4)});
        case 0x10:
            return Bytes(request.begin() + 3, request.end() - 1);
        case 0x01:
            return {'K', 'B', '-', '0', '0', '0', '1'};
        case 0xD1: {
            // An account whose name and password are empty: coded zeros are the key bytes.
            Bytes payload(4, 0);
            for (int k = 0; k < 40; ++k) {
                payload.push_back(static_cast<uint8_t>(kWireKeyBase + k));
            }
            payload.resize(52, 0);
            return payload;
        }
        case 0xD8:
            return Bytes(40, 0);
        default:
            return Bytes(4, 0);
    }
}

Answer default_answer(const Bytes& request) {
    return Answer::write(reply_ok(request, default_payload(request)));
}

Responder answer_ok(Bytes payload) {
    return [payload](const Bytes& request) { return Answer::write(reply_ok(request, payload)); };
}

Responder answer_refused(int16_t code, int status) {
    return [code, status](const Bytes& request) {
        return Answer::write(reply_refused(request, code, status));
    };
}

Responder answer_with(Answer answer) {
    return [answer](const Bytes&) { return answer; };
}

ScriptedPeer::ScriptedPeer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        error_ = describe_errno("socket");
        return;
    }
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error_ = describe_errno("bind");
        return;
    }
    if (::listen(listen_fd_, 64) != 0) {
        error_ = describe_errno("listen");
        return;
    }
    socklen_t length = sizeof address;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error_ = describe_errno("getsockname");
        return;
    }
    port_ = ntohs(address.sin_port);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        error_ = describe_errno("eventfd");
        return;
    }
    thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    if (thread_.joinable()) {
        wake();
        thread_.join();
    }
    for (Connection& connection : connections_) {
        if (connection.fd >= 0) {
            ::close(connection.fd);
        }
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
    }
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

void ScriptedPeer::push(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(responder));
}

void ScriptedPeer::set_default(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_responder_ = std::move(responder);
}

size_t ScriptedPeer::script_left() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return script_.size();
}

void ScriptedPeer::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_upto_ = hold_tickets_;
    }
    wake();
}

std::vector<Received> ScriptedPeer::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

size_t ScriptedPeer::frame_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_.size();
}

int ScriptedPeer::connections_accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

int ScriptedPeer::open_connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

bool ScriptedPeer::wait_for_frames(size_t count, Millis limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return log_.size() >= count; });
}

bool ScriptedPeer::wait_for_open_connections(int count, Millis limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return open_ == count; });
}

void ScriptedPeer::wake() {
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
    (void)ignored;
}

void ScriptedPeer::run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        for (const Connection& connection : connections_) {
            fds.push_back({connection.fd, POLLIN, 0});
        }
        int ready = ::poll(fds.data(), fds.size(), poll_timeout_ms(Clock::now()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (stop_) {
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            ssize_t ignored = ::read(wake_fd_, &count, sizeof count);
            (void)ignored;
        }
        // Only the connections polled above have an entry in fds; an accepted one waits.
        size_t polled = fds.size() - 2;
        if (fds[1].revents & POLLIN) {
            accept_one();
        }
        for (size_t i = 0; i < polled; ++i) {
            if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) {
                read_from(connections_[i]);
            }
        }
        Clock::time_point now = Clock::now();
        for (Connection& connection : connections_) {
            if (connection.fd >= 0) {
                flush_due(connection, now);
            }
        }
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const Connection& c) { return c.fd < 0; }),
                           connections_.end());
    }
}

void ScriptedPeer::accept_one() {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection connection;
    connection.fd = fd;
    connection.id = next_connection_id_++;
    connections_.push_back(std::move(connection));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++accepted_;
        ++open_;
    }
    changed_.notify_all();
}

bool ScriptedPeer::read_from(Connection& connection) {
    if (connection.fd < 0) {
        return false;
    }
    uint8_t buffer[512];
    ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    if (n <= 0) {
        close_connection(connection, false);
        return false;
    }
    connection.input.insert(connection.input.end(), buffer, buffer + n);
    while (connection.fd >= 0 && connection.input.size() >= 2 &&
           connection.input.size() >= static_cast<size_t>(connection.input[1]) + 4) {
        size_t length = static_cast<size_t>(connection.input[1]) + 4;
        Bytes frame(connection.input.begin(), connection.input.begin() + length);
        connection.input.erase(connection.input.begin(), connection.input.begin() + length);
        answer(connection, frame);
        flush_due(connection, Clock::now());
    }
    return connection.fd >= 0;
}

void ScriptedPeer::answer(Connection& connection, const Bytes& frame) {
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            responder = std::move(script_.front());
            script_.pop_front();
        } else {
            responder = default_responder_;
        }
    }
    Answer reply = responder ? responder(frame) : default_answer(frame);
    // A held answer takes its ticket before the frame shows in the log: a test that waits for
    // the frame and then releases must find the ticket already there.
    uint64_t ticket = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reply.held) {
            ticket = ++hold_tickets_;
        }
        log_.push_back({connection.id, frame});
    }
    changed_.notify_all();
    bool was_idle = connection.pending.empty();
    for (size_t i = 0; i < reply.pieces.size(); ++i) {
        connection.pending.push_back({reply.pieces[i], i == 0 ? ticket : 0});
    }
    if (was_idle && !connection.pending.empty()) {
        connection.head_due = Clock::now() + Millis(connection.pending.front().piece.delay_ms);
    }
}

bool ScriptedPeer::head_released(const Connection& connection) const {
    uint64_t ticket = connection.pending.front().hold_ticket;
    if (ticket == 0) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return ticket <= released_upto_;
}

bool ScriptedPeer::flush_due(Connection& connection, Clock::time_point now) {
    while (connection.fd >= 0 && !connection.pending.empty()) {
        if (!head_released(connection) || now < connection.head_due) {
            return true;
        }
        Answer::Piece piece = std::move(connection.pending.front().piece);
        connection.pending.pop_front();
        if (piece.close) {
            close_connection(connection, piece.reset);
            return false;
        }
        if (!send_all(connection.fd, piece.bytes)) {
            close_connection(connection, false);
            return false;
        }
        now = Clock::now();
        if (!connection.pending.empty()) {
            connection.head_due = now + Millis(connection.pending.front().piece.delay_ms);
        }
    }
    return connection.fd >= 0;
}

int ScriptedPeer::poll_timeout_ms(Clock::time_point now) const {
    int timeout = -1;
    for (const Connection& connection : connections_) {
        if (connection.fd < 0 || connection.pending.empty() || !head_released(connection)) {
            continue;
        }
        auto left = std::chrono::ceil<Millis>(connection.head_due - now).count();
        int wait = static_cast<int>(std::max<decltype(left)>(0, left));
        timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    return timeout;
}

void ScriptedPeer::close_connection(Connection& connection, bool reset) {
    if (connection.fd < 0) {
        return;
    }
    if (reset) {
        linger abort{1, 0};
        ::setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(connection.fd);
    connection.fd = -1;
    connection.pending.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --open_;
    }
    changed_.notify_all();
}

int unused_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace linktest

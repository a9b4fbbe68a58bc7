#include "Connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include "Box.h"

namespace kestemu {

namespace {

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace

Connection::Connection(Box& box, int fd, int number, int slot, uint32_t peer_ip, uint16_t peer_port,
                       uint32_t seed)
    : number(number),
      slot(slot),
      peer_ip(peer_ip),
      peer_port(peer_port),
      connected_at(Clock::now()),
      box_(box),
      fd_(fd),
      last_frame_(Clock::now()) {
    std::seed_seq sequence{seed, static_cast<uint32_t>(number)};
    rng.seed(sequence);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Connection::~Connection() {
    ::close(fd_);
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

void Connection::start() {
    if (wake_fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    last_frame_ = Clock::now();
    thread_ = std::thread(&Connection::run, this);
}

void Connection::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Connection::close_from_outside() {
    closing_ = true;
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
    }
    ::shutdown(fd_, SHUT_RDWR);
}

bool Connection::sleep_ms(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!closing_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return true;
        }
        // Woken by the box stopping, or by the client hanging up during the wait; new
        // request bytes wait in the socket until the reply is out.
        pollfd watch[2] = {{wake_fd_, POLLIN, 0}, {fd_, POLLRDHUP, 0}};
        if (::poll(watch, 2, static_cast<int>(std::min<int64_t>(left, 1000))) > 0) {
            return false;
        }
    }
    return false;
}

void Connection::run() {
    while (!closing_) {
        const int limit = box_.idle_limit_ms();
        int timeout = 1000;  // a changed idle limit takes effect within a second
        if (limit >= 0) {
            const int64_t idle = ms_since(last_frame_);
            if (idle >= limit) {
                reason_ = "idle for " + std::to_string(idle) + " ms";
                break;
            }
            timeout = static_cast<int>(std::min<int64_t>(timeout, limit - idle));
        }
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason_ = std::string("poll failed: ") + std::strerror(errno);
            break;
        }
        if (ready == 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if (fds[0].revents != 0 && !read_frames()) {
            break;
        }
    }
    if (reason_.empty()) {
        reason_ = "closed by the box";
    }
    box_.connection_ended(*this, reason_);
    ::shutdown(fd_, SHUT_RDWR);
    finished_ = true;
    box_.wake_listener();
}

bool Connection::read_frames() {
    const ssize_t got = ::recv(fd_, buffer_ + buffered_, sizeof buffer_ - buffered_, 0);
    if (got == 0) {
        reason_ = "closed by the peer";
        return false;
    }
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) {
            return true;
        }
        reason_ =
            closing_ ? "closed by the box" : std::string("receive error: ") + std::strerror(errno);
        return false;
    }
    buffered_ += static_cast<int>(got);
    int pos = 0;
    bool keep = true;
    while (keep && buffered_ - pos >= 2) {
        const int n = buffer_[pos + 1];
        if (n > kMaxPayload) {
            reason_ = "length byte " + std::to_string(n) + " is not a frame";
            return false;
        }
        if (buffered_ - pos < n + 4) {
            break;
        }
        keep = process(buffer_ + pos, n + 4) && !closing_;
        pos += n + 4;
    }
    std::memmove(buffer_, buffer_ + pos, buffered_ - pos);
    buffered_ -= pos;
    return keep;
}

bool Connection::process(const uint8_t* frame, int size) {
    const uint32_t frame_number = frames.fetch_add(1) + 1;
    last_frame_ = Clock::now();
    uint64_t logged = 0;
    const Faults faults = box_.note_frame(*this, frame, size, &logged);
    if (faults.close_after >= 0 && answered_ >= faults.close_after) {
        reason_ = "closed after " + std::to_string(answered_) + " replies (fault)";
        return false;
    }
    if (faults.silent_after >= 0 && answered_ >= faults.silent_after) {
        return true;
    }
    Reply reply;
    box_.handle(*this, frame, faults, reply);
    if (!reply.send) {
        return !closing_;
    }
    reply.seal(frame[2] & 0x3F);
    const bool shaped = frame_number > static_cast<uint32_t>(std::max(faults.skip_frames, 0));
    if (!send_reply(reply, faults, shaped)) {
        return false;
    }
    timespec sent{};
    clock_gettime(CLOCK_MONOTONIC, &sent);
    box_.note_reply(logged, int64_t(sent.tv_sec) * 1000000000 + sent.tv_nsec);
    ++answered_;
    if (faults.close_after >= 0 && answered_ >= faults.close_after) {
        reason_ = "closed after " + std::to_string(answered_) + " replies (fault)";
        return false;
    }
    return true;
}

bool Connection::send_reply(Reply& reply, const Faults& faults, bool shaped) {
    uint8_t* bytes = reply.bytes.data();
    const int size = reply.size();
    if (!shaped) {
        return send_all(bytes, size);
    }
    if (faults.delay_ms > 0 && !sleep_ms(faults.delay_ms)) {
        return false;
    }
    if (faults.garbage) {
        uint8_t garbage[12];
        for (uint8_t& b : garbage) {
            b = static_cast<uint8_t>(rng());
        }
        return send_all(garbage, sizeof garbage);
    }
    if (faults.stale_sequence) {
        // A stale frame first, as a box answers after a time-out; the real one follows.
        std::array<uint8_t, kMaxFrame> stale = reply.bytes;
        const int sequence = bytes[2] & 0x3F;
        stale[2] = static_cast<uint8_t>((kStatusDone << 6) | ((sequence + 63) % 64));
        stale[size - 1] = checksum(stale.data(), size - 1);
        if (!send_all(stale.data(), size) || !sleep_ms(5)) {
            return false;
        }
    }
    if (faults.short_reply) {
        bytes[1] = static_cast<uint8_t>(bytes[1] + 10);
    }
    if (faults.split_reply) {
        const int half = size / 2;
        return send_all(bytes, half) && sleep_ms(5) && send_all(bytes + half, size - half);
    }
    return send_all(bytes, size);
}

bool Connection::send_all(const uint8_t* bytes, int size) {
    int sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd_, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason_ =
                closing_ ? "closed by the box" : std::string("send error: ") + std::strerror(errno);
            return false;
        }
        sent += static_cast<int>(n);
    }
    return true;
}

}  // namespace kestemu

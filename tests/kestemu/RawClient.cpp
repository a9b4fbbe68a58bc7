#include "RawClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace kestemu::test {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

}  // namespace

bool Frame::checksum_ok() const {
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(sum) == bytes.back();
}

Bytes seal(uint8_t command, const Bytes& payload, int sequence) {
    Bytes frame{command, static_cast<uint8_t>(payload.size()),
                static_cast<uint8_t>(sequence & 0x3F)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    unsigned sum = 0;
    for (uint8_t b : frame) {
        sum += b;
    }
    frame.push_back(static_cast<uint8_t>(sum));
    return frame;
}

Bytes coded_area(const std::string& name, const std::string& password) {
    Bytes area(40, 0);
    for (size_t i = 0; i < name.size() && i < 20; ++i) {
        area[i] = static_cast<uint8_t>(name[i]);
    }
    for (size_t i = 0; i < password.size() && i < 20; ++i) {
        area[20 + i] = static_cast<uint8_t>(password[i]);
    }
    for (size_t k = 0; k < area.size(); ++k) {
        area[k] ^= static_cast<uint8_t>(0x5D + k);
    }
    return area;
}

Bytes le16(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}

Bytes le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes can_payload(uint8_t address, uint8_t object, uint8_t action, uint8_t auth,
                  const Bytes& data) {
    return Bytes{address, object, action, auth, static_cast<uint8_t>(data.size())} + data;
}

RawClient::RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot connect to port " << port;
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
        return;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawClient::~RawClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int RawClient::local_port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void RawClient::send_bytes(const Bytes& bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

Bytes RawClient::next_frame(uint8_t command, const Bytes& payload) {
    sequence = (sequence + 1) % 64;
    return seal(command, payload, sequence);
}

Frame RawClient::request(uint8_t command, const Bytes& payload) {
    send_bytes(next_frame(command, payload));
    std::optional<Frame> reply = read_frame();
    if (!reply) {
        ADD_FAILURE() << "no reply to command 0x" << std::hex << int(command);
        return Frame{Bytes(4, 0)};
    }
    return *reply;
}

std::optional<Frame> RawClient::read_frame(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (fd_ >= 0) {
        if (pending_.size() >= 2 && pending_.size() >= pending_[1] + 4u) {
            const size_t size = pending_[1] + 4u;
            Frame frame{Bytes(pending_.begin(), pending_.begin() + size)};
            pending_.erase(pending_.begin(), pending_.begin() + size);
            return frame;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms_left(deadline)) <= 0) {
            return std::nullopt;
        }
        uint8_t buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        pending_.insert(pending_.end(), buffer, buffer + n);
    }
    return std::nullopt;
}

bool RawClient::read_at_least(size_t count, Bytes* got) {
    return wait_until([&] {
        const Bytes more = read_some(50);
        got->insert(got->end(), more.begin(), more.end());
        return got->size() >= count;
    });
}

Bytes RawClient::read_some(int timeout_ms) {
    Bytes got;
    got.swap(pending_);
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) {
            break;
        }
        uint8_t buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

bool RawClient::wait_closed(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms_left(deadline)) <= 0) {
            return false;
        }
        uint8_t buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return true;
        }
    }
    return true;
}

Frame RawClient::login(const std::string& name, const std::string& password) {
    return request(0xC0, coded_area(name, password));
}

Config test_config() {
    Config config;
    config.port = 0;
    config.clock = "2024-06-15 12:00";
    config.log_connections = false;
    return config;
}

std::unique_ptr<Emulator> start_box(Config config) {
    config.port = 0;
    auto box = std::make_unique<Emulator>(std::move(config));
    std::string error;
    EXPECT_TRUE(box->start(&error)) << error;
    return box;
}

bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace kestemu::test

#include "Lan_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

namespace tivrel {

namespace {

using Clock = std::chrono::steady_clock;

int Remaining_Ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// poll() that resumes after signals until its deadline.
int Poll_One(int fd, short events, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, Remaining_Ms(deadline));
        if (r >= 0) {
            return r > 0 ? p.revents : 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

}  // namespace

bool Is_Numeric_Address(const std::string& host) {
    int a = -1, b = -1, c = -1, d = -1;
    if (std::sscanf(host.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d) != 4) {
        return false;
    }
    for (int part : {a, b, c, d}) {
        if (part < 0 || part > 255) {
            return false;
        }
    }
    return true;
}

Lan_Tcp_Socket::Lan_Tcp_Socket(std::string host, int32_t port, bool numeric_address,
                               std::string* status_text)
    : host_(std::move(host)),
      port_(port),
      numeric_address_(numeric_address),
      status_text_(status_text) {}

Lan_Tcp_Socket::~Lan_Tcp_Socket() {
    Close();
}

void Lan_Tcp_Socket::Set_Status(const char* text) {
    if (status_text_ != nullptr) {
        *status_text_ = text;
    }
}

bool Lan_Tcp_Socket::Connect_Address(const void* address, unsigned address_length, int family,
                                     int timeout_ms) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        return false;
    }
    int r = ::connect(fd, static_cast<const sockaddr*>(address), address_length);
    if (r != 0 && errno == EINPROGRESS) {
        int events = Poll_One(fd, POLLOUT, timeout_ms);
        int error = 0;
        socklen_t length = sizeof error;
        if (events > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
            error == 0) {
            r = 0;
        }
    }
    if (r != 0) {
        ::close(fd);
        return false;
    }
    // Reads and writes are bounded with poll(); the socket itself blocks.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    return true;
}

bool Lan_Tcp_Socket::Connect_By_Name(std::chrono::steady_clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port_);
    if (::getaddrinfo(host_.c_str(), service.c_str(), &hints, &found) != 0) {
        return false;
    }
    bool opened = false;
    for (addrinfo* a = found; a != nullptr && !opened; a = a->ai_next) {
        int left = Remaining_Ms(deadline);
        if (left == 0) {
            break;
        }
        opened = Connect_Address(a->ai_addr, a->ai_addrlen, a->ai_family, left);
    }
    ::freeaddrinfo(found);
    return opened;
}

bool Lan_Tcp_Socket::Open() {
    if (fd_ >= 0) {
        return true;
    }
    Set_Status("Connecting ...");
    const auto deadline = Clock::now() + std::chrono::milliseconds(Connect_Timeout_Ms);
    bool opened = false;
    if (port_ >= 0 && port_ <= 65535) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        if (numeric_address_ && ::inet_pton(AF_INET, host_.c_str(), &address.sin_addr) == 1) {
            opened = Connect_Address(&address, sizeof address, AF_INET, Connect_Timeout_Ms);
        } else {
            opened = Connect_By_Name(deadline);
        }
    }
    Set_Status(opened ? "Connected" : "Connect error");
    return opened;
}

void Lan_Tcp_Socket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        Set_Status("Disconnected");
    }
}

bool Lan_Tcp_Socket::Write(const uint8_t* bytes, size_t count, int timeout_ms) {
    if (fd_ < 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t sent = 0;
    while (sent < count) {
        ssize_t n = ::send(fd_, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Set_Status("Send error");
            return false;
        }
        int events = Poll_One(fd_, POLLOUT, Remaining_Ms(deadline));
        if (events <= 0 || (events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            Set_Status("Send error");
            return false;
        }
    }
    return true;
}

bool Lan_Tcp_Socket::Wait_Readable(int timeout_ms) {
    if (fd_ < 0) {
        return false;
    }
    return Poll_One(fd_, POLLIN, timeout_ms) > 0;
}

int Lan_Tcp_Socket::Read_Once(uint8_t* bytes, size_t max, int timeout_ms) {
    if (fd_ < 0) {
        return 0;
    }
    // Usually the data is there already: read first, wait only when it is not.
    bool waited = false;
    for (;;) {
        ssize_t n = ::recv(fd_, bytes, max, MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            Close();
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Set_Status("Receive error");
            return Read_Error;
        }
        if (waited) {
            return 0;
        }
        int events = Poll_One(fd_, POLLIN, timeout_ms);
        if (events == 0) {
            return 0;
        }
        if (events < 0) {
            Set_Status("Receive error");
            return Read_Error;
        }
        waited = true;
    }
}

}  // namespace tivrel

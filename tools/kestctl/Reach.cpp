#include "Reach.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestctl {

namespace {

using Clock = std::chrono::steady_clock;

// Returns 0 when connected, else the errno that stopped it (ETIMEDOUT when time ran out).
int connect_one(const addrinfo& address, Clock::time_point deadline) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address.ai_protocol);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            error = ETIMEDOUT;
            while (true) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                        .count();
                if (left <= 0) {
                    break;
                }
                pollfd p{fd, POLLOUT, 0};
                const int n = ::poll(&p, 1, static_cast<int>(left));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n > 0) {
                    socklen_t size = sizeof error;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                        error = errno;
                    }
                }
                break;
            }
        }
    }
    ::close(fd);
    return error;
}

}  // namespace

Reach try_tcp_connect(const std::string& host, int port, int timeout_ms) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int lookup = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        return {false,
                std::string("the host name cannot be resolved (") + gai_strerror(lookup) + ")"};
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int error = ETIMEDOUT;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        error = connect_one(*a, deadline);
        if (error == 0) {
            break;
        }
    }
    ::freeaddrinfo(found);
    if (error == 0) {
        return {true, {}};
    }
    if (error == ETIMEDOUT) {
        return {false, "no answer to the TCP connect within " + std::to_string(timeout_ms) + " ms"};
    }
    return {false, std::string("TCP connect failed: ") + std::strerror(error)};
}

}  // namespace kestctl

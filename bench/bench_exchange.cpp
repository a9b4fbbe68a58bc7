// Cost of one CAN round trip through the link library, against the same exchange done with
// hand-built frames on a plain socket, both talking to one in-process emulator on loopback.
//
// usage: bench_exchange [--spread] [REQUESTS_PER_ROUND [ROUNDS]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchSupport.h"
#include "link/Pc2Lan.h"
#include "tools/kestemu/Emulator.h"

namespace {

using bench::median;
using bench::parse_count;
using bench::pin_to_current_cpu;

// Other work on the machine comes in bursts that can slow a round trip tenfold. Many short rounds,
// alternating between the sides, let both meet the same bursts, and the medians drop them.
constexpr int kDefaultRequests = 5000;
constexpr int kDefaultRounds = 21;
constexpr int kWarmupRequests = 1000;
constexpr double kTargetRatio = 1.2;
constexpr int32_t kLink = 0;
constexpr const char* kUser = "Administrator";
constexpr const char* kPassword = "admin1234";

constexpr int kFrameSize = 84;
constexpr int kMaxPayload = 80;
constexpr int kReadTimeoutMs = 5000;
constexpr uint8_t kCommandLogin = 0xC0;
constexpr uint8_t kCommandCan = 0x10;
constexpr uint8_t kStatusDone = 1;
constexpr uint8_t kWireKeyBase = 0x5D;
constexpr int kFieldLength = 20;

// Actual power of inverter A.
constexpr uint8_t kPowerHeader[4] = {4, 0x31, 8, 2};
constexpr uint8_t kActionConfirm = 1;

using Clock = std::chrono::steady_clock;

// One box connection driven byte by byte, the way the library frames it.
class RawClient {
public:
    RawClient() = default;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    ~RawClient() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    bool connect_to(const std::string& address, int port, std::string* error) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) {
            return fail("socket", error);
        }
        const int one = 1;
        if (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
            return fail("TCP_NODELAY", error);
        }
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
            *error = "bad address " + address;
            return false;
        }
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            return fail("connect", error);
        }
        return true;
    }

    bool login(const std::string& user, const std::string& password, std::string* error) {
        uint8_t frame[kFrameSize] = {};
        frame[0] = kCommandLogin;
        frame[1] = 2 * kFieldLength;
        uint8_t* area = frame + 3;
        std::memcpy(area, user.data(), std::min<size_t>(user.size(), kFieldLength));
        std::memcpy(area + kFieldLength, password.data(),
                    std::min<size_t>(password.size(), kFieldLength));
        for (int k = 0; k < 2 * kFieldLength; ++k) {
            area[k] ^= static_cast<uint8_t>(kWireKeyBase + k);
        }
        uint8_t reply[kFrameSize] = {};
        if (!exchange(frame, reply, error)) {
            return false;
        }
        int32_t login_value = 0;
        std::memcpy(&login_value, reply + 3, sizeof login_value);
        if (reply[1] < 8 || login_value < 0) {
            *error = "login refused (" + std::to_string(login_value) + ")";
            return false;
        }
        return true;
    }

    bool power_request(std::string* error) {
        uint8_t frame[kFrameSize] = {};
        frame[0] = kCommandCan;
        frame[1] = 5;
        std::memcpy(frame + 3, kPowerHeader, sizeof kPowerHeader);
        frame[7] = 0;
        uint8_t reply[kFrameSize] = {};
        if (!exchange(frame, reply, error)) {
            return false;
        }
        if (reply[1] < 5 || reply[3] != kPowerHeader[0] || reply[4] != kPowerHeader[1] ||
            reply[5] != kActionConfirm) {
            *error = "power reply not confirmed";
            return false;
        }
        return true;
    }

private:
    bool fail(const char* what, std::string* error) {
        *error = std::string(what) + ": " + std::strerror(errno);
        return false;
    }

    // Seals the request (bytes 0, 1 and the payload filled in), sends it and receives one
    // whole reply frame.
    bool exchange(uint8_t* frame, uint8_t* reply, std::string* error) {
        const int length = frame[1] + 4;
        sequence_ = static_cast<uint8_t>((sequence_ + 1) % 64);
        frame[2] = sequence_;
        uint8_t sum = 0;
        for (int i = 0; i < length - 1; ++i) {
            sum = static_cast<uint8_t>(sum + frame[i]);
        }
        frame[length - 1] = sum;
        for (int sent = 0; sent < length;) {
            const ssize_t n = send(fd_, frame + sent, length - sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return fail("send", error);
            }
            sent += static_cast<int>(n);
        }
        int have = 0;
        while (have < 4 || have < reply[1] + 4) {
            if (have >= 2 && reply[1] > kMaxPayload) {
                *error = "reply length byte " + std::to_string(reply[1]) + " is not a frame";
                return false;
            }
            pollfd readable{fd_, POLLIN, 0};
            const int ready = poll(&readable, 1, kReadTimeoutMs);
            if (ready == 0) {
                *error = "no reply within " + std::to_string(kReadTimeoutMs) + " ms";
                return false;
            }
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return fail("poll", error);
            }
            const ssize_t n = recv(fd_, reply + have, kFrameSize - have, 0);
            if (n == 0) {
                *error = "the box closed the connection";
                return false;
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return fail("recv", error);
            }
            have += static_cast<int>(n);
        }
        if ((reply[2] >> 6) != kStatusDone || (reply[2] & 0x3F) != sequence_) {
            *error = "reply status " + std::to_string(reply[2] >> 6) + " sequence " +
                     std::to_string(reply[2] & 0x3F) + ", expected status 1 sequence " +
                     std::to_string(sequence_);
            return false;
        }
        return true;
    }

    int fd_ = -1;
    uint8_t sequence_ = 0;
};

// Each side runs count round trips and answers the elapsed time in microseconds, or a negative
// value after a failure (error says which).
double library_batch(int count, std::string* error) {
    CanMessage request{};
    std::memcpy(request.Header, kPowerHeader, sizeof kPowerHeader);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        CanMessage reply{};
        const int32_t r = Pc2Lan_Can_Request(kLink, &request, &reply);
        if (r != 0 || reply.Header[2] != kActionConfirm) {
            *error = "Pc2Lan_Can_Request answered " + std::to_string(r) + " (reply action " +
                     std::to_string(reply.Header[2]) + ") at request " + std::to_string(i);
            return -1;
        }
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double raw_batch(RawClient& client, int count, std::string* error) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!client.power_request(error)) {
            *error += " at request " + std::to_string(i);
            return -1;
        }
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Deletes the benchmark's link on every way out.
struct LinkGuard {
    LinkGuard() = default;
    LinkGuard(const LinkGuard&) = delete;
    LinkGuard& operator=(const LinkGuard&) = delete;
    ~LinkGuard() { Pc2Lan_Delete(kLink); }
};

int run(int requests, int rounds, bool spread) {
    const int cpu = spread ? -1 : pin_to_current_cpu();
    kestemu::Config config;
    config.port = 0;
    config.clock = "2026-06-21 13:00";
    config.log_connections = false;
    kestemu::Emulator emulator(config);
    std::string error;
    if (!emulator.start(&error)) {
        std::fprintf(stderr, "bench_exchange: the emulator did not start: %s\n", error.c_str());
        return 1;
    }
    const std::string address = emulator.address();
    const int port = emulator.port();

    int32_t r = Pc2Lan_Create(kLink, address.c_str(), port, kUser, kPassword, "", "");
    if (r != 0) {
        std::fprintf(stderr, "bench_exchange: Pc2Lan_Create answered %d\n", r);
        return 1;
    }
    LinkGuard guard;
    int32_t access_level = 0;
    r = Pc2Lan_Connect(kLink, &access_level, 2);
    if (r < 0) {
        std::fprintf(stderr, "bench_exchange: Pc2Lan_Connect answered %d\n", r);
        return 1;
    }
    RawClient raw;
    if (!raw.connect_to(address, port, &error) || !raw.login(kUser, kPassword, &error)) {
        std::fprintf(stderr, "bench_exchange: raw client: %s\n", error.c_str());
        return 1;
    }

    if (library_batch(kWarmupRequests, &error) < 0 || raw_batch(raw, kWarmupRequests, &error) < 0) {
        std::fprintf(stderr, "bench_exchange: warm-up failed: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> library_us;
    std::vector<double> raw_us;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which side goes first, so that neither always meets a warmer machine.
        for (int side = 0; side < 2; ++side) {
            const bool library_side = (side == 0) == (round % 2 == 0);
            const double elapsed =
                library_side ? library_batch(requests, &error) : raw_batch(raw, requests, &error);
            if (elapsed < 0) {
                std::fprintf(stderr, "bench_exchange: %s round %d failed: %s\n",
                             library_side ? "library" : "raw", round + 1, error.c_str());
                return 1;
            }
            (library_side ? library_us : raw_us).push_back(elapsed / requests);
        }
    }

    const double library = median(library_us);
    const double raw_median = median(raw_us);
    const double ratio = library / raw_median;
    std::printf("bench_exchange: %d round trips per side and round, %d rounds, medians, %s\n",
                requests, rounds,
                cpu >= 0 ? ("all threads on CPU " + std::to_string(cpu)).c_str()
                         : "threads spread over the CPUs");
    const auto [library_min, library_max] =
        std::minmax_element(library_us.begin(), library_us.end());
    const auto [raw_min, raw_max] = std::minmax_element(raw_us.begin(), raw_us.end());
    std::printf("library round trip: %.2f us (rounds %.2f .. %.2f)\n", library, *library_min,
                *library_max);
    std::printf("raw socket round trip: %.2f us (rounds %.2f .. %.2f)\n", raw_median, *raw_min,
                *raw_max);
    std::printf("ratio library/raw: %.3f (target at most %.1f: %s)\n", ratio, kTargetRatio,
                ratio <= kTargetRatio ? "met" : "missed");
    std::printf("library exchange rate: %.0f requests per second\n", 1e6 / library);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int requests = kDefaultRequests;
    int rounds = kDefaultRounds;
    bool spread = false;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "--spread") {
        spread = true;
        first = 2;
    }
    const int counts = argc - first;
    if (counts > 2 || (counts > 0 && !parse_count(argv[first], &requests)) ||
        (counts > 1 && !parse_count(argv[first + 1], &rounds))) {
        std::fprintf(stderr, "usage: bench_exchange [--spread] [REQUESTS_PER_ROUND [ROUNDS]]\n");
        return 2;
    }
    return run(requests, rounds, spread);
}

// Many links on one box: 256 links created, connected and logged in to one in-process
// emulator, then 8 threads, each driving its 32 links through 100 CAN requests per link.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/Pc2Lan.h"
#include "tools/kestemu/Emulator.h"

namespace {

constexpr int kLinks = 256;
constexpr int kThreads = 8;
constexpr int kLinksPerThread = kLinks / kThreads;
constexpr int kRequestsPerLink = 100;
constexpr size_t kMaxReported = 10;
constexpr const char* kUser = "Administrator";
constexpr const char* kPassword = "admin1234";

// Actual power of inverter A.
constexpr uint8_t kPowerHeader[4] = {4, 0x31, 8, 2};
constexpr uint8_t kActionConfirm = 1;

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Counts failures from every thread and keeps the first few messages.
class FailureLog {
public:
    void add(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        if (messages_.size() < kMaxReported) {
            messages_.push_back(message);
        }
    }
    int count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    void print() const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& message : messages_) {
            std::fprintf(stderr, "bench_scale: %s\n", message.c_str());
        }
        if (count_ > static_cast<int>(messages_.size())) {
            std::fprintf(stderr, "bench_scale: ... and %d more\n",
                         count_ - static_cast<int>(messages_.size()));
        }
    }

private:
    mutable std::mutex mutex_;
    int count_ = 0;
    std::vector<std::string> messages_;
};

// Every link in the table is deleted on every way out, used or not.
struct LinkTableGuard {
    LinkTableGuard() = default;
    LinkTableGuard(const LinkTableGuard&) = delete;
    LinkTableGuard& operator=(const LinkTableGuard&) = delete;
    ~LinkTableGuard() {
        for (int link = 0; link < kLinks; ++link) {
            Pc2Lan_Delete(link);
        }
    }
};

// Drives links first .. first + kLinksPerThread - 1 in turn, one request per link and pass.
void drive_links(int first, std::latch* start, FailureLog* failures) {
    CanMessage request{};
    std::memcpy(request.Header, kPowerHeader, sizeof kPowerHeader);
    start->arrive_and_wait();
    for (int pass = 0; pass < kRequestsPerLink; ++pass) {
        for (int link = first; link < first + kLinksPerThread; ++link) {
            CanMessage reply{};
            const int32_t r = Pc2Lan_Can_Request(link, &request, &reply);
            if (r != 0 || reply.Header[2] != kActionConfirm) {
                failures->add("link " + std::to_string(link) + " request " +
                              std::to_string(pass + 1) + ": Pc2Lan_Can_Request answered " +
                              std::to_string(r) + " (reply action " +
                              std::to_string(reply.Header[2]) + ")");
            }
        }
    }
}

int run() {
    kestemu::Config config;
    config.port = 0;
    config.clock = "2026-06-21 13:00";
    config.log_connections = false;
    kestemu::Emulator emulator(config);
    std::string error;
    if (!emulator.start(&error)) {
        std::fprintf(stderr, "bench_scale: the emulator did not start: %s\n", error.c_str());
        return 1;
    }
    const std::string address = emulator.address();
    const int port = emulator.port();

    LinkTableGuard guard;
    FailureLog connect_failures;
    const auto connect_start = Clock::now();
    for (int link = 0; link < kLinks; ++link) {
        int32_t r = Pc2Lan_Create(link, address.c_str(), port, kUser, kPassword, "", "");
        if (r != 0) {
            connect_failures.add("link " + std::to_string(link) + ": Pc2Lan_Create answered " +
                                 std::to_string(r));
            continue;
        }
        int32_t access_level = 0;
        r = Pc2Lan_Connect(link, &access_level, 2);
        if (r < 0) {
            connect_failures.add("link " + std::to_string(link) + ": Pc2Lan_Connect answered " +
                                 std::to_string(r));
        }
    }
    const double connect_ms = milliseconds_since(connect_start);
    if (connect_failures.count() > 0) {
        connect_failures.print();
        std::printf("bench_scale: %d of %d links failed to connect\n", connect_failures.count(),
                    kLinks);
        return 1;
    }

    FailureLog request_failures;
    std::latch start(kThreads + 1);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(drive_links, t * kLinksPerThread, &start, &request_failures);
    }
    start.arrive_and_wait();
    const auto request_start = Clock::now();
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double request_ms = milliseconds_since(request_start);

    const int total = kLinks * kRequestsPerLink;
    std::printf("bench_scale: %d links, %d threads, %d requests per link\n", kLinks, kThreads,
                kRequestsPerLink);
    std::printf(
        "connect: %d links created, connected and logged in in %.1f ms (%.3f ms per "
        "link)\n",
        kLinks, connect_ms, connect_ms / kLinks);
    std::printf("requests: %d in %.1f ms\n", total, request_ms);
    std::printf("request rate: %.0f requests per second\n", total / (request_ms / 1000.0));
    std::printf("failed requests: %d\n", request_failures.count());
    if (request_failures.count() > 0) {
        request_failures.print();
        return 1;
    }
    return 0;
}

}  // namespace

int main() {
    return run();
}

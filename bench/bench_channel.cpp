// What a box's CAN channel costs on top of the link: a ten-minute history download of the four
// modules at the normal pause after each request and without pause, against the same requests
// sent straight through the link library, and the CPU time of connected channels with nothing
// to do.
//
// usage: bench_channel [--spread] [ROUNDS]
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CANMessages.h"
#include "bench/BenchSupport.h"
#include "link/Pc2Lan.h"
#include "tools/kestemu/Emulator.h"

namespace {

constexpr int kDefaultRounds = 15;
constexpr uint32_t kDesignDelayMs = 80;
constexpr double kIdlePassMs = 1.0;
constexpr double kFloorTolerance = 0.03;
constexpr double kTargetRateRatio = 0.9;
constexpr double kTargetIdleShare = 0.01;
constexpr int kIdleSeconds = 10;
constexpr int kIdleChannels = 4;
constexpr int32_t kLink = 1;
constexpr int32_t kKest = 1;
constexpr const char* kUser = "Administrator";
constexpr const char* kPassword = "admin1234";
constexpr const char* kBoxClock = "2024-06-20 23:00";
constexpr uint8_t kTenMinutes = 36;
constexpr uint8_t kCommandCan = 0x10;
constexpr int kWatchMs = 5;
constexpr int kSlowReplyMs = 1;
constexpr int kSlowRounds = 3;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seen from the box: one ten-minute download of all four modules, the clock request included.
struct Download {
    double seconds = 0;
    int samples = 0;
    int requests = 0;
    bool complete = false;
};

// The download ends with the main-thread step after its last sample. Nothing notifies the end,
// so a short timer looks for it, the way the program watches a download; the time taken is that
// of the last sample, so the timer's period does not count.
Download RunDownload(TCANMessages& channel, kestemu::Emulator& box) {
    Download result;
    box.clear_received();
    Clock::time_point last;
    channel.OnSample = [&result, &last](TCANMessages*) {
        ++result.samples;
        last = Clock::now();
    };
    QEventLoop loop;
    QTimer watch;
    watch.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (!channel.Downloading || channel.LinkError || channel.Thread == nullptr) {
            loop.quit();
        }
    });
    const auto start = Clock::now();
    channel.StartHistory(true, true, true, true, kTenMinutes, QDate(2024, 6, 20));
    watch.start(kWatchMs);
    loop.exec();
    result.seconds = std::chrono::duration<double>(last - start).count();
    result.complete = !channel.Downloading && result.samples > 0;
    for (const auto& frame : box.received()) {
        result.requests += frame.bytes.at(0) == kCommandCan ? 1 : 0;
    }
    channel.OnSample = nullptr;
    return result;
}

// The CAN requests of the last download as the box received them, ready to be sent again.
std::vector<CanMessage> RecordedRequests(const kestemu::Emulator& box) {
    std::vector<CanMessage> requests;
    for (const auto& frame : box.received()) {
        const auto& bytes = frame.bytes;
        if (bytes.size() < 8 || bytes[0] != kCommandCan) {
            continue;
        }
        CanMessage request{};
        std::memcpy(request.Header, &bytes[3], sizeof request.Header);
        request.Length = std::min<uint8_t>(bytes[7], sizeof request.Data);
        const size_t available = bytes.size() > 8 ? bytes.size() - 8 : 0;
        std::memcpy(request.Data, &bytes[8], std::min<size_t>(request.Length, available));
        requests.push_back(request);
    }
    return requests;
}

// The same requests sent back to back through the library; seconds, or negative on a failure.
double RawExchange(int32_t link, const std::vector<CanMessage>& requests) {
    const auto start = Clock::now();
    for (const CanMessage& request : requests) {
        CanMessage reply{};
        if (Pc2Lan_Can_Request(link, &request, &reply) != 0) {
            return -1;
        }
    }
    return SecondsSince(start);
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// kestemu as a program of its own, so that its threads do not count in this process's CPU time.
class ChildBox {
public:
    ChildBox() = default;
    ChildBox(const ChildBox&) = delete;
    ChildBox& operator=(const ChildBox&) = delete;
    ~ChildBox() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool Start(std::string* error) {
        int out[2];
        if (pipe(out) != 0) {
            *error = "pipe failed";
            return false;
        }
        pid_ = fork();
        if (pid_ < 0) {
            *error = "fork failed";
            return false;
        }
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(KESTEMU_PROGRAM, "kestemu", "--port", "0", "--quiet", "--clock", kBoxClock,
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        close(out[0]);
        const auto colon = line.rfind(':');
        if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
            *error = "kestemu did not start (" KESTEMU_PROGRAM "): '" + line + "'";
            return false;
        }
        address_ = line.substr(13, colon - 13);
        port_ = std::atoi(line.c_str() + colon + 1);
        return port_ > 0;
    }

    const std::string& Address() const { return address_; }
    int Port() const { return port_; }

private:
    pid_t pid_ = -1;
    std::string address_;
    int port_ = 0;
};

bool OpenLink(int32_t link, const std::string& address, int port) {
    if (Pc2Lan_Create(link, address.c_str(), port, kUser, kPassword, "", "") != 0) {
        return false;
    }
    int32_t level = 0;
    if (Pc2Lan_Connect(link, &level, 2) < 0) {
        Pc2Lan_Delete(link);
        return false;
    }
    return true;
}

// Ends the channel's worker and lets its last main-thread step run. The channel takes its link
// down with it.
void EndChannel(std::unique_ptr<TCANMessages>& channel) {
    channel.reset();
    QCoreApplication::processEvents();
}

int PacedDownload(kestemu::Emulator& box, int32_t link, double rawPerRequest) {
    if (!OpenLink(link, box.address(), box.port())) {
        std::fprintf(stderr, "bench_channel: no link to the emulator\n");
        return 1;
    }
    auto channel = std::make_unique<TCANMessages>(kKest, 0, uint8_t(link));
    channel->RequestDelay = kDesignDelayMs;
    const Download paced = RunDownload(*channel, box);
    EndChannel(channel);
    if (!paced.complete) {
        std::fprintf(stderr, "bench_channel: the paced download did not complete\n");
        return 1;
    }
    const double floor = paced.requests * ((kDesignDelayMs + kIdlePassMs) / 1000.0 + rawPerRequest);
    const double off = (paced.seconds - floor) / floor;
    std::printf("paced download (pause %u ms): %d requests, %d samples, %.3f s\n", kDesignDelayMs,
                paced.requests, paced.samples, paced.seconds);
    std::printf("design floor: %d x (%u ms + %.0f ms) + exchange %.3f s = %.3f s\n", paced.requests,
                kDesignDelayMs, kIdlePassMs, paced.requests * rawPerRequest, floor);
    std::printf("paced/floor: %.4f, %+.2f %% (target within %.0f %%: %s)\n", paced.seconds / floor,
                off * 100, kFloorTolerance * 100,
                std::abs(off) <= kFloorTolerance ? "met" : "missed");
    return 0;
}

int IdleChannels() {
    ChildBox child;
    std::string error;
    if (!child.Start(&error)) {
        std::fprintf(stderr, "bench_channel: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<TCANMessages>> channels;
    for (int i = 0; i < kIdleChannels; ++i) {
        const int32_t link = 10 + i;
        if (!OpenLink(link, child.Address(), child.Port())) {
            std::fprintf(stderr, "bench_channel: no link to the child box\n");
            return 1;
        }
        channels.push_back(std::make_unique<TCANMessages>(kKest + i, 0, uint8_t(link)));
    }
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 200) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }

    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    QEventLoop loop;
    QTimer::singleShot(kIdleSeconds * 1000, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    const double wall = SecondsSince(start);
    const double cpu = ProcessCpuSeconds() - cpuStart;

    for (auto& channel : channels) {
        EndChannel(channel);
    }
    const double share = cpu / wall;
    std::printf(
        "idle: %d channels connected for %.1f s used %.2f ms of CPU, %.3f %% of one core "
        "(target below %.0f %%: %s)\n",
        kIdleChannels, wall, cpu * 1000, share * 100, kTargetIdleShare * 100,
        share < kTargetIdleShare ? "met" : "missed");
    return 0;
}

kestemu::Config BoxConfig(int replyDelayMs) {
    kestemu::Config config;
    config.port = 0;
    config.clock = kBoxClock;
    config.log_connections = false;
    config.faults.delay_ms = replyDelayMs;
    return config;
}

struct Unpaced {
    int requests = 0;
    int samples = 0;
    double channelRate = 0;  // samples per second, median
    double rawRate = 0;
    double rawPerRequest = 0;  // seconds, median
};

// The channel's unpaced download against the same requests sent through the library alone,
// alternating round by round. Answers false after a failure.
bool MeasureUnpaced(kestemu::Emulator& box, int32_t link, int rounds, Unpaced* result) {
    if (!OpenLink(link, box.address(), box.port())) {
        std::fprintf(stderr, "bench_channel: no link to the emulator\n");
        return false;
    }
    auto channel = std::make_unique<TCANMessages>(kKest, 0, uint8_t(link));
    channel->RequestDelay = 0;
    const Download warm = RunDownload(*channel, box);
    const std::vector<CanMessage> requests = RecordedRequests(box);
    if (!warm.complete || requests.empty() || RawExchange(link, requests) < 0) {
        std::fprintf(stderr, "bench_channel: the warm-up download failed\n");
        return false;
    }
    std::vector<double> channelRates;
    std::vector<double> rawRates;
    std::vector<double> rawPerRequest;
    for (int round = 0; round < rounds; ++round) {
        for (int side = 0; side < 2; ++side) {
            if ((side == 0) == (round % 2 == 0)) {
                const Download d = RunDownload(*channel, box);
                if (!d.complete || d.samples != warm.samples) {
                    std::fprintf(stderr, "bench_channel: download of round %d failed\n", round);
                    return false;
                }
                channelRates.push_back(d.samples / d.seconds);
            } else {
                const double seconds = RawExchange(link, requests);
                if (seconds < 0) {
                    std::fprintf(stderr, "bench_channel: raw exchange of round %d failed\n", round);
                    return false;
                }
                rawRates.push_back(warm.samples / seconds);
                rawPerRequest.push_back(seconds / double(requests.size()));
            }
        }
    }
    result->requests = int(requests.size());
    result->samples = warm.samples;
    result->channelRate = bench::median(channelRates);
    result->rawRate = bench::median(rawRates);
    result->rawPerRequest = bench::median(rawPerRequest);
    return true;
}

int Run(int rounds, bool spread) {
    const int cpu = spread ? -1 : bench::pin_to_current_cpu();
    kestemu::Emulator box(BoxConfig(0));
    kestemu::Emulator slowBox(BoxConfig(kSlowReplyMs));
    std::string error;
    if (!box.start(&error) || !slowBox.start(&error)) {
        std::fprintf(stderr, "bench_channel: the emulator did not start: %s\n", error.c_str());
        return 1;
    }

    Unpaced fast;
    if (!MeasureUnpaced(box, kLink, rounds, &fast)) {
        return 1;
    }
    const double ratio = fast.channelRate / fast.rawRate;
    std::printf("bench_channel: ten-minute download of 4 modules, %d requests, %d samples, %s\n",
                fast.requests, fast.samples,
                cpu >= 0 ? ("all threads on CPU " + std::to_string(cpu)).c_str()
                         : "threads spread over the CPUs");
    std::printf("unpaced download (pause 0 ms), median of %d: %.0f samples/s\n", rounds,
                fast.channelRate);
    std::printf("same requests through the library alone: %.0f samples/s (%.1f us per request)\n",
                fast.rawRate, fast.rawPerRequest * 1e6);
    std::printf("ratio channel/library: %.3f (target at least %.1f: %s)\n", ratio, kTargetRateRatio,
                ratio >= kTargetRateRatio ? "met" : "missed");

    // A box that takes a millisecond per reply, as a real one takes at least: the channel's own
    // cost per request is the same, the exchange it adds to is not.
    Unpaced slow;
    if (!MeasureUnpaced(slowBox, kLink + 1, kSlowRounds, &slow)) {
        return 1;
    }
    std::printf(
        "with a box answering after %d ms: channel %.0f, library %.0f samples/s, "
        "ratio %.3f\n",
        kSlowReplyMs, slow.channelRate, slow.rawRate, slow.channelRate / slow.rawRate);
    std::printf(
        "channel cost per request: %.1f us\n",
        (fast.samples / fast.channelRate - fast.samples / fast.rawRate) / fast.requests * 1e6);

    const int paced = PacedDownload(box, kLink + 2, fast.rawPerRequest);
    if (paced != 0) {
        return paced;
    }
    return IdleChannels();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("quarnel.debug.debug=false");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int rounds = kDefaultRounds;
    bool spread = false;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "--spread") {
        spread = true;
        first = 2;
    }
    const int counts = argc - first;
    if (counts > 1 || (counts == 1 && !bench::parse_count(argv[first], &rounds))) {
        std::fprintf(stderr, "usage: bench_channel [--spread] [ROUNDS]\n");
        return 2;
    }
    return Run(rounds, spread);
}

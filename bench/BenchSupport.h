// What the benchmarks share: medians over rounds, count arguments, and pinning to one CPU.
#pragma once

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

namespace bench {

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A whole positive decimal number, or false.
inline bool parse_count(const char* text, int* out) {
    const std::string_view view(text);
    int value = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc() || end != view.data() + view.size() || value < 1) {
        return false;
    }
    *out = value;
    return true;
}

// Keeps every thread of the benchmark, the emulator's and the library's included, on the CPU it
// started on. Spread over several CPUs, a loopback round trip costs either about 7 us (both ends
// on one CPU) or ten times that (a wake-up across CPUs), and which one a round gets flips from
// round to round, so the medians would compare placements instead of code. Threads inherit the
// mask, so this must run before any of them is started. Answers the CPU, or -1 when pinning is
// not possible.
inline int pin_to_current_cpu() {
    const int cpu = sched_getcpu();
    if (cpu < 0) {
        return -1;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0 ? cpu : -1;
}

}  // namespace bench

// Wall and processor time of the measured work, for benchmarks that set it against a bare loop.
#pragma once

#include <chrono>
#include <ctime>

namespace mixora::bench {

inline double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Processor time of the whole process (all threads, kernel time included): on a machine
// shared with other work the wall clock says more about the neighbours than about us.
inline double cpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Sums of both over every call of add.
struct Timing {
    double wall = 0, cpu = 0;
    template <class F> void add(F &&f) {
        const auto w0 = std::chrono::steady_clock::now();
        const double c0 = cpuSeconds();
        f();
        cpu += cpuSeconds() - c0;
        wall += seconds(std::chrono::steady_clock::now() - w0);
    }
};

} // namespace mixora::bench

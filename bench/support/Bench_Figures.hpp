#pragma once
// The statistics every benchmark program reports its samples with.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace Quorin_Bench {

/// The q-th percentile (q from 0 to 1) of a sorted sample by nearest rank: the value at index
/// ceil(q * n) - 1, so p99 is a value the sample took and at most 1 % of the sample lies above
/// it. 0 for an empty sample.
inline double nearest_rank(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

/// Size, median, 99th percentile and maximum of a sample, by nearest rank.
struct Summary {
    std::size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

inline Summary summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values.size(), nearest_rank(values, 0.5), nearest_rank(values, 0.99), nearest_rank(values, 1.0)};
}

/// Busy loops, one per core, from construction to destruction: the "both cores busy" case.
class Busy_Load {
public:
    explicit Busy_Load(bool on) {
        if (!on) return;
        for (unsigned core = 0; core < std::max(1u, std::thread::hardware_concurrency()); ++core)
            loops.emplace_back([this] {
                while (!stop.load(std::memory_order_relaxed)) {
                }
            });
    }
    ~Busy_Load() {
        stop = true;
        for (auto& loop : loops) loop.join();
    }
    Busy_Load(const Busy_Load&) = delete;
    Busy_Load& operator=(const Busy_Load&) = delete;

private:
    std::atomic<bool> stop{false};
    std::vector<std::thread> loops;
};

inline double micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

/// The machine's load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them.
inline std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace Quorin_Bench

#pragma once
// Shared by the benchmark programs that drive the real binary; POSIX only, like them.

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace Quorin_Bench {

/// The q-quantile (0 to 1) of `values`, 0 when there are none.
inline double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

/// The machine's load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them.
inline std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace Quorin_Bench

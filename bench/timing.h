// Wall-clock helpers shared by the benchmarks that time whole programs and windows.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace kivbench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace kivbench

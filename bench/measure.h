// Clocks and the statistics that every figure is reduced with.
#pragma once

#include <cstdint>
#include <vector>

// Monotonic clock in nanoseconds.
int64_t NowNs();

// CPU time of the calling thread in nanoseconds; -1 where the system doesn't measure it finely
// (Windows counts thread time in scheduler ticks).
int64_t ThreadCpuNs();

// Median, lowest and highest of a set of figures.
struct Spread {
  double median = 0, low = 0, high = 0;
};
Spread SpreadOf(std::vector<double> values);

// The value below which the given fraction of the values lie (nearest rank).
double Percentile(std::vector<double> values, double fraction);

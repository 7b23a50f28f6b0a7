// Figures shared by the benchmarks that time whole processes.
#pragma once

#include <algorithm>
#include <vector>

namespace tessel::bench {

// The median of the samples that were taken; a negative sample marks a failed
// run and is left out. -1 when no run succeeded.
inline double MedianOfTaken(std::vector<double> values) {
  std::erase_if(values, [](double v) { return v < 0; });
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace tessel::bench

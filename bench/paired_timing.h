// Helpers for benchmarks that time two calls turn about inside one loop: the thread's own CPU
// clock, and the median of single timings (which leaves out the turns that lost the processor).
#pragma once

#include <time.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tarn::bench {

inline double threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

inline double median(std::vector<double>& v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

}  // namespace tarn::bench

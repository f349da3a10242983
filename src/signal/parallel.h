// Splitting a long loop over independent items across the machine's cores.
#pragma once

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

namespace qv {

// Calls body(begin, end) on contiguous ranges covering [0, count). Each item is computed exactly
// as it would be alone, so the result never depends on the number of threads. Short loops, and
// machines where a thread cannot be started, run on the calling thread.
template <typename Body>
void parallel_ranges(int64_t count, int64_t min_per_thread, Body body) {
  const int64_t cores = std::max(1u, std::thread::hardware_concurrency());
  const int64_t parts = std::min<int64_t>(cores, count / std::max<int64_t>(min_per_thread, 1));
  if (parts <= 1) {
    body(int64_t{0}, count);
    return;
  }
  std::vector<std::thread> workers;
  const int64_t step = (count + parts - 1) / parts;
  int64_t begin = step;  // the calling thread keeps the first range
  try {
    for (; begin < count; begin += step)
      workers.emplace_back(body, begin, std::min(count, begin + step));
  } catch (...) {
    // No more threads: the rest runs here.
  }
  if (begin < count) body(begin, count);
  body(int64_t{0}, std::min(count, step));
  for (std::thread &w : workers) w.join();
}

}  // namespace qv

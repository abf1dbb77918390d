// Overhead of one parallel loop: an empty body over 2 and 64 items, the
// shapes the decode loop issues several times per token; and 64 items of
// about 2 microseconds of arithmetic each, to show how much of a small loop
// the workers actually take once they have to wake up. Private pools of
// several sizes run in one process; the process pool is not involved.
//
// Usage: bench_pool [filter]   (only benchmarks whose name contains filter)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/worker_pool.h"

namespace {

using pinnet::core::WorkerPool;

// Many warm-up calls: the first loops start the pool's threads.
template <class F>
double median_seconds(F&& call) {
  return pinnet::bench::median_seconds(call, 15, 0.02, 100);
}

void print(const std::string& name, size_t threads, double seconds) {
  std::printf("{\"name\":\"%s\",\"threads\":%zu,\"seconds\":%.9f}\n", name.c_str(), threads,
              seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string filter = argc > 1 ? argv[1] : "";
  for (size_t threads : {1, 2, 4}) {
    WorkerPool pool(threads);
    for (size_t items : {2, 64}) {
      const std::string name = "pool_overhead_" + std::to_string(items);
      if (name.find(filter) == std::string::npos) continue;
      const double s = median_seconds([&] { pool.parallel_for(items, [](size_t) {}); });
      print(name, threads, s);
    }
    const std::string busy = "pool_busy_64x2us";
    if (busy.find(filter) != std::string::npos) {
      std::vector<float> out(64);
      const double s = median_seconds([&] {
        pool.parallel_for(64, [&](size_t i) {
          float x = float(i);
          for (int k = 0; k < 1000; ++k) x = x * 0.999f + 1.0f;  // ~1000 dependent FMAs
          out[i] = x;
        });
      });
      print(busy, threads, s);
    }
  }
  return 0;
}

// Timing and thread-count plumbing shared by the benchmark programs.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace pinnet::bench {

// Median seconds of one call over `samples` samples; each sample repeats the
// call until it has run for at least `min_sample` seconds. `warmups` calls
// first start pool threads and warm caches and scratch buffers.
template <class F>
double median_seconds(F&& call, int samples = 7, double min_sample = 0.02, int warmups = 1) {
  using clock = std::chrono::steady_clock;
  for (int i = 0; i < warmups; ++i) call();
  std::vector<double> per_call;
  for (int s = 0; s < samples; ++s) {
    long n = 0;
    const auto start = clock::now();
    double elapsed = 0;
    do {
      call();
      ++n;
      elapsed = std::chrono::duration<double>(clock::now() - start).count();
    } while (elapsed < min_sample);
    per_call.push_back(elapsed / double(n));
  }
  std::sort(per_call.begin(), per_call.end());
  return per_call[per_call.size() / 2];
}

// The worker pool reads its size once per process, so a program measures each
// thread count in a fresh copy of itself: RAYON_NUM_THREADS set, and
// `child_var` set so the copy runs the benchmarks instead of coming here.
// Returns the exit status for main.
inline int run_per_thread_count(char** argv, std::initializer_list<unsigned> counts,
                                const char* child_var, const char* program) {
  for (unsigned threads : counts) {
    const pid_t pid = fork();
    if (pid < 0) {
      std::perror(program);
      return 1;
    }
    if (pid == 0) {
      setenv("RAYON_NUM_THREADS", std::to_string(threads).c_str(), 1);
      setenv(child_var, "1", 1);
      execv("/proc/self/exe", argv);
      std::perror(program);
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}

}  // namespace pinnet::bench

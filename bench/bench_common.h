// Timing and thread-count plumbing shared by the benchmark programs.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace pinnet::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

inline double peak_rss_mb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

inline bool wanted(const std::string& name, const char* filter) {
  return filter == nullptr || name.find(filter) != std::string::npos;
}

inline void print_line(const char* name, unsigned threads, uint64_t tokens, double seconds,
                       const char* extra = "") {
  std::printf("{\"name\": \"%s\", \"threads\": %u, \"tokens\": %llu, \"seconds\": %.6g, "
              "\"tokens_per_s\": %.2f, \"peak_rss_mb\": %.1f, \"isa\": null, \"gflops\": null, "
              "\"gbps\": null%s}\n",
              name, threads, static_cast<unsigned long long>(tokens), seconds,
              seconds > 0 ? static_cast<double>(tokens) / seconds : 0.0, peak_rss_mb(), extra);
  std::fflush(stdout);
}

// The middle value (the upper middle of an even count).
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The whole file, or "" when it cannot be read.
inline std::string read_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

// Words for the argument values of tool calls: ASCII, non-ASCII and digits.
inline constexpr const char* kWords[] = {
    "Paris", "Lisbon", "S\xC3\xA3o Paulo", "Z\xC3\xBCrich", "Tokyo", "meeting", "tomorrow", "budget",
    "review", "quarterly", "EUR", "USD", "JPY", "please", "team", "notes", "draft", "2025-03-14"};

// The value at fraction p of the sorted samples (0 when there are none).
inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

inline double mean(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x;
  return v.empty() ? 0.0 : s / static_cast<double>(v.size());
}

inline double us_since(Clock::time_point t) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

// Random ids from 3 up, the first one the begin id 2.
inline std::vector<uint32_t> random_ids(size_t n, uint64_t vocab, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> d(3, static_cast<uint32_t>(vocab - 1));
  std::vector<uint32_t> ids(n);
  for (uint32_t& t : ids) t = d(rng);
  ids[0] = 2;
  return ids;
}

// Writes the model file with `python3 -m pinnet_tools.<tool_args> --out
// path` when it is missing (run from the repository root, as bench/run
// does). False when that failed.
inline bool ensure_model(const char* path, const char* tool_args, const char* program) {
  struct stat st{};
  if (stat(path, &st) == 0) return true;
  std::fprintf(stderr, "%s: writing %s\n", program, path);
  const std::string cmd =
      std::string("PYTHONPATH=. python3 -m pinnet_tools.") + tool_args + " --out " + path;
  if (std::system(cmd.c_str()) == 0) return true;
  std::fprintf(stderr, "%s: could not write the model\n", program);
  return false;
}

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
// thread count in a fresh copy of itself: PINNET_NUM_THREADS set, and
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
      setenv("PINNET_NUM_THREADS", std::to_string(threads).c_str(), 1);
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

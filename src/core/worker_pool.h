// The process-wide pool of worker threads that the large products and the
// batched prefill split over.
//
// A parallel loop runs independent items; each item writes its own disjoint
// part of the output, so no lock is taken inside a loop. The calling thread
// takes part and blocks until every item has finished.
//
// Idle workers sleep on an atomic wait (futex), woken by a generation counter
// when a loop starts; after each loop they poll that counter for up to 50
// microseconds first, since the next loop of a decode step usually follows
// sooner than a sleeping thread can be woken. The caller, done with its
// items, likewise polls for up to 50 microseconds for workers still inside
// the loop before it sleeps on them. Items are handed out by one atomic
// counter, so a thread that finishes early takes the next unclaimed item.
// The caller never waits for a worker that has not woken up yet: if every
// worker is asleep, the caller simply runs all items itself.
//
// Re-entrancy: a loop started from inside a loop item, or while another
// thread's loop owns the workers, runs inline on its own thread. Two Python
// threads in model work at once therefore both finish, one of them serially.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <thread>
#include <vector>

#include "core/function_ref.h"

namespace pinnet::core {

class WorkerPool {
 public:
  // The process's pool, sized from the environment (pool_size_from_env) on
  // first use and never torn down: its threads live until the process exits.
  static WorkerPool& instance();

  // A private pool of `threads` participants (the caller plus threads - 1
  // workers; 0 counts as 1). The models use instance(); tests use this to
  // exercise several sizes in one process. Destroying a pool joins its
  // workers and must not race with a loop on it.
  explicit WorkerPool(size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Participants in one loop: the caller plus the workers.
  size_t threads() const { return workers_.size() + 1; }

  // Runs body(i) once for every i in [0, n), in any order, on any
  // participant, and returns when all have finished. An exception thrown by
  // an item does not stop the others; the first one caught is rethrown here
  // after every item is done. n == 0 returns at once; n == 1, a one-thread
  // pool, a nested loop or a concurrent loop run inline on the caller.
  void parallel_for(size_t n, FunctionRef<void(size_t)> body);

 private:
  bool try_own();
  void run_items();
  void worker_main();

  std::vector<std::thread> workers_;

  // Held by the one loop that owns the workers.
  std::atomic<bool> busy_{false};
  // (generation << 1) | open. Workers sleep on it; a loop bumps the
  // generation and sets `open`, and clears `open` once its items are all
  // claimed and done on the caller's side.
  std::atomic<uint32_t> state_{0};
  // Workers that have looked at the current generation and may still be
  // running its items; the owner waits for zero after closing.
  std::atomic<uint32_t> refs_{0};
  std::atomic<bool> stop_{false};

  // The open loop. Written by the owner before it opens the generation and
  // read by workers only while they hold a ref on an open generation.
  const FunctionRef<void(size_t)>* body_ = nullptr;
  size_t n_ = 0;
  std::atomic<size_t> next_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
};

// Upper bound on the configured thread count, so a mistyped environment value
// cannot exhaust the process's threads.
inline constexpr size_t kMaxPoolThreads = 1024;

// The environment variables that size the pool, first match wins: our own
// name, then the two older ones that earlier releases and callers set.
inline constexpr const char* kPoolSizeVariables[] = {"PINNET_NUM_THREADS", "RAYON_NUM_THREADS",
                                                     "RAYON_RS_NUM_CPUS"};

// The sizing rule: the first of `settings` (the values of kPoolSizeVariables,
// in order) that holds a positive decimal integer, else the number of logical
// processors (at least 1); capped at kMaxPoolThreads. Anything but a plain
// positive decimal ("", "0", "-3", "abc", " 4") is treated as unset. Null
// pointers mean unset.
size_t pool_size_from_env(std::initializer_list<const char*> settings, size_t logical_cpus);

// One item per chunk of `out`: items = ceil(len / chunk); item k gets
// out[k*chunk, min((k+1)*chunk, len)). Runs on WorkerPool::instance().
// Throws std::invalid_argument("chunk size must be non-zero") for chunk == 0.
void parallel_chunks(std::span<float> out, size_t chunk,
                     FunctionRef<void(size_t, std::span<float>)> body);

// Two buffers chunked together; the loop covers the smaller of the two chunk
// counts, and item k gets chunk k of each. Same zero-chunk error.
void parallel_chunks2(std::span<float> a, size_t chunk_a, std::span<float> b, size_t chunk_b,
                      FunctionRef<void(size_t, std::span<float>, std::span<float>)> body);

}  // namespace pinnet::core

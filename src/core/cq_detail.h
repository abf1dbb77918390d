// Helpers shared by the float and the int8 codebook-quantised products
// (cq.cc, cq_int8.cc); not part of the public interface.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/checked_math.h"
#include "core/cpu.h"
#include "core/worker_pool.h"

namespace pinnet::core::cq_detail {

// Work (rows x padded columns, times inputs for the batched product) above
// which a product is split over the pool.
inline constexpr uint64_t kParallelWork = 0xFFFFF;
// The same for one vector's product, which a decode step waits on: its parts
// pay as soon as each outlasts waking the other threads. Measured on gen3
// decode at 2 threads (512 x 512 products now split): float 58 -> 55 ms per
// 64 tokens; a threshold half as large again changed nothing.
inline constexpr uint64_t kParallelVector = kParallelWork / 4;

// Throws std::invalid_argument when the processor cannot run `isa`.
inline void require_isa(Isa isa) {
  if (!isa_supported(isa)) {
    throw std::invalid_argument(std::string("CqTensor: instruction set not supported: ") +
                                isa_name(isa));
  }
}

using core::ceil_div;
using core::saturating_mul;

// A buffer that lives in a per-thread cache, grown on demand and reused
// by later products on the same thread, so decode steps do not allocate per
// call. A second lease on a thread that already holds one (a product started
// from inside another on the same thread) gets a private buffer instead.
template <class T>
class ScratchOf {
 public:
  explicit ScratchOf(size_t n) {
    Cache& cache = cache_();
    if (!cache.leased) {
      cache.leased = true;
      leased_ = true;
      buf_ = &cache.buf;
    } else {
      buf_ = &own_;
    }
    if (buf_->size() < n) buf_->resize(n);
  }
  ~ScratchOf() {
    if (leased_) cache_().leased = false;
  }
  ScratchOf(const ScratchOf&) = delete;
  ScratchOf& operator=(const ScratchOf&) = delete;
  T* data() { return buf_->data(); }

 private:
  struct Cache {
    std::vector<T> buf;
    bool leased = false;
  };
  static Cache& cache_() {
    thread_local Cache cache;
    return cache;
  }
  std::vector<T>* buf_;
  std::vector<T> own_;
  bool leased_ = false;
};

using Scratch = ScratchOf<float>;

// Rows per part when a product splits its rows over the pool: a multiple of
// `multiple`, about kPartsPerThread parts per thread. More parts than
// threads, because a worker that was asleep or preempted when the split
// began joins late, and with one part per thread the caller has often taken
// them all by then (a 2-thread prefill beside another process that kept both
// cores busy: the caller did 2.2 times the worker's share of the batched
// products with one part per thread, 1.3 times with four; on quiet cores the
// shares are even either way).
inline constexpr uint64_t kPartsPerThread = 4;
inline uint64_t row_chunk(uint64_t rows, size_t threads, uint64_t multiple) {
  const uint64_t parts = kPartsPerThread * std::max<uint64_t>(threads, 1);
  return std::max<uint64_t>(ceil_div(ceil_div(rows, parts), multiple) * multiple, multiple);
}

// Runs body(begin, end) over [0, n) in chunks of `chunk` items on the pool.
template <class Body>
void split(WorkerPool& pool, uint64_t n, uint64_t chunk, Body&& body) {
  const uint64_t items = ceil_div(n, chunk);
  pool.parallel_for(items, [&](size_t i) {
    const uint64_t begin = i * chunk;
    body(begin, std::min(begin + chunk, n));
  });
}

}  // namespace pinnet::core::cq_detail

// Per-position loops of a forward pass on the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/worker_pool.h"

namespace pinnet::models {

// Runs body(i) for every item; items go to the pool one at a time.
template <class F>
void for_items(size_t count, F&& body) {
  if (count <= 1) {
    for (size_t i = 0; i < count; ++i) body(i);
    return;
  }
  core::WorkerPool::instance().parallel_for(count, [&](size_t i) { body(i); });
}

// Runs body(i) for every position; independent positions go to the pool in
// runs of consecutive ones (a position's share of these loops is a
// microsecond or less, too little to hand out alone: with two threads, one
// position per item made them slower than one thread).
template <class F>
void for_positions(size_t m, F&& body) {
  constexpr size_t kRun = 8;
  if (m <= kRun) {
    for (size_t i = 0; i < m; ++i) body(i);
    return;
  }
  for_items((m + kRun - 1) / kRun, [&](size_t r) {
    for (size_t i = r * kRun, end = std::min(m, i + kRun); i < end; ++i) body(i);
  });
}

}  // namespace pinnet::models

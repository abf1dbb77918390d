// Causal attention of a prefill over float keys and values that hold every
// position a row reads at its own row: the keys are laid out per kv head in
// blocks of positions, then runs of query rows attend on the pool, two rows
// at a time sharing every key they read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "models/common/parallel.h"

namespace pinnet::models {

struct PrefillAttention {
  // Row t (position t, first_key <= t < p0 + rows): kv_heads key vectors of hd
  // floats at keys + t·kv_heads·hd, and value vectors of vd floats at
  // values + t·kv_heads·vd.
  const float* keys = nullptr;
  const float* values = nullptr;
  size_t kv_heads = 0, group = 0;  // group: query heads per kv head, adjacent
  size_t hd = 0, vd = 0;
  // Query row i (position p0 + i): kv_heads·group heads of hd floats at
  // q + i·kv_heads·group·hd; its output, heads of vd floats, at
  // o + i·kv_heads·group·vd.
  const float* q = nullptr;
  float* o = nullptr;
  uint64_t p0 = 0;
  size_t rows = 0;
  size_t first = 0;  // rows before it are neither read nor written
  // Position p reads keys window_start(p, slots, window) .. p.
  uint64_t slots = 0, window = 0;
  // No row reads a key before this position: keys need not hold those.
  uint64_t first_key = 0;
};

// Query rows of one work item of a prefill's attention.
inline constexpr size_t kPrefillRun = 16;

// Runs body(item, g, i0, i1) on the pool for every kv head g and run of
// query rows i0 .. i1 - 1 (runs of kPrefillRun rows, cut to start at row
// `first`, of `rows`): the longest rows first, so that the last items to
// start are the short ones.
template <class F>
void for_prefill_runs(size_t kv_heads, size_t rows, size_t first, F&& body) {
  const size_t runs = (rows + kPrefillRun - 1) / kPrefillRun;
  const size_t r0 = std::min(first, rows) / kPrefillRun;
  for_items(kv_heads * (runs - std::min(runs, r0)), [&](size_t item) {
    const size_t g = item % kv_heads, run = runs - 1 - item / kv_heads;
    body(item, g, std::max(run * kPrefillRun, first), std::min(rows, run * kPrefillRun + kPrefillRun));
  });
}

// Floats of score scratch one work item of attend_prefill reads.
inline size_t prefill_scores_per_item(const PrefillAttention& a) {
  return 2 * a.group * (a.p0 + a.rows + 32);
}

// The outputs of query rows first .. rows - 1. kt: the transposed keys
// (resized here; its contents need not survive). scores: scratch for
// kv_heads·⌈rows / kPrefillRun⌉ items (prefill_scores_per_item each), or
// null for every item to allocate its own.
void attend_prefill(const PrefillAttention& a, std::vector<float>& kt, float* scores);

}  // namespace pinnet::models

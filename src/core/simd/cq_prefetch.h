// Software prefetch for the single-vector kernels, which stream each weight
// once per product. A decode step's weights are larger than the part of the
// last-level cache a core can count on, so they mostly come from memory, and
// the hardware prefetcher alone leaves the kernels waiting on it: on a
// 16384 x 512 4-bit matrix read from memory, prefetching about 4 KiB ahead
// made the AVX-512 product 1.9 times as fast (830 -> 430 us).
//
// Internal linkage on purpose: the kernel units are compiled with processor
// flags, and an inline function with external linkage could be shared by the
// linker between them and the portable code.
#pragma once

#include <cstdint>

namespace pinnet::core::cq_kernels {
namespace {

// Bytes ahead of the current position at which to prefetch, for a kernel
// that walks `streams` streams in step, each `stream_bytes` long and stored
// one after another (the rows or row tiles of one pass). Best is the same
// place in a later pass, the first at least 4 KiB on, so that every stream's
// prefetches cover the next pass whole (int8, 512 columns: 16% faster than
// 4 KiB ahead within each tile). The lead, the bytes the kernel reads before
// it reaches a prefetched line, must stay well inside the first-level cache
// though: leading by a pass of 128 KiB (a 1024 x 4096 int8 matrix) made the
// product 19% slower with its weights in cache, so past 32 KiB the prefetch
// runs 4 KiB ahead within the streams instead.
inline uint64_t prefetch_distance(uint64_t streams, uint64_t stream_bytes) {
  constexpr uint64_t kLead = 4096, kMaxLead = 32768;
  const uint64_t pass = streams * stream_bytes;
  if (pass == 0) return 0;
  const uint64_t passes = (kLead + pass - 1) / pass * pass;
  return passes <= kMaxLead ? passes : kLead / streams;
}

// Prefetches the line `ahead` bytes past p. Past the end of the weights this
// asks for memory that is never read; a prefetch cannot fault, and the
// address is formed as an integer so no pointer leaves its object.
inline void prefetch_ahead(const void* p, uint64_t ahead) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + ahead), 0, 3);
}

}  // namespace
}  // namespace pinnet::core::cq_kernels

// The batched float codebook product over a lane type (see lanes.h), shared
// by the instruction sets whose decoders differ: each unit supplies a
// Decoder with
//   template <int kR> void chunk(const View& t, uint64_t r, uint64_t u0,
//                                uint64_t nu, float* w) const;
// which writes rows r .. r + kR - 1, units u0 .. u0 + nu - 1 (nu <=
// kChunkUnits) as level·scale floats in the unit's input order, row i at
// w + i·nu·kUnit.
#pragma once

#include <cstdint>

#include "core/simd/cq_kernels.h"

namespace pinnet::core::cq_kernels {
namespace {  // internal linkage: see simd/lanes.h

// Each row tile is decoded once per chunk of columns into a small buffer and
// then runs a plain float tile over every input of the block: kR + kV loads
// feed kR·kV fused multiply-adds, and the decode cost is shared by all
// inputs. Partial sums of a tile stay as vectors in `acc` between chunks and
// are summed across lanes once at the end.
constexpr uint64_t kChunkUnits = 8;        // 512 columns per row per chunk
constexpr uint64_t kMaxBlockVectors = 64;  // inputs per block (acc buffer size)
// Inputs are taken in blocks that stay in the core's L2 cache while every
// row tile of [r0, r1) streams past them; the codes are re-read once per block.
constexpr uint64_t kInputBlockBytes = 512 * 1024;

// acc[(i·nb + j)·L ...] += L-lane partial sums of w row i · input j over n
// columns; w rows are n apart, inputs `stride` apart.
template <class V, int kR, int kV>
inline void accumulate_chunk(const float* w, const float* x, uint64_t stride, uint64_t n,
                             float* acc_buf, uint64_t nb, bool first) {
  using F = typename V::F;
  constexpr uint64_t L = V::kLanes;
  F acc[kR][kV];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) acc[i][j] = first ? V::zero() : V::load(acc_buf + (i * nb + j) * L);
  for (uint64_t k = 0; k < n; k += L) {
    F xv[kV];
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) xv[j] = V::load(x + j * stride + k);
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) {
      const F wi = V::load(w + i * n + k);
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) acc[i][j] = V::fmadd(wi, xv[j], acc[i][j]);
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) V::store(acc_buf + (i * nb + j) * L, acc[i][j]);
}

template <class V, int kR, int kTileVectors, class Decoder>
void matmul_row_tile(const View& t, const Decoder& dec, const float* xp, uint64_t r, uint64_t vb,
                     uint64_t nb, float* y) {
  constexpr uint64_t L = V::kLanes;
  alignas(64) float w[kR * kChunkUnits * kUnit];
  alignas(64) float acc[kR * kMaxBlockVectors * L];
  const uint64_t units = t.padded_cols / kUnit;
  for (uint64_t u0 = 0; u0 < units; u0 += kChunkUnits) {
    const uint64_t nu = units - u0 < kChunkUnits ? units - u0 : kChunkUnits;
    const uint64_t n = nu * kUnit;
    dec.template chunk<kR>(t, r, u0, nu, w);
    const float* x = xp + vb * t.padded_cols + u0 * kUnit;
    uint64_t j = 0;
    for (; j + kTileVectors <= nb; j += kTileVectors) {
      accumulate_chunk<V, kR, kTileVectors>(w, x + j * t.padded_cols, t.padded_cols, n, acc + j * L,
                                            nb, u0 == 0);
    }
    for (; j < nb; ++j) {
      accumulate_chunk<V, kR, 1>(w, x + j * t.padded_cols, t.padded_cols, n, acc + j * L, nb, u0 == 0);
    }
  }
  for (int i = 0; i < kR; ++i) {
    for (uint64_t j = 0; j < nb; ++j) {
      y[(vb + j) * t.rows + r + i] = V::reduce_add(V::load(acc + (i * nb + j) * L));
    }
  }
}

// y[v·rows + r] = row r · input v for r in [r0, r1), v in [v0, v1), in row
// tiles of kTileRows and input tiles of kTileVectors.
template <class V, int kTileRows, int kTileVectors, class Decoder>
void matmul_tiles(const View& t, const Decoder& dec, const float* xp, uint64_t r0, uint64_t r1,
                  uint64_t v0, uint64_t v1, float* y) {
  uint64_t block = kInputBlockBytes / (4 * t.padded_cols) / kTileVectors * kTileVectors;
  if (block == 0) block = kTileVectors;
  if (block > kMaxBlockVectors) block = kMaxBlockVectors;
  for (uint64_t vb = v0; vb < v1; vb += block) {
    const uint64_t nb = v1 - vb < block ? v1 - vb : block;
    uint64_t r = r0;
    for (; r + kTileRows <= r1; r += kTileRows) {
      matmul_row_tile<V, kTileRows, kTileVectors>(t, dec, xp, r, vb, nb, y);
    }
    for (; r < r1; ++r) matmul_row_tile<V, 1, kTileVectors>(t, dec, xp, r, vb, nb, y);
  }
}

}  // namespace
}  // namespace pinnet::core::cq_kernels

// Codebook-quantised tensors built from arbitrary bytes: construction must
// reject or accept without reading out of bounds, and an accepted tensor's
// products and dequantisation must run on every instruction set.
//
// Input: bits code, log2(group), rows (u8), cols (u16 LE), codebook length,
// then the blob (codes then binary16 scales).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cpu.h"
#include "core/cq.h"

using pinnet::core::CqTensor;
using pinnet::core::Isa;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint8_t bits_code = data[0];
  const uint64_t group = data[1] < 64 ? uint64_t(1) << data[1] : data[1];
  const uint64_t rows = data[2];
  const uint64_t cols = data[3] | (uint64_t(data[4]) << 8);
  const size_t codebook_len = data[5] % 32;
  std::vector<float> codebook(codebook_len);
  for (size_t i = 0; i < codebook_len; ++i) codebook[i] = float(int(i) - 14) / 7.0f;
  const std::vector<uint8_t> blob(data + 6, data + size);

  auto made = CqTensor::create(rows, cols, group, bits_code, blob, codebook);
  if (!made.ok()) {
    (void)made.error().to_string();
    return 0;
  }
  const CqTensor& t = made.value();
  std::vector<float> x(t.cols(), 0.5f), y(t.rows());
  std::vector<float> row(t.cols());
  t.dequantize_row(t.rows() - 1, row);
  std::vector<float> x_rot(2 * t.padded_cols(), 0.25f), y2(2 * t.rows());
  for (Isa isa : {Isa::Portable, Isa::Avx2, Isa::Avx512}) {
    if (!pinnet::core::isa_supported(isa)) continue;
    t.matvec_with(isa, nullptr, x, y);
    t.matmul_with(isa, nullptr, x_rot, 2, y2);
  }
  const size_t blocks[] = {0, 1};
  (void)t.select_row_blocks(blocks, 1);
  return 0;
}

// Fuzzes the .tesk reader: the input is parsed as both container versions,
// and every tensor of a parsed image goes through every accessor (floats,
// the codebook tensor with a row decode, bytes, a shape check).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/tesk.h"

using pinnet::formats::TeskImage;
using pinnet::formats::TeskVersion;

namespace {

void touch_every_tensor(const TeskImage& img) {
  volatile float sink = 0.0f;
  for (size_t i = 0; i < img.tensor_count(); ++i) {
    if (auto f = img.tensor_floats(i); f && !f.value().empty()) sink = sink + f.value().back();
    if (auto b = img.tensor_bytes(i); b && !b.value().empty()) sink = sink + b.value().back();
    if (auto q = img.tensor_cq(i)) {
      const auto& t = q.value();
      // Construction bounds rows x row_bytes by the blob, so a row's width
      // is bounded by the input too.
      std::vector<float> row(static_cast<size_t>(t.cols()));
      t.dequantize_row(0, row);
      t.dequantize_row(static_cast<size_t>(t.rows() - 1), row);
      sink = sink + row[0];
    }
    const auto& e = img.entry(i);
    (void)img.check_shape(i, std::span<const uint64_t>(e.dims.data(), e.ndim <= 4 ? e.ndim : 4), "fuzz");
  }
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  for (TeskVersion v : {TeskVersion::V2, TeskVersion::V3}) {
    auto img = TeskImage::from_bytes(v, bytes);
    if (img) {
      touch_every_tensor(img.value());
    } else {
      (void)img.error().to_string();
    }
  }
  return 0;
}

// Fuzzes generation-3 loading through binding: a malformed container must be
// refused with a load error, never crash. When binding succeeds, a short
// prompt runs through the prefill and a few steps (float and int8 caches)
// and the confidence head, so every size the forward pass relies on is
// exercised on whatever the input declares. The last input byte picks the
// depth (full, or a rung of 2 or 3 blocks).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "models/gen3/load.h"

namespace {

// Inputs whose bound model would make a few positions take long: the pass
// costs about one multiply per weight, and the container bounds the weights,
// so a cap on the input size bounds the work.
constexpr size_t kMaxInput = 4 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  std::optional<uint64_t> depth;
  if (size > 0 && data[size - 1] % 3 != 0) depth = data[size - 1] % 3 + 1;
  auto loaded = pinnet::gen3::load_v3_bytes(pinnet::formats::ByteImage::view({data, size}), depth);
  if (!loaded) {
    volatile size_t n = loaded.error().message().size();
    (void)n;
    return 0;
  }
  const pinnet::gen3::V3Bundle& b = loaded.value();
  const pinnet::gen3::V3Model& model = b.model;
  const uint64_t vocab = model.geometry().vocab_size;
  const std::vector<uint32_t> prompt = {2, 1, static_cast<uint32_t>(vocab), 0xFFFFFFFFu};
  std::vector<float> logits(model.logit_width());
  for (bool int8 : {false, true}) {
    pinnet::gen3::KvCache cache = model.new_cache(2, int8);
    model.prefill(prompt, &cache, logits);
    for (uint32_t t : {3u, 4u, 5u}) model.step(t, cache, logits);
  }
  if (b.head) {
    volatile float p = b.head->probability(model, prompt);
    (void)p;
  }
  return 0;
}

// Fuzzes generation-2 loading through binding: a malformed container must be
// refused with a load error, never crash. When binding succeeds, a short
// prompt runs through the prefill and a few steps (ids in and out of the
// vocabulary, a window smaller than the prompt) and every head, so every
// size the forward pass relies on is exercised on whatever the input
// declares.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "models/gen2/load.h"

namespace {

// The pass costs about one multiply per weight and the container bounds the
// weights, so a cap on the input size bounds the work.
constexpr size_t kMaxInput = 4 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  auto loaded = pinnet::gen2::load_v2_bytes(pinnet::formats::ByteImage::view({data, size}));
  if (!loaded) {
    volatile size_t n = loaded.error().size();
    (void)n;
    return 0;
  }
  const pinnet::gen2::V2Bundle& b = loaded.value();
  const pinnet::gen2::V2Model& model = b.model;
  const uint64_t vocab = model.geometry().vocab_size;
  const std::vector<uint32_t> prompt = {0, 1, static_cast<uint32_t>(vocab - 1), 2};
  std::vector<float> logits(vocab);
  pinnet::gen2::V2SequenceState state = model.new_state(2, 2);
  if (model.prefill(prompt, state, logits) == nullptr) {
    for (uint32_t t : {0u, static_cast<uint32_t>(vocab), 1u}) (void)model.step(t, state, logits);
  }
  pinnet::gen2::V2SequenceState scoring = model.new_state(model.geometry().max_seq_len, 0);
  for (const pinnet::gen2::ProbeHead& head : b.heads) (void)head.run(model, prompt, 0, scoring);
  return 0;
}

// Fuzzes generation-1 loading: a malformed weight file must be refused with a
// load error, never crash. When the model loads, a short encoder input runs
// through the encoder, the decoder's first steps (ids in and out of the
// vocabulary are both given; the model throws on an id outside it, which is
// the caller's contract, so only in-vocabulary ids are stepped) and the
// contrastive head, so every size the passes rely on is exercised on
// whatever the file declares.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/safetensors.h"
#include "models/gen1/model.h"

namespace {

// The passes cost about one multiply per weight and the file bounds the
// weights, so a cap on the input size bounds the work. The configuration
// comes from metadata, so the encoder and decoder lengths are capped too.
constexpr size_t kMaxInput = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  auto file = pinnet::formats::SafetensorsFile::parse(std::span<const uint8_t>(data, size));
  if (!file) return 0;
  auto loaded = pinnet::gen1::Gen1Model::load(file.value());
  if (!loaded) {
    volatile size_t n = loaded.error().size();
    (void)n;
    return 0;
  }
  const pinnet::gen1::Gen1Model& model = loaded.value();
  const uint64_t vocab = model.config().vocab_size;
  const std::vector<uint32_t> prompt = {0, 1, static_cast<uint32_t>(vocab - 1), 2 % static_cast<uint32_t>(vocab)};
  pinnet::gen1::DecoderState state = model.new_state();
  model.encode(prompt, state);
  std::vector<float> logits(vocab);
  for (uint32_t t : {1u, 0u, static_cast<uint32_t>(vocab - 1)})
    if (t < vocab) model.decode_step(t, state, logits);
  (void)model.encode_contrastive(prompt);
  return 0;
}

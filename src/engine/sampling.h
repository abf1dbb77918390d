// Choosing the next id from a row of logits: greedy (first maximum) or
// temperature sampling driven by splitmix64, bit for bit reproducible per seed.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace pinnet::engine {

// splitmix64: one 64-bit state word, advanced once per draw.
class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t state) : state_(state) {}
  // Generation 3 starts from the seed itself.
  static SplitMix64 gen3(uint64_t seed) { return SplitMix64(seed); }
  // Generation 2 starts one golden-ratio step ahead of the seed.
  static SplitMix64 gen2(uint64_t seed) { return SplitMix64(seed + kGolden); }

  uint64_t next_u64() {
    state_ += kGolden;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1) with 53 random bits.
  double next_unit() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }
  uint64_t state() const { return state_; }

 private:
  static constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;
  uint64_t state_;
};

// Index of the first largest logit: a later value wins only when strictly
// greater, NaN never wins over a number. Empty logits give 0.
uint32_t greedy_choice(std::span<const float> logits);

// A key whose integer order is the IEEE total order of floats (negative NaN
// < -inf < ... < -0 < +0 < ... < +inf < positive NaN).
inline int32_t total_order_key(float v) {
  const int32_t bits = std::bit_cast<int32_t>(v);
  return bits < 0 ? bits ^ 0x7FFFFFFF : bits;
}

// Index of the largest logit under the IEEE total order (a positive NaN
// above every number), the highest index among equal ones. Empty logits
// give 0.
uint32_t greedy_choice_highest(std::span<const float> logits);

// Temperature sampling with inverse temperature `inv_temp`: weights
// exp((logit - max) * inv_temp) in single precision, summed in double; one
// draw u in [0, 1) and a prefix scan for the first index where u * sum runs
// out. Falls back to the last index. Empty logits give 0.
uint32_t sample(std::span<const float> logits, float inv_temp, SplitMix64& rng);

}  // namespace pinnet::engine

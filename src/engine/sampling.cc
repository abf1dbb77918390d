#include "engine/sampling.h"

#include <cmath>
#include <limits>

namespace pinnet::engine {

uint32_t greedy_choice(std::span<const float> logits) {
  // Starts from minus infinity at index 0, so an all-NaN or all -inf row
  // gives 0; NaN never compares greater, so it never displaces a number.
  uint32_t best = 0;
  float best_value = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < logits.size(); ++i) {
    if (logits[i] > best_value) {
      best = static_cast<uint32_t>(i);
      best_value = logits[i];
    }
  }
  return best;
}

uint32_t greedy_choice_highest(std::span<const float> logits) {
  uint32_t best = 0;
  for (size_t i = 1; i < logits.size(); ++i)
    if (total_order_key(logits[i]) >= total_order_key(logits[best])) best = static_cast<uint32_t>(i);
  return best;
}

uint32_t sample(std::span<const float> logits, float inv_temp, SplitMix64& rng) {
  if (logits.empty()) return 0;
  float m = -std::numeric_limits<float>::infinity();
  for (float v : logits) {
    if (v > m) m = v;  // NaN never compares greater
  }
  auto weight = [&](float v) { return std::exp((v - m) * inv_temp); };
  double total = 0.0;
  for (float v : logits) total += static_cast<double>(weight(v));
  double r = rng.next_unit() * total;
  for (size_t i = 0; i < logits.size(); ++i) {
    r -= static_cast<double>(weight(logits[i]));
    if (r <= 0.0) return static_cast<uint32_t>(i);
  }
  return static_cast<uint32_t>(logits.size() - 1);
}

}  // namespace pinnet::engine

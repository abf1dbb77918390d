#include "runners/ranking.h"

#include <algorithm>

#include "engine/sampling.h"

namespace pinnet::runners {

std::vector<ScoredTool> rank_tools(const std::vector<float>& query,
                                   const std::vector<std::optional<std::vector<float>>>& descriptions,
                                   uint64_t top_k) {
  std::vector<ScoredTool> ranked;
  for (size_t i = 0; i < descriptions.size(); ++i) {
    const auto& d = descriptions[i];
    if (!d) continue;  // its index is not reused
    float score = -0.0f;
    for (size_t j = 0, n = std::min(query.size(), d->size()); j < n; ++j) score += query[j] * (*d)[j];
    ranked.push_back({i, score});
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const ScoredTool& a, const ScoredTool& b) {
    return engine::total_order_key(a.score) > engine::total_order_key(b.score);
  });
  ranked.resize(std::min<uint64_t>(top_k, ranked.size()));
  return ranked;
}

}  // namespace pinnet::runners

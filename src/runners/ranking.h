// What the runners share beyond the decode loop: the streaming callback of
// ids with their text, and the ranking of tool descriptions by embedding.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/function_ref.h"

namespace pinnet::runners {

// Called with each kept id and its piece: the text it added to the decoding
// (generation 2) or its vocabulary entry (generation 1).
using PieceSink = core::FunctionRef<void(uint32_t, std::string_view)>;

// A ranked tool description: its index in the caller's list and its score.
struct ScoredTool {
  uint64_t index = 0;
  float score = 0.0f;
};

// The descriptions that have an embedding, scored by the dot product with the
// query's over the shorter length (summed from -0 in index order: the cosine
// of unit vectors), highest first, equal scores in input order, under the
// IEEE total order; the first top_k.
std::vector<ScoredTool> rank_tools(const std::vector<float>& query,
                                   const std::vector<std::optional<std::vector<float>>>& descriptions,
                                   uint64_t top_k);

}  // namespace pinnet::runners

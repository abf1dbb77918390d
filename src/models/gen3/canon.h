// The canon of a generation-3 container: the fixed order of its tensors for a
// given geometry. This is the one list of (slot, label, shape, kind) that the
// layout checks and the binder both walk.
//
//   0                     embedding            [vocab_size, d_model]  cq
//   1 + B·l ...           block l (B = 24, or 27 with q/k/v convolution)
//   d = 1 + B·N ...       six lane vectors, three phi matrices, perm_a, perm_b
//   d + 11 + 4s ...       engram site s: tables, key_proj, value_proj, taps
//   o = d + 11 + 4S       final_norm
//   o + 1 ...             optional confidence-head region, then the tokenizer
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "models/gen3/geometry.h"

namespace pinnet::gen3 {

enum class SlotKind : uint8_t { kCq, kFloats };

enum class Role : uint8_t {
  kEmbedding,
  // block
  kNormIn, kQProj, kKProj, kVProj, kQTaps, kKTaps, kVTaps, kQNorm, kKNorm, kGateProj, kOutProj,
  kPostNorm, kAttnGate, kPreHada, kFfInScale, kFfGateScale, kFfGateBias, kFfMidScale,
  kFfOutScale, kFfA1, kFfB1, kFfA2, kFfB2, kFfA3, kFfB3, kFfRouter, kFfExpertScales,
  // globals
  kMhcAPre, kMhcAPost, kMhcARes, kMhcBPre, kMhcBPost, kMhcBRes, kPhiPre, kPhiPost, kPhiRes,
  kPermA, kPermB,
  // engram site
  kEngramTables, kEngramKeyProj, kEngramValueProj, kEngramTaps,
  kFinalNorm,
};

struct CanonEntry {
  uint64_t slot = 0;
  Role role = Role::kEmbedding;
  uint64_t index = 0;      // block or site index (0 for globals)
  const char* label = "";  // the label error texts print ("q_proj", "engram tables")
  SlotKind kind = SlotKind::kFloats;
  // kCq: the shape the directory entry must carry (dims[0] x dims[1]).
  uint64_t rows = 0, cols = 0;
  // Whether the shape is one of the layout's shape checks.
  bool shape_checked = false;
  // kFloats: the fewest values the forward pass reads (0 = any length; the
  // router's and the expert scales' depend on the router entry and are
  // checked by the binder).
  uint64_t min_values = 0;
};

// Slots per block: 24, plus 3 with the q/k/v convolution.
uint64_t block_slots(const V3Geometry& g);
// Slot o of final_norm, saturating at UINT64_MAX for absurd geometries.
uint64_t final_slot(const V3Geometry& g);
uint64_t block_base(const V3Geometry& g, uint64_t layer);
uint64_t globals_base(const V3Geometry& g);
uint64_t site_base(const V3Geometry& g, uint64_t site);

// Slot of a role's tensor (index: block for block roles, site for engram
// roles). Agrees with canon_entries.
uint64_t canon_slot(const V3Geometry& g, Role role, uint64_t index = 0);

// Every entry of the canon, slot order. Only call once final_slot(g) is known
// to be below the directory count: the list is as long as the canon.
std::vector<CanonEntry> canon_entries(const V3Geometry& g);

}  // namespace pinnet::gen3

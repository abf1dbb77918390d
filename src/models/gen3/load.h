// Loading a generation-3 container: geometry, the canon's layout and shape
// checks, binding of every tensor (quantised matrices stay quantised), the
// depth ladder, the embedded tokenizer and the optional confidence head.
// Every failure is a LoadError whose display text is fixed; nothing is
// returned half-built.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/result.h"
#include "formats/subword_tokenizer.h"
#include "formats/tesk.h"
#include "models/gen3/confidence_head.h"
#include "models/gen3/geometry.h"
#include "models/gen3/model.h"

namespace pinnet::gen3 {

struct LayoutError {
  enum class Kind {
    kTooFew,     // "canon needs at least {need} tensors, directory has {got}"
    kSlotShape,  // "slot {index} ({label}): want {rows}x{cols}, got {rows}x{cols}"
    kShort,      // "slot {index} ({label}): want at least {want} values, got {got}"
    kInvalid,    // "slot {index} ({label}): {detail}"
  };
  Kind kind = Kind::kTooFew;
  uint64_t index = 0;
  std::string label;
  uint64_t want_rows = 0, want_cols = 0;  // kTooFew: need; kShort: want
  uint64_t got_rows = 0, got_cols = 0;    // kTooFew, kShort: got
  std::string detail;

  std::string message() const;
};

struct LoadError {
  enum class Kind {
    kContainer,     // "container: {TeskError}"
    kGeometry,      // "geometry: {GeometryError}"
    kLayout,        // "layout: {LayoutError}"
    kEmptyTensor,   // "{label} tensor is empty"
    kMessage,       // the text itself
    kFile,          // the operating system's text
    kNoTokenizer,   // "container carries no tokenizer"
    kBadTokenizer,  // "embedded tokenizer did not decode"
  };
  Kind kind = Kind::kMessage;
  formats::TeskError container;
  GeometryError geometry;
  LayoutError layout;
  std::string text;  // kEmptyTensor: the label; kMessage, kFile: the text

  std::string message() const;
};

inline constexpr const char* kDepthOutsideLadder = "depth is outside the ladder";
inline constexpr const char* kHeadTensorsRanOut = "head tensors ran out";
inline constexpr const char* kProbeShapes = "probe head shapes disagree with num_layers + 1 cells";

struct V3Bundle {
  V3Model model;
  formats::SubwordTokenizer tokenizer;
  std::optional<ConfidenceHead> head;
};

// Binds a parsed version-3 image at full depth (depth empty or num_layers) or
// at the rung of `depth` blocks.
core::Result<V3Bundle, LoadError> bind_v3(const formats::TeskImage& image,
                                          std::optional<uint64_t> depth);
// The bundle's quantised matrices read their codes in place from the
// mapped file or from `bytes` (a view's bytes must outlive the bundle).
core::Result<V3Bundle, LoadError> load_v3_file(const std::string& path, std::optional<uint64_t> depth);
core::Result<V3Bundle, LoadError> load_v3_bytes(formats::ByteImage bytes,
                                                std::optional<uint64_t> depth);

// The bisection order of an n-block ladder, cut after `count` blocks: 0 and
// n - 1, then repeatedly the floor midpoint of the widest gap between chosen
// blocks (the leftmost among equally wide ones).
std::vector<uint64_t> ladder_order(uint64_t n, uint64_t count);
// Ascending block indices of the k-block rung of an n-block ladder; empty
// optional when k < 2 or k > n.
std::optional<std::vector<uint64_t>> rung(uint64_t n, uint64_t k);

}  // namespace pinnet::gen3

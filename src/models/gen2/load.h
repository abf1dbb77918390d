// Loading a generation-2 container: the canon of tensor positions (fixed by
// the geometry alone), shape checks of every tensor before any is decoded,
// the head region with its manifest, the optional embedded tokenizer, and the
// model's own construction checks. Every failure is one display text;
// nothing is returned half-built.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "formats/subword_tokenizer.h"
#include "formats/tesk.h"
#include "models/gen2/heads.h"
#include "models/gen2/model.h"

namespace pinnet::gen2 {

struct V2Bundle {
  V2Model model;
  std::vector<ProbeHead> heads;  // manifest order
  std::optional<formats::SubwordTokenizer> tokenizer;

  // The first head with `code`, or null.
  const ProbeHead* head(uint8_t code) const {
    for (const ProbeHead& h : heads)
      if (h.code() == code) return &h;
    return nullptr;
  }
};

// Errors: the container's own texts, the tokenizer blob's texts, or
// "model rejected: {message}" for the geometry, weight and head checks.
// The bundle's quantised matrices read their codes in place from the image
// (a view's bytes must outlive the bundle).
core::Result<V2Bundle, std::string> bind_v2(const formats::TeskImage& image);
core::Result<V2Bundle, std::string> load_v2_file(const std::string& path);
core::Result<V2Bundle, std::string> load_v2_bytes(formats::ByteImage bytes);

}  // namespace pinnet::gen2

#include "models/gen2/load.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace pinnet::gen2 {

namespace {

using core::Err;
using formats::TeskError;
using formats::TeskImage;

// Products of header words, saturating: a size that does not fit in 64 bits
// can never equal a stored dimension.
uint64_t mul(std::initializer_list<uint64_t> xs) {
  uint64_t p = 1;
  for (uint64_t x : xs) {
    if (x != 0 && p > std::numeric_limits<uint64_t>::max() / x) return std::numeric_limits<uint64_t>::max();
    p *= x;
  }
  return p;
}

// One canon entry: its directory index, label and expected shape.
struct Slot {
  size_t index;
  const char* label;
  std::vector<uint64_t> shape;
};

constexpr size_t kBlockTensors = 14;
constexpr size_t kGlobalTensors = 9;
constexpr size_t kSiteTensors = 4;

const char* const kBlockLabels[kBlockTensors] = {
    "norm_in", "q_proj",   "k_proj",    "v_proj",   "q_norm", "k_norm", "gate_proj",
    "out_proj", "post_norm", "attn_gate", "pre_hada", "d1",     "d2",     "d3"};
const char* const kGlobalLabels[kGlobalTensors] = {
    "mhc_a_pre", "mhc_a_post", "mhc_a_res",    "mhc_b_pre",  "mhc_b_post",
    "mhc_b_res", "mhc_phi_pre", "mhc_phi_post", "mhc_phi_res"};
const char* const kSiteLabels[kSiteTensors] = {"engram tables", "engram key_proj",
                                               "engram value_proj", "engram taps"};

// The canon's slots, embedding to final norm, with the header's sizes.
std::vector<Slot> canon(const formats::TeskHeaderV2& h) {
  const uint64_t D = h.d_model, L = h.num_layers, M = h.mhc_lanes, hd = h.head_dim;
  const uint64_t q = mul({h.num_heads, hd}), kv = mul({h.num_kv_heads, hd});
  const uint64_t fetched = mul({h.num_tables, h.sub_dim});
  std::vector<Slot> slots;
  slots.reserve(1 + kBlockTensors * L + kGlobalTensors + kSiteTensors * h.engram_sites.size() + 1);
  size_t i = 0;
  slots.push_back({i++, "embedding", {h.vocab, D}});
  for (uint64_t l = 0; l < L; ++l) {
    const std::vector<uint64_t> shapes[kBlockTensors] = {
        {D}, {q, D}, {kv, D}, {kv, D}, {hd}, {hd}, {q, D}, {D, q}, {D}, {1}, {D},
        {h.hada_n}, {h.hada_n}, {h.hada_n}};
    for (size_t k = 0; k < kBlockTensors; ++k) slots.push_back({i++, kBlockLabels[k], shapes[k]});
  }
  const std::vector<uint64_t> globals[kGlobalTensors] = {
      {L}, {L}, {L}, {L, M}, {L, M}, {L, M, M},
      {mul({L, M}), mul({M, D})}, {mul({L, M}), mul({M, D})}, {mul({L, M, M}), mul({M, D})}};
  for (size_t k = 0; k < kGlobalTensors; ++k) slots.push_back({i++, kGlobalLabels[k], globals[k]});
  for (size_t s = 0; s < h.engram_sites.size(); ++s) {
    const std::vector<uint64_t> shapes[kSiteTensors] = {
        {mul({h.table_rows, h.num_tables}), h.sub_dim}, {D, fetched}, {D, fetched}, {h.conv_taps, D}};
    for (size_t k = 0; k < kSiteTensors; ++k) slots.push_back({i++, kSiteLabels[k], shapes[k]});
  }
  slots.push_back({i++, "final_norm", {D}});
  return slots;
}

std::string text(const TeskError& e) { return e.to_string(); }
std::string rejected(const std::string& message) { return "model rejected: " + message; }

// Decodes one tensor into `out` (floats or a codebook matrix); false with
// *error set on failure.
bool take(const TeskImage& img, size_t index, std::vector<float>* out, std::string* error) {
  auto r = img.tensor_floats(index);
  if (!r.ok()) return *error = text(r.error()), false;
  *out = std::move(r).value();
  return true;
}
bool take(const TeskImage& img, size_t index, std::optional<core::CqTensor>* out,
          std::string* error) {
  auto r = img.tensor_cq(index);
  if (!r.ok()) return *error = text(r.error()), false;
  out->emplace(std::move(r).value());
  return true;
}

}  // namespace

core::Result<V2Bundle, std::string> bind_v2(const TeskImage& image) {
  const formats::TeskHeaderV2& h = image.header_v2();
  const uint64_t L = h.num_layers, E = h.engram_sites.size();
  // L is a 32-bit header word, so the count cannot wrap.
  const uint64_t C = 11 + kBlockTensors * L + kSiteTensors * E;
  const uint64_t N = image.tensor_count();
  if (N < C) return Err{text(TeskError{TeskError::TensorCountTooSmall{C, N}})};
  const bool has_tokenizer = N > C && image.entry(N - 1).dtype == formats::DTYPE_BYTES;
  const uint64_t R = N - C - (has_tokenizer ? 1 : 0);
  if ((R >= 1 && R <= 3) || (R > 0 && (R - 1) % 3 != 0))
    return Err{text(TeskError{TeskError::BadHeadManifest{R}})};
  const uint64_t heads = R == 0 ? 0 : (R - 1) / 3;
  const size_t F = C - 1;

  std::vector<uint8_t> codes;
  if (heads > 0) {
    auto manifest = image.tensor_floats(F + 1);
    if (!manifest.ok()) return Err{text(manifest.error())};
    if (manifest.value().size() != heads) return Err{text(TeskError{TeskError::BadHeadManifest{R}})};
    for (float v : manifest.value()) {
      // Clamped to 0..255, then truncated toward zero (NaN counts as 0).
      const float c = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 255.0f);
      const uint8_t code = static_cast<uint8_t>(c);
      if (code != kContrastiveHead && code != kConfidenceHead)
        return Err{text(TeskError{TeskError::UnknownHeadCode{code}})};
      codes.push_back(code);
    }
  }

  // Every shape before any tensor is decoded.
  const std::vector<Slot> slots = canon(h);
  for (const Slot& s : slots) {
    auto ok = image.check_shape(s.index, s.shape, s.label);
    if (!ok.ok()) return Err{text(ok.error())};
  }
  for (uint64_t i = 0; i < heads; ++i) {
    const size_t at = F + 2 + 3 * i;
    const formats::TensorEntry& probes = image.entry(at);
    const uint64_t p = probes.ndim > 0 ? probes.dims[0] : 0;
    if (probes.ndim > 0 && p == 0) {
      return Err{text(TeskError{TeskError::ShapeMismatch{
          at, "head probes", {1, h.d_model, 0, 0}, {probes.dims[0], probes.ndim > 1 ? probes.dims[1] : 0, 0, 0}}})};
    }
    const uint64_t want_probes[] = {p, h.d_model};
    if (auto ok = image.check_shape(at, want_probes, "head probes"); !ok.ok()) return Err{text(ok.error())};
    const formats::TensorEntry& proj = image.entry(at + 1);
    const uint64_t o = proj.ndim > 0 ? proj.dims[0] : 0;
    const uint64_t want_proj[] = {o, mul({p, h.d_model})};
    if (auto ok = image.check_shape(at + 1, want_proj, "head proj"); !ok.ok()) return Err{text(ok.error())};
    const uint64_t want_bias[] = {o};
    if (auto ok = image.check_shape(at + 2, want_bias, "head bias"); !ok.ok()) return Err{text(ok.error())};
  }

  // Decode, in canon order.
  std::string error;
  V2Weights w;
  if (!take(image, 0, &w.embedding, &error)) return Err{error};
  size_t i = 1;
  for (uint64_t l = 0; l < L; ++l) {
    std::vector<float> f[8];  // norm_in, q_norm, k_norm, post_norm, attn_gate, pre_hada, (spare)
    std::optional<core::CqTensor> q, k, v, gate, out;
    std::vector<float> d1, d2, d3;
    const bool ok = take(image, i + 0, &f[0], &error) && take(image, i + 1, &q, &error) &&
                    take(image, i + 2, &k, &error) && take(image, i + 3, &v, &error) &&
                    take(image, i + 4, &f[1], &error) && take(image, i + 5, &f[2], &error) &&
                    take(image, i + 6, &gate, &error) && take(image, i + 7, &out, &error) &&
                    take(image, i + 8, &f[3], &error) && take(image, i + 9, &f[4], &error) &&
                    take(image, i + 10, &f[5], &error) && take(image, i + 11, &d1, &error) &&
                    take(image, i + 12, &d2, &error) && take(image, i + 13, &d3, &error);
    if (!ok) return Err{error};
    w.blocks.push_back(V2Block{std::move(f[0]), std::move(*q), std::move(*k), std::move(*v),
                               std::move(f[1]), std::move(f[2]), std::move(*gate), std::move(*out),
                               std::move(f[3]), std::move(f[4]), std::move(f[5]), std::move(d1),
                               std::move(d2), std::move(d3)});
    i += kBlockTensors;
  }
  {
    std::vector<float> a_pre, a_post, a_res, b_pre, b_post, b_res;
    std::optional<core::CqTensor> phi_pre, phi_post, phi_res;
    const bool ok = take(image, i, &a_pre, &error) && take(image, i + 1, &a_post, &error) &&
                    take(image, i + 2, &a_res, &error) && take(image, i + 3, &b_pre, &error) &&
                    take(image, i + 4, &b_post, &error) && take(image, i + 5, &b_res, &error) &&
                    take(image, i + 6, &phi_pre, &error) && take(image, i + 7, &phi_post, &error) &&
                    take(image, i + 8, &phi_res, &error);
    if (!ok) return Err{error};
    w.lanes.emplace(V2Lanes{std::move(a_pre), std::move(a_post), std::move(a_res), std::move(b_pre),
                            std::move(b_post), std::move(b_res), std::move(*phi_pre),
                            std::move(*phi_post), std::move(*phi_res)});
    i += kGlobalTensors;
  }
  for (uint64_t s = 0; s < E; ++s) {
    std::optional<core::CqTensor> tables, key, value;
    std::vector<float> taps;
    const bool ok = take(image, i, &tables, &error) && take(image, i + 1, &key, &error) &&
                    take(image, i + 2, &value, &error) && take(image, i + 3, &taps, &error);
    if (!ok) return Err{error};
    w.engrams.push_back(V2Engram{std::move(*tables), std::move(*key), std::move(*value), std::move(taps)});
    i += kSiteTensors;
  }
  if (!take(image, i, &w.final_norm, &error)) return Err{error};
  struct HeadTensors {
    std::vector<float> probes, proj, bias;
  };
  std::vector<HeadTensors> head_tensors(heads);
  for (uint64_t k = 0; k < heads; ++k) {
    const size_t at = F + 2 + 3 * k;
    HeadTensors& t = head_tensors[k];
    if (!take(image, at, &t.probes, &error) || !take(image, at + 1, &t.proj, &error) ||
        !take(image, at + 2, &t.bias, &error))
      return Err{error};
  }

  std::optional<formats::SubwordTokenizer> tokenizer;
  if (has_tokenizer) {
    auto blob = image.tensor_bytes(N - 1);
    if (!blob.ok()) return Err{text(blob.error())};
    auto parsed = formats::SubwordTokenizer::parse(blob.value());
    if (!parsed.ok()) return Err{parsed.error().message()};
    tokenizer.emplace(std::move(parsed).value());
  }

  V2Geometry g;
  g.orders = h.orders;
  g.engram_sites = h.engram_sites;
  g.table_rows = h.table_rows;
  g.sub_dim = h.sub_dim;
  g.num_tables = h.num_tables;
  g.conv_taps = h.conv_taps;
  g.tap_spacing = h.tap_spacing;
  g.vocab_size = h.vocab;
  g.d_model = h.d_model;
  g.num_heads = h.num_heads;
  g.num_kv_heads = h.num_kv_heads;
  g.num_layers = h.num_layers;
  g.head_dim = h.head_dim;
  g.max_seq_len = h.max_seq_len;
  g.hada_n = h.hada_n;
  g.mhc_lanes = h.mhc_lanes;
  g.kv_window = h.kv_window;
  g.rope_theta = h.rope_theta;
  auto model = V2Model::create(std::move(g), std::move(w));
  if (!model.ok()) return Err{rejected(model.error())};

  std::vector<ProbeHead> probe_heads;
  for (uint64_t k = 0; k < heads; ++k) {
    const size_t at = F + 2 + 3 * k;
    HeadTensors& t = head_tensors[k];
    auto head = ProbeHead::create(codes[k], h.d_model, image.entry(at).dims[0],
                                  image.entry(at + 1).dims[0], std::move(t.probes),
                                  std::move(t.proj), std::move(t.bias));
    if (!head.ok()) return Err{rejected(head.error())};
    probe_heads.push_back(std::move(head).value());
  }
  return V2Bundle{std::move(model).value(), std::move(probe_heads), std::move(tokenizer)};
}

core::Result<V2Bundle, std::string> load_v2_file(const std::string& path) {
  auto image = TeskImage::load(formats::TeskVersion::V2, path);
  if (!image.ok()) return Err{image.error().to_string()};
  return bind_v2(image.value());
}

core::Result<V2Bundle, std::string> load_v2_bytes(formats::ByteImage bytes) {
  auto image = TeskImage::parse_v2(std::move(bytes));
  if (!image.ok()) return Err{text(image.error())};
  return bind_v2(image.value());
}

}  // namespace pinnet::gen2

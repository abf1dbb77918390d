#include "models/gen1/model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/interrupt.h"
#include "core/kernels.h"
#include "core/kv_view.h"
#include "models/common/parallel.h"
#include "core/vec.h"

namespace pinnet::gen1 {

namespace {

using core::Err;

// a·b, or UINT64_MAX when it does not fit.
uint64_t mul(uint64_t a, uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// A float vector by name; `fallback` when absent.
std::vector<float> floats(const formats::SafetensorsFile& f, const std::string& name,
                          std::vector<float> fallback) {
  auto v = f.tensor_f32(name);
  return v ? std::move(*v) : std::move(fallback);
}

// The first float of a gate tensor, 0 when absent or empty (weight 0.5).
float gate(const formats::SafetensorsFile& f, const std::string& name) {
  auto v = f.tensor_f32(name);
  return v && !v->empty() ? (*v)[0] : 0.0f;
}

// Y = X·W for n rows: runs of rows on the pool (each run streams the whole
// layer, which the processors' shared cache holds), one call for few rows.
void matmul_rows(const core::Int4Linear& w, std::span<const float> x, size_t n, std::span<float> y) {
  constexpr size_t kRun = 16;
  if (n < 2 * kRun) return core::int4_matmul_rows(w, x, n, y);
  const size_t in = w.in_features, out = w.out_features;
  models::for_items((n + kRun - 1) / kRun, [&](size_t r) {
    const size_t i0 = r * kRun, rows = std::min(kRun, n - i0);
    core::int4_matmul_rows(w, x.subspan(i0 * in, rows * in), rows, y.subspan(i0 * out, rows * out));
  });
}

// Int4 bytes of every linear layer the configuration implies.
uint64_t linear_bytes(const Gen1Config& c) {
  const uint64_t d = c.d_model, q = c.q_width(), kv = c.kv_width();
  const uint64_t attn = mul(d, q) / 2 * 2 + mul(d, kv);  // wq and wo, wk and wv (halves)
  const uint64_t ffn = c.no_feedforward ? 0 : mul(mul(d, c.ffn_dim), 3) / 2;
  const uint64_t enc = mul(c.num_encoder_layers, attn + ffn);
  const uint64_t dec = mul(c.num_decoder_layers, 2 * attn + ffn);
  return enc > UINT64_MAX - dec ? UINT64_MAX : enc + dec;
}

}  // namespace

core::Result<core::Int4Linear, std::string> load_int4_linear(const formats::SafetensorsFile& file,
                                                             const std::string& name,
                                                             uint64_t in_features,
                                                             uint64_t out_features) {
  const auto packed = file.tensor_bytes(name);
  const auto scales = file.tensor_f32(name + ".scale");
  if (packed && scales) {
    if (out_features != 0 && scales->size() % out_features == 0) {
      // A packed layer must cover every input row the product reads.
      auto layer = core::int4_from_packed(std::vector<uint8_t>(packed->begin(), packed->end()),
                                          *scales, in_features, out_features);
      if (!layer) return Err{"layer " + name + ": " + layer.error()};
      return std::move(layer).value();
    }
    std::fprintf(stderr,
                 "Warning: %s.scale length %zu is not divisible by out_feat %llu; falling back to "
                 "re-quantize\n",
                 name.c_str(), scales->size(), static_cast<unsigned long long>(out_features));
  }
  const uint64_t count = mul(in_features, out_features);
  std::optional<std::vector<float>> weights = file.tensor_f32(name);
  if (!weights) {
    if (!(packed && scales))
      std::fprintf(stderr, "Warning: missing tensor %s, using zeros\n", name.c_str());
    weights.emplace(count, 0.0f);
  }
  auto layer = core::quantize_int4(*weights, in_features, out_features);
  if (!layer) return Err{"layer " + name + ": " + layer.error()};
  return std::move(layer).value();
}

core::Result<Gen1Model, std::string> Gen1Model::load(const formats::SafetensorsFile& file) {
  auto config = parse_gen1_config([&](std::string_view key) { return file.metadata(key); });
  if (!config) return Err{config.error()};
  Gen1Model m;
  m.c_ = config.value();
  const Gen1Config& c = m.c_;
  auto embedding = file.tensor_f32("embedding");
  if (!embedding) return Err{std::string("missing embedding tensor")};
  const uint64_t want = mul(c.vocab_size, c.d_model);
  if (embedding->size() != want)
    return Err{"embedding size mismatch: got " + std::to_string(embedding->size()) + ", expected " +
               std::to_string(want)};
  // Checks of ours, after the written ones: ids 1 and 5 are always fed to
  // the model, and missing layers become zeros, so a configuration may not
  // imply more 4-bit weights than the file could have carried as floats.
  if (c.vocab_size < 6)
    return Err{std::string("vocab_size must be at least 6 (ids 1 and 5 are always used)")};
  if (linear_bytes(c) > file.data_size() + (64u << 20))
    return Err{"configuration implies " + std::to_string(linear_bytes(c)) +
               " bytes of 4-bit layers, more than the weight file could hold"};
  m.embedding_ = std::move(*embedding);

  const uint64_t d = c.d_model, hd = c.head_dim(), q = c.q_width(), kv = c.kv_width();
  std::string error;
  auto linear = [&](const std::string& name, uint64_t in, uint64_t out) {
    auto l = load_int4_linear(file, name, in, out);
    if (!l) {
      if (error.empty()) error = l.error();
      return core::Int4Linear{};
    }
    return std::move(l).value();
  };
  auto attention = [&](const std::string& p) {
    return Attention{linear(p + ".wq", d, q), linear(p + ".wk", d, kv), linear(p + ".wv", d, kv),
                     linear(p + ".wo", q, d), floats(file, p + ".q_norm", std::vector<float>(hd)),
                     floats(file, p + ".k_norm", std::vector<float>(hd))};
  };
  auto feed_forward = [&](const std::string& p) -> std::optional<FeedForward> {
    if (c.no_feedforward) return std::nullopt;
    return FeedForward{linear(p + ".ffn.gate_proj", d, c.ffn_dim),
                       linear(p + ".ffn.up_proj", d, c.ffn_dim),
                       linear(p + ".ffn.down_proj", c.ffn_dim, d),
                       floats(file, p + ".ffn_norm", std::vector<float>(d)), gate(file, p + ".ffn_gate")};
  };
  for (uint64_t i = 0; i < c.num_encoder_layers; ++i) {
    const std::string p = "encoder." + std::to_string(i);
    m.encoder_.push_back(EncoderBlock{floats(file, p + ".norm", std::vector<float>(d)),
                                      attention(p + ".self_attn"), gate(file, p + ".self_attn_gate"),
                                      feed_forward(p)});
  }
  for (uint64_t i = 0; i < c.num_decoder_layers; ++i) {
    const std::string p = "decoder." + std::to_string(i);
    m.decoder_.push_back(DecoderBlock{
        floats(file, p + ".self_attn_norm", std::vector<float>(d)), attention(p + ".self_attn"),
        gate(file, p + ".self_attn_gate"), floats(file, p + ".cross_attn_norm", std::vector<float>(d)),
        attention(p + ".cross_attn"), gate(file, p + ".cross_attn_gate"), feed_forward(p)});
  }
  if (!error.empty()) return Err{error};
  // Norms of another width scale only the elements they reach (the kernel
  // stops at the shorter length).
  m.encoder_final_norm_ = floats(file, "encoder_final_norm", std::vector<float>(d));
  m.decoder_final_norm_ = floats(file, "decoder_final_norm", std::vector<float>(d));

  auto hk = file.tensor_f32("contrastive_hidden_kernel");
  auto hb = file.tensor_f32("contrastive_hidden_bias");
  auto pk = file.tensor_f32("contrastive_proj_kernel");
  if (hk && hb && pk) {
    const uint64_t h = hb->size();
    if (h > 0 && hk->size() == mul(h, d) && pk->size() % h == 0) {
      m.head_ = ContrastiveHead{h, pk->size() / h, std::move(*hk), std::move(*hb), std::move(*pk)};
    } else {
      std::fprintf(stderr, "[pinnet] contrastive head shape mismatch \xE2\x80\x94 skipping\n");
    }
  }
  m.rope_freq_ = core::rope_frequencies(hd, c.rope_theta);
  m.embedding_scale_ = std::sqrt(static_cast<float>(d));
  return m;
}

// ----------------------------------------------------------------------------
// Forward

namespace {

// Rows of a key/value store of `rows` positions, each kv_width wide.
models::KvView view_of(const float* keys, const float* values, uint64_t rows, const Gen1Config& c) {
  models::KvView v;
  v.keys = keys;
  v.values = values;
  v.slots = rows;
  v.kv_heads = c.num_kv_heads;
  v.head_dim = c.head_dim();
  v.v_head_dim = c.head_dim();
  return v;
}

void head_norms(float* x, size_t heads, size_t hd, const std::vector<float>& w) {
  for (size_t h = 0; h < heads; ++h) core::rms_norm_offset(std::span<float>(x + h * hd, hd), w);
}

// One query row against every row of a store (no mask): the output of every
// query head. `scores` holds num_heads x rows floats.
void attend_all(const models::KvView& kv, const float* q, const Gen1Config& c, float* scores,
                float* out) {
  const size_t hd = c.head_dim(), group = c.group_size();
  if (kv.slots == 0) {
    std::fill(out, out + c.q_width(), 0.0f);
    return;
  }
  for (size_t g = 0; g < c.num_kv_heads; ++g)
    models::vec_attend_group(kv, q + g * group * hd, g, group, 0, kv.slots - 1,
                             scores + g * group * kv.slots, out + g * group * hd);
}

}  // namespace

void Gen1Model::ffn(const FeedForward& f, const float* in, size_t rows, float* out,
                    std::vector<float>& g, std::vector<float>& u) const {
  const size_t d = c_.d_model, h = c_.ffn_dim;
  g.resize(rows * h);  // no allocation once sized
  u.resize(rows * h);
  matmul_rows(f.gate_proj, std::span<const float>(in, rows * d), rows, g);
  matmul_rows(f.up_proj, std::span<const float>(in, rows * d), rows, u);
  for (size_t i = 0; i < g.size(); ++i) {
    const float a = g[i];
    switch (c_.activation) {
      case Activation::kSwiglu: g[i] = core::silu(a) * u[i]; break;
      case Activation::kGeglu: g[i] = core::gelu_tanh(a) * u[i]; break;
      case Activation::kRelu: g[i] = core::relu(a) * core::relu(u[i]); break;
    }
  }
  matmul_rows(f.down_proj, g, rows, std::span<float>(out, rows * d));
}

void Gen1Model::encoder_pass(std::span<const uint32_t> tokens, std::vector<float>& x) const {
  const size_t n = tokens.size(), d = c_.d_model, hd = c_.head_dim();
  const size_t q_w = c_.q_width(), kv_w = c_.kv_width(), half = hd / 2;
  x.assign(n * d, 0.0f);
  std::vector<float> cos(n * half), sin(n * half);
  for (size_t t = 0; t < n; ++t) {
    if (tokens[t] >= c_.vocab_size) throw std::out_of_range("token id outside vocabulary");
    const float* row = embedding_.data() + tokens[t] * d;
    for (size_t j = 0; j < d; ++j) x[t * d + j] = row[j] * embedding_scale_;
    core::rope_angles(rope_freq_, t, cos.data() + t * half, sin.data() + t * half);
  }
  std::vector<float> a(n * d), q(n * q_w), k(n * kv_w), v(n * kv_w), o(n * q_w), y(n * d);
  constexpr size_t kRun = 8;
  const size_t runs = (n + kRun - 1) / kRun;
  std::vector<float> scores(runs * c_.num_heads * n), ffn_g, ffn_u;
  for (const EncoderBlock& b : encoder_) {
    core::poll_interrupt();  // between blocks the pass may be dropped whole
    models::for_positions(n, [&](size_t t) {
      std::memcpy(a.data() + t * d, x.data() + t * d, d * sizeof(float));
      core::rms_norm_offset(std::span<float>(a.data() + t * d, d), b.norm);
    });
    matmul_rows(b.self_attn.wq, a, n, q);
    matmul_rows(b.self_attn.wk, a, n, k);
    matmul_rows(b.self_attn.wv, a, n, v);
    models::for_positions(n, [&](size_t t) {
      head_norms(q.data() + t * q_w, c_.num_heads, hd, b.self_attn.q_norm);
      head_norms(k.data() + t * kv_w, c_.num_kv_heads, hd, b.self_attn.k_norm);
      core::rope_apply(q.data() + t * q_w, c_.num_heads, hd, cos.data() + t * half, sin.data() + t * half);
      core::rope_apply(k.data() + t * kv_w, c_.num_kv_heads, hd, cos.data() + t * half,
                       sin.data() + t * half);
    });
    const models::KvView kv = view_of(k.data(), v.data(), n, c_);
    models::for_items(runs, [&](size_t r) {
      for (size_t t = r * kRun, end = std::min(n, t + kRun); t < end; ++t)
        attend_all(kv, q.data() + t * q_w, c_, scores.data() + r * c_.num_heads * n, o.data() + t * q_w);
    });
    matmul_rows(b.self_attn.wo, o, n, y);
    const float g = core::sigmoid(b.self_gate);
    for (size_t i = 0; i < n * d; ++i) x[i] += g * y[i];
    if (b.ffn) {
      models::for_positions(n, [&](size_t t) {
        std::memcpy(a.data() + t * d, x.data() + t * d, d * sizeof(float));
        core::rms_norm_offset(std::span<float>(a.data() + t * d, d), b.ffn->norm);
      });
      ffn(*b.ffn, a.data(), n, y.data(), ffn_g, ffn_u);
      const float fg = core::sigmoid(b.ffn->gate);
      for (size_t i = 0; i < n * d; ++i) x[i] += fg * y[i];
    }
  }
  for (size_t t = 0; t < n; ++t)
    core::rms_norm_offset(std::span<float>(x.data() + t * d, d), encoder_final_norm_);
}

DecoderState Gen1Model::new_state() const {
  DecoderState s;
  s.self.resize(decoder_.size());
  s.cross.resize(decoder_.size());
  for (KvRows& r : s.self) r.capacity = c_.max_dec_len;
  const size_t d = c_.d_model;
  s.x.resize(d);
  s.a.resize(d);
  s.q.resize(c_.q_width());
  s.k.resize(c_.kv_width());
  s.v.resize(c_.kv_width());
  s.o.resize(c_.q_width());
  s.y.resize(d);
  s.rope_cos.resize(c_.head_dim() / 2);
  s.rope_sin.resize(c_.head_dim() / 2);
  if (!c_.no_feedforward) {
    s.g.resize(c_.ffn_dim);
    s.u.resize(c_.ffn_dim);
  }
  return s;
}

void Gen1Model::encode(std::span<const uint32_t> tokens, DecoderState& s, std::vector<float>* out) const {
  std::vector<float> x;
  encoder_pass(tokens, x);
  const size_t n = tokens.size(), kv_w = c_.kv_width(), hd = c_.head_dim();
  for (size_t b = 0; b < decoder_.size(); ++b) {
    const Attention& cross = decoder_[b].cross_attn;
    KvRows& rows = s.cross[b];
    rows.capacity = rows.count = n;
    rows.keys.assign(n * kv_w, 0.0f);
    rows.values.assign(n * kv_w, 0.0f);
    matmul_rows(cross.wk, x, n, rows.keys);
    matmul_rows(cross.wv, x, n, rows.values);
    for (size_t t = 0; t < n; ++t) head_norms(rows.keys.data() + t * kv_w, c_.num_kv_heads, hd, cross.k_norm);
    KvRows& self = s.self[b];
    self.count = 0;
    // Room for the steps a generation can take (the cache grows past this
    // only if the declared limit is larger).
    const uint64_t rows_now = std::min<uint64_t>(self.capacity, 1024);
    self.keys.resize(std::max<size_t>(self.keys.size(), rows_now * kv_w));
    self.values.resize(std::max<size_t>(self.values.size(), rows_now * kv_w));
  }
  const uint64_t widest = std::max<uint64_t>(n, std::min<uint64_t>(c_.max_dec_len, 1024));
  s.scores.resize(std::max<size_t>(s.scores.size(), c_.num_heads * std::max<uint64_t>(widest, 1)));
  if (out != nullptr) *out = std::move(x);
}

void Gen1Model::decode_step(uint32_t token, DecoderState& s, std::span<float> logits) const {
  const size_t d = c_.d_model, hd = c_.head_dim(), kv_w = c_.kv_width();
  if (token >= c_.vocab_size) throw std::out_of_range("token id outside vocabulary");
  if (logits.size() != c_.vocab_size) throw std::invalid_argument("logits must hold vocab_size floats");
  const float* row = embedding_.data() + static_cast<size_t>(token) * d;
  for (size_t j = 0; j < d; ++j) s.x[j] = row[j] * embedding_scale_;
  float* cos = s.rope_cos.data();
  float* sin = s.rope_sin.data();
  for (size_t b = 0; b < decoder_.size(); ++b) {
    const DecoderBlock& blk = decoder_[b];
    KvRows& self = s.self[b];
    // Self-attention at position count (frozen at the capacity when full).
    std::memcpy(s.a.data(), s.x.data(), d * sizeof(float));
    core::rms_norm_offset(s.a, blk.self_norm);
    core::int4_matvec(blk.self_attn.wq, s.a, s.q);
    core::int4_matvec(blk.self_attn.wk, s.a, s.k);
    core::int4_matvec(blk.self_attn.wv, s.a, s.v);
    head_norms(s.q.data(), c_.num_heads, hd, blk.self_attn.q_norm);
    head_norms(s.k.data(), c_.num_kv_heads, hd, blk.self_attn.k_norm);
    core::rope_angles(rope_freq_, self.count, cos, sin);
    core::rope_apply(s.q.data(), c_.num_heads, hd, cos, sin);
    core::rope_apply(s.k.data(), c_.num_kv_heads, hd, cos, sin);
    if (self.count < self.capacity) {
      if (self.keys.size() < (self.count + 1) * kv_w) {  // past the rows made room for: double
        self.keys.resize(std::max(self.keys.size() * 2, (self.count + 1) * kv_w));
        self.values.resize(self.keys.size());
        // Scores for every row the cache now holds, not just the next one:
        // the rows after it are written without coming back here.
        s.scores.resize(std::max<size_t>(s.scores.size(), c_.num_heads * (self.keys.size() / kv_w)));
      }
      std::memcpy(self.keys.data() + self.count * kv_w, s.k.data(), kv_w * sizeof(float));
      std::memcpy(self.values.data() + self.count * kv_w, s.v.data(), kv_w * sizeof(float));
      ++self.count;
    } else {
      std::fprintf(stderr, "[pinnet-core] KV cache full at %llu steps \xE2\x80\x94 output will degrade\n",
                   static_cast<unsigned long long>(self.capacity));
    }
    attend_all(view_of(self.keys.data(), self.values.data(), self.count, c_), s.q.data(), c_,
               s.scores.data(), s.o.data());
    core::int4_matvec(blk.self_attn.wo, s.o, s.y);
    const float sg = core::sigmoid(blk.self_gate);
    for (size_t j = 0; j < d; ++j) s.x[j] += sg * s.y[j];
    // Cross-attention over the encoder rows: no rotation.
    const KvRows& cross = s.cross[b];
    std::memcpy(s.a.data(), s.x.data(), d * sizeof(float));
    core::rms_norm_offset(s.a, blk.cross_norm);
    core::int4_matvec(blk.cross_attn.wq, s.a, s.q);
    head_norms(s.q.data(), c_.num_heads, hd, blk.cross_attn.q_norm);
    attend_all(view_of(cross.keys.data(), cross.values.data(), cross.count, c_), s.q.data(), c_,
               s.scores.data(), s.o.data());
    core::int4_matvec(blk.cross_attn.wo, s.o, s.y);
    const float cg = core::sigmoid(blk.cross_gate);
    for (size_t j = 0; j < d; ++j) s.x[j] += cg * s.y[j];
    if (blk.ffn) {
      std::memcpy(s.a.data(), s.x.data(), d * sizeof(float));
      core::rms_norm_offset(s.a, blk.ffn->norm);
      ffn(*blk.ffn, s.a.data(), 1, s.y.data(), s.g, s.u);
      const float fg = core::sigmoid(blk.ffn->gate);
      for (size_t j = 0; j < d; ++j) s.x[j] += fg * s.y[j];
    }
  }
  std::memcpy(s.a.data(), s.x.data(), d * sizeof(float));
  core::rms_norm_offset(s.a, decoder_final_norm_);
  // The tied output head: one float dot product per vocabulary row, in runs
  // of rows on the pool.
  constexpr size_t kRows = 512;
  const size_t vocab = c_.vocab_size;
  models::for_items((vocab + kRows - 1) / kRows, [&](size_t r) {
    for (size_t v = r * kRows, end = std::min(vocab, v + kRows); v < end; ++v)
      logits[v] = models::dot(embedding_.data() + v * d, s.a.data(), d);
  });
}

std::optional<std::vector<float>> Gen1Model::encode_contrastive(std::span<const uint32_t> tokens) const {
  if (!head_) return std::nullopt;
  const ContrastiveHead& h = *head_;
  std::vector<float> out(h.out, 0.0f);
  const size_t n = std::min<uint64_t>(tokens.size(), c_.max_enc_len);  // as the encoder input is cut
  if (n == 0) return out;
  std::vector<float> x;
  encoder_pass(tokens.first(n), x);
  const size_t d = c_.d_model;
  std::vector<float> mean(d, 0.0f);
  for (size_t t = 0; t < n; ++t)
    for (size_t j = 0; j < d; ++j) mean[j] += x[t * d + j];
  const float inv = 1.0f / static_cast<float>(n);
  for (float& m : mean) m *= inv;
  std::vector<float> hidden(h.hidden);
  for (size_t j = 0; j < h.hidden; ++j) {
    float acc = h.hidden_bias[j];
    for (size_t i = 0; i < d; ++i) acc += mean[i] * h.hidden_kernel[i * h.hidden + j];
    hidden[j] = std::max(acc, 0.0f);
  }
  for (size_t k = 0; k < h.out; ++k) {
    float acc = 0.0f;
    for (size_t j = 0; j < h.hidden; ++j) acc += hidden[j] * h.proj_kernel[j * h.out + k];
    out[k] = acc;
  }
  core::l2_normalize(out);
  return out;
}

}  // namespace pinnet::gen1

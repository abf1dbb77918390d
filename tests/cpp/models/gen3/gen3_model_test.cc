// Unit tests of the generation-3 model's rules: the depth ladder, geometry
// checks and derived sizes, the canon, the key/value cache's growth and
// window, and step/prefill agreement on a small random model assembled here
// (the comparison with the NumPy reference is
// tests/python/test_gen3_model.py).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <cstring>
#include <random>
#include <thread>

#include "core/hadamard.h"
#include "core/half.h"
#include "core/kernels.h"
#include "core/cpu.h"
#include "formats/tesk.h"
#include "models/gen3/canon.h"
#include "models/common/sinkhorn.h"
#include "models/gen3/load.h"

// Counts heap allocations while a test asks for it. GCC cannot see that the
// replaced global new and delete below pair malloc with free, and warns when
// it inlines them into standard containers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_allocations{0};
}  // namespace

void* operator new(size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace pinnet::gen3 {
namespace {

// ---------------------------------------------------------------- ladder

TEST(Rung, BisectionOrders) {
  EXPECT_EQ(ladder_order(12, 12), (std::vector<uint64_t>{0, 11, 5, 8, 2, 3, 6, 9, 1, 4, 7, 10}));
  EXPECT_EQ(ladder_order(2, 2), (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(ladder_order(3, 3), (std::vector<uint64_t>{0, 2, 1}));
  EXPECT_EQ(rung(12, 2), (std::vector<uint64_t>{0, 11}));
  EXPECT_EQ(rung(12, 4), (std::vector<uint64_t>{0, 5, 8, 11}));
  EXPECT_EQ(rung(12, 6), (std::vector<uint64_t>{0, 2, 3, 5, 8, 11}));
  EXPECT_EQ(rung(2, 2), (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(rung(3, 2), (std::vector<uint64_t>{0, 2}));
  EXPECT_EQ(rung(3, 3), (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_FALSE(rung(12, 1));
  EXPECT_FALSE(rung(12, 13));
  EXPECT_FALSE(rung(1, 1));
}

// The plain rule: sort, take the leftmost widest gap, append its midpoint.
std::vector<uint64_t> plain_order(uint64_t n) {
  std::vector<uint64_t> order = {0, n - 1};
  while (order.size() < n) {
    std::vector<uint64_t> s = order;
    std::sort(s.begin(), s.end());
    uint64_t best_lo = 0, best_w = 0;
    for (size_t i = 0; i + 1 < s.size(); ++i)
      if (s[i + 1] - s[i] >= 2 && s[i + 1] - s[i] > best_w) best_w = s[i + 1] - s[i], best_lo = s[i];
    if (best_w == 0) break;
    order.push_back((2 * best_lo + best_w) / 2);
  }
  return order;
}

TEST(Rung, PriorityQueueAgreesWithThePlainRule) {
  for (uint64_t n = 2; n < 80; ++n) EXPECT_EQ(ladder_order(n, n), plain_order(n)) << n;
}

// -------------------------------------------------------------- geometry

formats::TeskHeaderV3 tiny_header() {
  formats::TeskHeaderV3 h;
  h.vocab_size = 40;
  h.d_model = 16;
  h.num_heads = 2;
  h.num_kv_heads = 1;
  h.num_layers = 3;
  h.head_dim = 8;
  h.v_head_dim = 8;
  h.max_seq_len = 32;
  h.hada_n = 16;
  h.mhc_lanes = 2;
  h.kv_window = 4;
  h.global_layer_mask = 0b10;
  h.qkv_conv_taps = 2;
  h.table_rows = 7;
  h.sub_dim = 8;
  h.num_tables = 2;
  h.conv_taps = 3;
  h.tap_spacing = 2;
  h.hash_stride = 0;
  h.orders = {1, 2};
  h.engram_sites = {0, 2};
  h.rope_theta = 10000.0f;
  return h;
}

TEST(Geometry, ErrorsInOrder) {
  auto text = [](formats::TeskHeaderV3 h) { return geometry_from_header(h).error().message(); };
  auto h = tiny_header();
  h.orders.clear();
  h.num_tables = 3;  // also wrong, but the orders come first
  EXPECT_EQ(text(h), "container declares no engram orders");
  h = tiny_header();
  h.num_tables = 3;
  EXPECT_EQ(text(h), "engram tables 3 is not a multiple of 2 orders, so the per-order head count is undefined");
  h = tiny_header();
  h.num_tables = 0;
  EXPECT_EQ(text(h), "container declares no engram tables");
  h = tiny_header();
  h.sub_dim = 4;
  EXPECT_EQ(text(h), "engram sub_dim 4 disagrees with d_model / (orders * heads) = 8");
  h = tiny_header();
  h.num_kv_heads = 0;
  EXPECT_EQ(text(h), "2 query heads do not divide into 0 kv heads");
  h = tiny_header();
  h.hada_n = 8;
  EXPECT_EQ(text(h), "hada_n 8 is not a power of two at or above d_model 16");
  h = tiny_header();
  h.engram_sites.clear();
  h.tap_spacing = 0;  // irrelevant without sites
  EXPECT_TRUE(geometry_from_header(h).ok());
}

TEST(Geometry, DerivedValues) {
  auto h = tiny_header();
  h.global_layer_mask = (uint64_t{1} << 1) | (uint64_t{1} << 5);  // 5 is past num_layers
  V3Geometry g = geometry_from_header(h).value();
  EXPECT_EQ(g.global_layers, (std::vector<uint64_t>{1}));
  EXPECT_EQ(g.heads_per_order, 1u);
  EXPECT_EQ(g.effective_hash_stride(), 1u);
  EXPECT_EQ(g.max_order(), 2u);
  EXPECT_EQ(g.logit_width(), 40u);
  EXPECT_EQ(g.cache_cap(0), 4u);
  EXPECT_EQ(g.cache_cap(1), 32u);
  EXPECT_EQ(g.engram_history(), 4u);
  for (auto [n, r] : {std::pair<uint64_t, uint64_t>{512, 16}, {1024, 32}, {16, 4}, {32, 4}, {1, 1}}) {
    g.hada_n = n;
    EXPECT_EQ(g.ff_rows(), r) << n;
    EXPECT_EQ(g.ff_rows() * g.ff_cols(), n);
  }
}

TEST(Geometry, KvBytes) {
  V3Geometry g = geometry_from_header(tiny_header()).value();
  // Two windowed layers (window 4) and one global; per position 4·1·16 floats.
  EXPECT_EQ(g.kv_bytes(0, false), 0u);
  EXPECT_EQ(g.kv_bytes(10, false), (4 + 10 + 4) * 64u);
  EXPECT_EQ(g.kv_bytes(10, true), (4 + 10 + 4) * 24u);
  EXPECT_EQ(g.kv_bytes(2, false), 3 * 2 * 64u);
  g.kv_window = 0;
  EXPECT_EQ(g.kv_bytes(10, false), 3 * 10 * 64u);
  g.num_kv_heads = 0xFFFFFFFFu;
  g.head_dim = 0xFFFFFFFFu;
  EXPECT_EQ(g.kv_bytes(0xFFFFFFFFu, false), UINT64_MAX);  // saturates
}

TEST(Canon, SlotsAgreeWithTheWalk) {
  for (uint64_t taps : {0, 2}) {
    auto h = tiny_header();
    h.qkv_conv_taps = taps;
    V3Geometry g = geometry_from_header(h).value();
    EXPECT_EQ(block_slots(g), taps ? 27u : 24u);
    const auto entries = canon_entries(g);
    ASSERT_EQ(entries.size(), final_slot(g) + 1);
    for (const CanonEntry& e : entries) EXPECT_EQ(canon_slot(g, e.role, e.index), e.slot) << e.label;
    EXPECT_STREQ(entries[canon_slot(g, Role::kAttnGate, 2)].label, "attn_gate");
    EXPECT_EQ(entries[canon_slot(g, Role::kEngramTables, 1)].rows, 14u);
  }
}

// ------------------------------------------------------------ components

TEST(TwoFactor, HadamardFactorsGiveTheNormalisedTransform) {
  // r = 2, c = 4: A = H2/√2, B = H4/2; the result equals H8/√8 · v.
  const float a[4] = {1 / std::sqrt(2.0f), 1 / std::sqrt(2.0f), 1 / std::sqrt(2.0f), -1 / std::sqrt(2.0f)};
  float b[16];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) b[i * 4 + j] = (__builtin_popcount(i & j) % 2 ? -0.5f : 0.5f);
  const float v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  float mid[8], out[8];
  two_factor(v, a, b, 2, 4, mid, out);
  for (int i = 0; i < 8; ++i) {
    float want = 0;
    for (int j = 0; j < 8; ++j) want += (__builtin_popcount(i & j) % 2 ? -1.0f : 1.0f) * v[j];
    EXPECT_NEAR(out[i], want / std::sqrt(8.0f), 1e-5) << i;
  }
}

TEST(Engram, HashSeedsAndZeroPieces) {
  V3Geometry g = geometry_from_header(tiny_header()).value();
  g.hash_stride = 0;
  // Order 1 at table 0: seed (0 + 0 + 1)·0x9E3779B9, then one round with tok.
  const uint32_t tok[3] = {5, 6, 7};
  uint32_t h = 0x9E3779B9u;
  h ^= 7;
  h *= 0x01000193u;
  EXPECT_EQ(engram_row(g, tok, 2, 0), (h ^ (h >> 15)) % 7);
  // Order 2 at table 1 (f = 1, i = 0, stride = heads_per_order = 1): seed 2·mul.
  uint32_t h2 = 2u * 0x9E3779B9u;
  h2 ^= 7;
  h2 *= 0x01000193u;
  h2 ^= 6;
  h2 *= 0x01000193u;
  EXPECT_EQ(engram_row(g, tok, 2, 1), (h2 ^ (h2 >> 15)) % 7);
  // The tap rule with conv_taps 3, spacing 2, max_order 3.
  g.orders = {3};
  EXPECT_TRUE(engram_tap_active(g, 0, 2));
  EXPECT_FALSE(engram_tap_active(g, 1, 2));
  EXPECT_TRUE(engram_tap_active(g, 1, 3));
  EXPECT_FALSE(engram_tap_active(g, 2, 5));
  EXPECT_TRUE(engram_tap_active(g, 2, 6));
}

TEST(Engram, GateOfZeroInputIsOneHalf) {
  float x[4] = {0, 0, 0, 0};
  const float key[4] = {1, 2, 3, 4}, conv[4] = {2, 4, 6, 8};
  engram_gate(key, conv, 4, x);
  for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(x[i], 0.5f * conv[i]);
}

TEST(Lanes, SinkhornMatchesTheLogDomainRounds) {
  std::mt19937 rng(9);
  for (size_t n : {1, 2, 3, 4, 6}) {
    for (float spread : {0.5f, 3.0f, 9.0f, 30.0f, 60.0f}) {
      std::uniform_real_distribution<float> ud(-spread / 2, spread / 2);
      std::vector<float> m(n * n);
      for (float& v : m) v = ud(rng);
      std::vector<float> ref = m;
      core::sinkhorn_project(ref, n);
      models::lane_sinkhorn(m.data(), n);
      for (size_t k = 0; k < n * n; ++k)
        EXPECT_NEAR(m[k], ref[k], 2e-5f * ref[k] + 1e-6f) << n << " spread " << spread << " cell " << k;
      for (size_t c = 0; c < n; ++c) {
        float col = 0;
        for (size_t r = 0; r < n; ++r) col += m[r * n + c];
        EXPECT_NEAR(col, 1.0f, 1e-5f);
      }
    }
  }
}

// The linear rounds, whether unrolled for a small size or general, give the
// floats of the plain definition: exp(m - max), then 20 times rows divided
// by their sums and columns by theirs, sums taken in index order.
TEST(Lanes, SinkhornLinearRoundsAreThePlainDefinition) {
  std::mt19937 rng(10);
  std::uniform_real_distribution<float> ud(-6.0f, 6.0f);
  for (size_t n : {2, 3, 4, 5, 8}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<float> m(n * n);
      for (float& v : m) v = ud(rng);
      std::vector<float> ref = m;
      const float hi = *std::max_element(ref.begin(), ref.end());
      for (float& v : ref) v = std::exp(v - hi);
      for (int iter = 0; iter < core::kSinkhornIterations; ++iter) {
        for (size_t r = 0; r < n; ++r) {
          float sum = 0.0f;
          for (size_t c = 0; c < n; ++c) sum += ref[r * n + c];
          for (size_t c = 0; c < n; ++c) ref[r * n + c] /= sum;
        }
        for (size_t c = 0; c < n; ++c) {
          float sum = 0.0f;
          for (size_t r = 0; r < n; ++r) sum += ref[r * n + c];
          for (size_t r = 0; r < n; ++r) ref[r * n + c] /= sum;
        }
      }
      models::lane_sinkhorn(m.data(), n);
      for (size_t k = 0; k < n * n; ++k) ASSERT_EQ(m[k], ref[k]) << n << " trial " << trial << " cell " << k;
    }
  }
}

// Non-finite logits go the log-domain way, value for value.
TEST(Lanes, SinkhornNonFiniteTakesTheLogDomain) {
  std::vector<float> m = {0.0f, -INFINITY, 1.0f, 2.0f}, ref = m;
  core::sinkhorn_project(ref, 2);
  models::lane_sinkhorn(m.data(), 2);
  for (size_t k = 0; k < 4; ++k) {
    if (std::isnan(ref[k])) EXPECT_TRUE(std::isnan(m[k]));
    else EXPECT_EQ(m[k], ref[k]);
  }
}

// ------------------------------------------------------------ the model

core::CqTensor random_cq(uint64_t rows, uint64_t cols, std::mt19937& rng, uint64_t group = 8) {
  const uint64_t padded = (cols + group - 1) / group * group;
  const uint64_t code_bytes = rows * padded / 2, scales = rows * (padded / group);
  std::vector<uint8_t> blob(code_bytes + 2 * scales);
  for (uint64_t i = 0; i < code_bytes; ++i) blob[i] = static_cast<uint8_t>(rng());
  const uint16_t half = 0x2C00;  // binary16 0.0625
  for (uint64_t i = 0; i < scales; ++i) std::memcpy(&blob[code_bytes + 2 * i], &half, 2);
  std::vector<float> codebook(28);
  for (size_t i = 0; i < 28; ++i) codebook[i] = -1.5f + 0.11f * static_cast<float>(i % 16);
  return core::CqTensor::create(rows, cols, group, 4, blob, codebook).value();
}

std::vector<float> random_floats(size_t n, std::mt19937& rng, float mean, float std) {
  std::normal_distribution<float> d(mean, std);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// Codebook tensors in groups of `group` floats (64 and up take the vector
// kernels).
V3Model make_model(const V3Geometry& g, uint32_t seed, uint64_t group = 8) {
  std::mt19937 rng(seed);
  const uint64_t d = g.d_model, n = g.mhc_lanes, N = g.hada_n, r = g.ff_rows(), c = g.ff_cols();
  auto random_cq = [&](uint64_t rows, uint64_t cols, std::mt19937& gen) {
    return gen3::random_cq(rows, cols, gen, group);
  };
  V3Parts parts;
  parts.geometry = g;
  parts.embedding = random_cq(g.vocab_size, d, rng);
  for (uint64_t l = 0; l < g.num_layers; ++l) {
    const uint64_t T = g.qkv_conv_taps;
    AttentionWeights attn{random_cq(g.q_width(), d, rng), random_cq(g.k_width(), d, rng),
                          random_cq(g.v_width(), d, rng),
                          random_floats(T * g.q_width(), rng, 0.3f, 0.2f),
                          random_floats(T * g.k_width(), rng, 0.3f, 0.2f),
                          random_floats(T * g.v_width(), rng, 0.3f, 0.2f),
                          random_floats(g.head_dim, rng, 0, 0.1f), random_floats(g.head_dim, rng, 0, 0.1f)};
    FeedForwardWeights ff;
    ff.in_scale = random_floats(N, rng, 1, 0.1f);
    ff.gate_scale = random_floats(N, rng, 1, 0.1f);
    ff.gate_bias = random_floats(N, rng, 0, 0.1f);
    ff.mid_scale = random_floats(N, rng, 1, 0.1f);
    ff.out_scale = random_floats(d, rng, 0.5f, 0.1f);
    for (auto* f : {&ff.a1, &ff.a2, &ff.a3}) *f = random_floats(r * r, rng, 0, 1.0f / std::sqrt(float(r)));
    for (auto* f : {&ff.b1, &ff.b2, &ff.b3}) *f = random_floats(c * c, rng, 0, 1.0f / std::sqrt(float(c)));
    ff.experts = 2;
    ff.router = random_floats(d * 2, rng, 0, 0.3f);
    ff.expert_scales = random_floats(2 * N, rng, 0, 0.2f);
    parts.blocks.push_back(V3Block{random_floats(d, rng, 0, 0.1f), std::move(attn), random_cq(g.o_width(), d, rng),
                                   random_cq(d, g.o_width(), rng), random_floats(d, rng, 0, 0.1f), 0.3f,
                                   random_floats(d, rng, 0, 0.1f), std::move(ff)});
    std::vector<float> b_res = random_floats(n * n, rng, 0, 0.5f);
    for (uint64_t i = 0; i < n; ++i) b_res[i * n + i] += 2.0f;
    parts.lanes.push_back(LaneWeights{0.5f, 0.4f, 0.6f, random_floats(n, rng, 0, 0.5f),
                                      random_floats(n, rng, 0, 0.5f), std::move(b_res),
                                      random_cq(n, n * d, rng), random_cq(n, n * d, rng),
                                      random_cq(n * n, n * d, rng)});
  }
  for (size_t s = 0; s < g.engram_sites.size(); ++s)
    parts.sites.push_back(EngramSite{random_cq(g.num_tables() * g.table_rows, g.sub_dim, rng),
                                     random_cq(d, d, rng), random_cq(d, d, rng),
                                     random_floats(g.conv_taps * d, rng, 0.3f, 0.2f)});
  parts.final_norm = random_floats(d, rng, 0, 0.1f);
  for (auto* p : {&parts.perm_a, &parts.perm_b}) {
    p->resize(N);
    for (uint64_t i = 0; i < N; ++i) (*p)[i] = static_cast<uint32_t>((i * 5 + 3) % N);
  }
  return V3Model::assemble(std::move(parts)).value();
}

V3Geometry tiny_geometry() { return geometry_from_header(tiny_header()).value(); }

double max_rel(const std::vector<float>& a, const std::vector<float>& b) {
  double diff = 0, scale = 1;
  for (size_t i = 0; i < a.size(); ++i) {
    diff = std::max(diff, std::fabs(double(a[i]) - double(b[i])));
    scale = std::max(scale, std::fabs(double(b[i])));
  }
  return diff / scale;
}

TEST(Model, AssemblyChecks) {
  V3Geometry g = tiny_geometry();
  V3Model ok = make_model(g, 1);
  EXPECT_EQ(ok.logit_width(), 40u);
  EXPECT_FLOAT_EQ(ok.embedding_scale(), 4.0f);
  std::mt19937 rng(2);
  V3Parts p;
  p.geometry = g;
  p.embedding = random_cq(40, 16, rng);
  EXPECT_EQ(V3Model::assemble(std::move(p)).error(), "layer count does not match geometry");
}

TEST(Model, PrefillThenStepsEqualsStepping) {
  for (bool int8 : {false, true}) {
    V3Model model = make_model(tiny_geometry(), 3);
    const std::vector<uint32_t> ids = {2, 17, 39, 5, 5, 12, 30, 1, 8, 22, 7};
    const size_t w = model.logit_width();
    KvCache stepped = model.new_cache(0, int8);
    std::vector<std::vector<float>> want;
    for (uint32_t t : ids) {
      std::vector<float> l(w);
      model.step(t, stepped, l);
      want.push_back(l);
    }
    // Every row, the last row only, or no logits: a prefill that skips the
    // last block's work for rows nobody reads still leaves the session
    // (keys, values, convolution histories) as stepping does.
    enum class Rows { kAll, kLast, kNone };
    for (Rows rows : {Rows::kAll, Rows::kLast, Rows::kNone}) {
      for (size_t pre : {size_t(1), size_t(2), size_t(4), ids.size() - 1}) {
        KvCache cache = model.new_cache(ids.size(), int8);
        const std::span<const uint32_t> prompt(ids.data(), pre);
        if (rows == Rows::kAll) {
          std::vector<float> all(pre * w);
          model.prefill_all(prompt, &cache, all);
          for (size_t i = 0; i < pre; ++i)
            EXPECT_LT(max_rel(std::vector<float>(all.begin() + i * w, all.begin() + (i + 1) * w), want[i]), 1e-5)
                << "prefill row " << i << " int8 " << int8;
        } else if (rows == Rows::kLast) {
          std::vector<float> last(w);
          model.prefill(prompt, &cache, last);
          EXPECT_LT(max_rel(last, want[pre - 1]), 1e-5) << "last row of " << pre << " int8 " << int8;
        } else {
          model.prefill(prompt, &cache, {});
        }
        EXPECT_EQ(cache.position(), pre);
        for (size_t i = pre; i < ids.size(); ++i) {
          std::vector<float> l(w);
          model.step(ids[i], cache, l);
          EXPECT_LT(max_rel(l, want[i]), 1e-5) << "step " << i << " after prefill of " << pre << " int8 " << int8
                                              << " rows " << static_cast<int>(rows);
        }
      }
    }
  }
}

// A pass that continues a cache gives every position the floats of one pass
// over the whole prompt when each piece takes the product kernels the whole
// takes: at least kWideBatch rows with float products, two with int8 ones
// (runners/gen3_runner.cc). The geometry is wide enough for the vector
// kernels (64-float groups, 32-row panels), with a window the prompt wraps.
formats::TeskHeaderV3 piece_header() {
  formats::TeskHeaderV3 h = tiny_header();
  h.vocab_size = 300;
  h.d_model = 128;
  h.num_heads = 4;
  h.num_kv_heads = 2;
  h.head_dim = 32;
  h.v_head_dim = 32;
  h.max_seq_len = 256;
  h.hada_n = 128;
  h.kv_window = 48;
  h.qkv_conv_taps = 3;
  h.table_rows = 31;
  h.sub_dim = 64;
  return h;
}

V3Model make_piece_model(uint32_t seed, core::Compute compute) {
  V3Model model = make_model(geometry_from_header(piece_header()).value(), seed, 64);
  model.set_compute(compute);
  return model;
}

TEST(Model, PrefillInPiecesEqualsOnePass) {
  std::mt19937 rng(11);
  std::vector<uint32_t> ids(170);
  for (uint32_t& t : ids) t = static_cast<uint32_t>(rng() % 300);
  const std::vector<std::vector<size_t>> wide = {{32}, {40, 80}, {64, 96, 128}, {100}, {138}};
  std::vector<std::vector<size_t>> narrow = wide;
  narrow.insert(narrow.end(), {{2, 4}, {10}, {150}, {168}});
  for (core::Compute compute : {core::Compute::kFloat, core::Compute::kInt8}) {
    const auto& cuts = compute == core::Compute::kFloat ? wide : narrow;
    const V3Model model = make_piece_model(12, compute);
    const size_t w = model.logit_width();
    for (bool int8 : {false, true}) {
      // Logits of the last prompt position, then of a few steps.
      auto run = [&](const std::vector<size_t>& at, bool through_snapshot) {
        KvCache cache = model.new_cache(ids.size() + 4, int8);
        std::vector<float> out(w);
        size_t from = 0;
        for (size_t cut : at) {
          model.prefill(std::span<const uint32_t>(ids).subspan(from, cut - from), &cache, {});
          if (through_snapshot) {
            const KvCache kept = cache.snapshot();
            cache = model.new_cache(1, int8);
            cache.restore(kept, ids.size() + 4);
          }
          from = cut;
        }
        model.prefill(std::span<const uint32_t>(ids).subspan(from), &cache, out);
        std::vector<float> all = out;
        for (uint32_t t : {7u, 19u, 250u}) {
          model.step(t, cache, out);
          all.insert(all.end(), out.begin(), out.end());
        }
        return all;
      };
      const std::vector<float> whole = run({}, false);
      for (const std::vector<size_t>& at : cuts) {
        for (bool snap : {false, true}) {
          // Equal to the last bit, not within rounding.
          EXPECT_EQ(run(at, snap), whole) << "compute " << static_cast<int>(compute) << " kv_int8 "
                                          << int8 << " first cut " << at[0] << " snapshot " << snap;
        }
      }
    }
  }
}

TEST(Model, LastLogitsAndCachelessRows) {
  V3Model model = make_model(tiny_geometry(), 4);
  const std::vector<uint32_t> ids = {2, 9, 11, 3, 35};
  const size_t w = model.logit_width();
  std::vector<float> all(ids.size() * w), last(w);
  model.prefill_all(ids, nullptr, all);
  KvCache cache = model.new_cache(ids.size(), false);
  model.prefill(ids, &cache, last);
  EXPECT_LT(max_rel(last, std::vector<float>(all.end() - w, all.end())), 1e-6);
}

TEST(Model, KeptWorkspacesGiveTheSameRowsAsFreshOnes) {
  // A longer prompt leaves its values in the kept workspace; a shorter one
  // afterwards, and two at once from two threads, must not see them.
  const std::vector<uint32_t> longer = {7, 3, 3, 38, 1, 20, 11, 4, 9, 30, 2, 2, 16};
  const std::vector<uint32_t> shorter = {5, 12, 30, 1, 8};
  for (bool int8 : {false, true}) {
    V3Model fresh = make_model(tiny_geometry(), 9);
    V3Model reused = make_model(tiny_geometry(), 9);
    const size_t w = fresh.logit_width();
    EXPECT_EQ(fresh.kept_workspaces(), 0u);
    std::vector<float> want(shorter.size() * w), got(shorter.size() * w), scrap(longer.size() * w);
    KvCache a = fresh.new_cache(0, int8);
    fresh.prefill_all(shorter, &a, want);
    KvCache b = reused.new_cache(0, int8), c = reused.new_cache(0, int8);
    reused.prefill_all(longer, &b, scrap);
    EXPECT_EQ(reused.kept_workspaces(), 1u);
    reused.prefill_all(shorter, &c, got);
    EXPECT_LT(max_rel(got, want), 1e-6) << "int8 " << int8;
    EXPECT_EQ(reused.kept_workspaces(), 1u);

    // Cacheless prompts (float attention) from two threads at once.
    std::vector<float> want_plain(shorter.size() * w);
    fresh.prefill_all(shorter, nullptr, want_plain);
    std::vector<std::vector<float>> rows(2, std::vector<float>(shorter.size() * w));
    std::vector<std::vector<float>> scraps(2, std::vector<float>(longer.size() * w));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 2; ++t)
      threads.emplace_back([&, t] {
        for (int rep = 0; rep < 3; ++rep) {
          if (rep == 1) reused.prefill_all(longer, nullptr, scraps[t]);
          else reused.prefill_all(shorter, nullptr, rows[t]);
        }
      });
    for (std::thread& t : threads) t.join();
    for (const std::vector<float>& r : rows) EXPECT_LT(max_rel(r, want_plain), 1e-6) << "int8 " << int8;
    EXPECT_GE(reused.kept_workspaces(), 1u);
    EXPECT_LE(reused.kept_workspaces(), WorkspaceShelf::kKept);
  }
}

TEST(Model, IdsBeyondTheTableReadTheLastRow) {
  V3Model model = make_model(tiny_geometry(), 5);
  const size_t w = model.logit_width();
  std::vector<float> a(w), b(w);
  const uint32_t past[2] = {2, 40}, last[2] = {2, 39};
  model.prefill(past, nullptr, a);
  model.prefill(last, nullptr, b);
  // The n-gram hash reads the id itself, so disable it by comparing the
  // embedding-driven logits on a model without sites.
  V3Geometry g = tiny_geometry();
  g.engram_sites.clear();
  V3Model plain = make_model(g, 5);
  plain.prefill(past, nullptr, a);
  plain.prefill(last, nullptr, b);
  EXPECT_EQ(a, b);
  const uint32_t huge[2] = {2, 0xFFFFFFFFu};
  plain.prefill(huge, nullptr, a);
  EXPECT_EQ(a, b);
}

TEST(Model, StepsAllocateNothing) {
  for (bool int8 : {false, true}) {
    V3Model model = make_model(tiny_geometry(), 8);
    KvCache cache = model.new_cache(32, int8);  // no layer grows
    std::vector<float> logits(model.logit_width());
    const uint32_t prompt[3] = {2, 5, 9};
    model.prefill(prompt, &cache, logits);
    model.step(3, cache, logits);  // the pool's threads and per-thread scratch exist now
    g_allocations = 0;
    g_counting = true;
    for (uint32_t t = 10; t < 20; ++t) model.step(t, cache, logits);
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0u) << "int8 " << int8;
  }
}

TEST(Cache, GrowthWindowAndRing) {
  V3Model model = make_model(tiny_geometry(), 6);
  KvCache cache = model.new_cache(1, false);
  EXPECT_EQ(cache.layer(0).kv.slots(), 1u);
  EXPECT_EQ(cache.layer(1).kv.slots(), 1u);
  std::vector<float> l(model.logit_width());
  std::vector<uint64_t> global_slots;
  for (uint32_t t = 0; t < 11; ++t) {
    model.step(t, cache, l);
    global_slots.push_back(cache.layer(1).kv.slots());
  }
  EXPECT_EQ(global_slots, (std::vector<uint64_t>{1, 2, 4, 4, 8, 8, 8, 8, 16, 16, 16}));
  EXPECT_EQ(cache.layer(0).kv.slots(), 4u);  // the window caps a windowed layer
  EXPECT_EQ(cache.window_start(0, 10), 7u);
  EXPECT_EQ(cache.window_start(1, 10), 0u);
  EXPECT_EQ(cache.position(), 11u);
  // A windowed layer stores position p at p mod 4: position 10 at slot 2.
  KvCache fresh = model.new_cache(64, false);
  EXPECT_EQ(fresh.layer(0).kv.slots(), 4u);
  EXPECT_EQ(fresh.layer(1).kv.slots(), 32u);  // capped at max_seq_len
}

TEST(Cache, Int8StoresCodesAndScales) {
  V3Model model = make_model(tiny_geometry(), 7);
  KvCache cache = model.new_cache(2, true);
  EXPECT_EQ(cache.layer(0).kv.key_scales(), (std::vector<float>{1.0f, 1.0f}));
  std::vector<float> k(8, 0.0f), v(8, 0.0f);
  k[0] = 1.27f;
  k[1] = 0.005f;
  k[2] = -0.005f;
  cache.store(0, 1, k.data(), v.data());
  EXPECT_FLOAT_EQ(cache.layer(0).kv.key_scales()[1], 0.01f);
  EXPECT_EQ(cache.layer(0).kv.key_codes()[8 + 0], 127);
  EXPECT_EQ(cache.layer(0).kv.key_codes()[8 + 1], 1);
  EXPECT_EQ(cache.layer(0).kv.key_codes()[8 + 2], -1);
  EXPECT_EQ(cache.layer(0).kv.value_scales()[1], 1.0f);  // all-zero vector
  EXPECT_EQ(cache.layer(0).kv.value_codes()[8], 0);
}

}  // namespace
}  // namespace pinnet::gen3

// Unit tests of the key/value ring: int8 storing, rows of a fixed and of a
// growing ring, the window rule, clearing and the bytes held.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "models/common/kv_ring.h"

namespace pinnet::models {
namespace {

TEST(Int8, HalvesRoundAwayFromZero) {
  const float s = 0.01f;
  float x[3] = {127 * s, 0.5f * s, -0.5f * s};
  int8_t codes[4];
  float scale = 0;
  quantise_int8(x, 3, codes, &scale);
  EXPECT_FLOAT_EQ(scale, 127 * s / 127.0f);
  EXPECT_EQ(codes[0], 127);
  EXPECT_EQ(codes[1], 1);
  EXPECT_EQ(codes[2], -1);
  float zero[4] = {0, 0, 0, 0};
  quantise_int8(zero, 4, codes, &scale);
  EXPECT_EQ(scale, 1.0f);
  EXPECT_EQ(codes[0], 0);
  float nan[2] = {NAN, 1.0f};
  quantise_int8(nan, 2, codes, &scale);
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(codes[1], 127);
}

TEST(Int8, JustBelowHalfRoundsDown) {
  float x[2] = {127.0f, 0.49f};
  int8_t codes[2];
  float scale = 0;
  quantise_int8(x, 2, codes, &scale);
  EXPECT_EQ(codes[1], 0);
  round_trip_int8(x, 2);
  EXPECT_EQ(x[1], 0.0f);
  EXPECT_EQ(x[0], 127.0f);
}

// Distinct floats for the keys and values of position p.
std::vector<float> filled(size_t n, uint64_t p, float base) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = base + static_cast<float>(p) + 0.01f * static_cast<float>(i);
  return x;
}

TEST(KvRing, FixedCapacityWrapsAndWindows) {
  const size_t kvh = 2, hd = 4, vd = 3;
  KvRing ring(kvh, hd, vd, 5, 5, false);
  EXPECT_EQ(ring.slots(), 5u);
  for (uint64_t p = 0; p < 12; ++p) {
    ring.store(p, filled(kvh * hd, p, 100).data(), filled(kvh * vd, p, 200).data());
    EXPECT_EQ(ring.slots(), 5u);
  }
  const KvView kv = ring.view();
  EXPECT_EQ(kv.slots, 5u);
  EXPECT_EQ(kv.kv_heads, kvh);
  EXPECT_EQ(kv.head_dim, hd);
  EXPECT_EQ(kv.v_head_dim, vd);
  EXPECT_FALSE(kv.int8);
  // Positions 7 .. 11 are held, position t at row t % 5.
  for (uint64_t p = 7; p < 12; ++p) {
    const std::vector<float> k = filled(kvh * hd, p, 100), v = filled(kvh * vd, p, 200);
    for (size_t e = 0; e < kvh * hd; ++e) EXPECT_EQ(kv.keys[(p % 5) * kvh * hd + e], k[e]) << p;
    for (size_t e = 0; e < kvh * vd; ++e) EXPECT_EQ(kv.values[(p % 5) * kvh * vd + e], v[e]) << p;
  }
  EXPECT_EQ(ring.window_start(11, 0), 7u);  // the oldest position held
  EXPECT_EQ(ring.window_start(11, 3), 9u);  // a narrower window
  EXPECT_EQ(ring.window_start(11, 8), 7u);  // a wider one changes nothing
  EXPECT_EQ(ring.window_start(2, 0), 0u);
  EXPECT_EQ(ring.window_start(2, 3), 0u);
  EXPECT_EQ(ring.window_start(3, 3), 1u);
}

TEST(KvRing, GrowsLazilyUpToTheMaximum) {
  KvRing ring(1, 2, 2, 1, 6, false);
  std::vector<uint64_t> slots;
  for (uint64_t p = 0; p < 8; ++p) {
    const float k[2] = {static_cast<float>(p), 1}, v[2] = {2, static_cast<float>(p)};
    ring.store(p, k, v);
    slots.push_back(ring.slots());
    if (p == 5) {  // full but not yet wrapped: every position at its own row
      for (uint64_t t = 0; t <= 5; ++t) EXPECT_EQ(ring.keys()[t * 2], static_cast<float>(t));
    }
  }
  EXPECT_EQ(slots, (std::vector<uint64_t>{1, 2, 4, 4, 6, 6, 6, 6}));
  EXPECT_EQ(ring.max_slots(), 6u);
  EXPECT_EQ(ring.keys()[0], 6.0f);  // position 6 took row 0
  EXPECT_EQ(ring.values()[1 * 2 + 1], 7.0f);
  // Asked for more rows than the maximum: the maximum.
  EXPECT_EQ(KvRing(1, 2, 2, 9, 6, false).slots(), 6u);
}

TEST(KvRing, Int8StoresCodesAndScales) {
  KvRing ring(2, 4, 4, 3, 3, true);
  EXPECT_TRUE(ring.int8());
  EXPECT_TRUE(ring.keys().empty());
  EXPECT_EQ(ring.key_scales(), (std::vector<float>(6, 1.0f)));
  std::vector<float> k(8, 0.0f), v(8, 0.0f);
  k[4] = 1.27f;  // kv head 1
  k[5] = 0.005f;
  k[6] = -0.005f;
  ring.store(4, k.data(), v.data());  // row 1
  EXPECT_FLOAT_EQ(ring.key_scales()[1 * 2 + 1], 0.01f);
  EXPECT_EQ(ring.key_codes()[(1 * 2 + 1) * 4 + 0], 127);
  EXPECT_EQ(ring.key_codes()[(1 * 2 + 1) * 4 + 1], 1);
  EXPECT_EQ(ring.key_codes()[(1 * 2 + 1) * 4 + 2], -1);
  EXPECT_EQ(ring.key_scales()[1 * 2 + 0], 1.0f);  // all-zero vector
  EXPECT_EQ(ring.value_scales()[1 * 2 + 1], 1.0f);
  const KvView kv = ring.view();
  EXPECT_TRUE(kv.int8);
  EXPECT_EQ(kv.key_codes, ring.key_codes().data());
  EXPECT_EQ(kv.key_scales, ring.key_scales().data());
}

TEST(KvRing, ClearKeepsRowsAndMemory) {
  for (bool int8 : {false, true}) {
    KvRing ring(2, 4, 3, 2, 8, int8);
    const std::vector<float> k = filled(8, 1, 3), v = filled(6, 1, 4);
    for (uint64_t p = 0; p < 5; ++p) ring.store(p, k.data(), v.data());
    EXPECT_EQ(ring.slots(), 8u);
    const size_t bytes = ring.bytes();
    const KvView before = ring.view();
    ring.clear();
    const KvView after = ring.view();
    EXPECT_EQ(ring.slots(), 8u);
    EXPECT_EQ(ring.bytes(), bytes);
    EXPECT_EQ(after.keys, before.keys);
    EXPECT_EQ(after.key_codes, before.key_codes);
    EXPECT_EQ(after.value_scales, before.value_scales);
    for (float x : ring.keys()) EXPECT_EQ(x, 0.0f);
    for (float x : ring.values()) EXPECT_EQ(x, 0.0f);
    for (int8_t c : ring.key_codes()) EXPECT_EQ(c, 0);
    for (int8_t c : ring.value_codes()) EXPECT_EQ(c, 0);
    for (float s : ring.key_scales()) EXPECT_EQ(s, 1.0f);
    for (float s : ring.value_scales()) EXPECT_EQ(s, 1.0f);
  }
}

TEST(KvRing, BytesHeld) {
  // 5 rows of 2 kv heads, keys of 4 and values of 3.
  EXPECT_EQ(KvRing(2, 4, 3, 5, 5, false).bytes(), (5u * 2 * 4 + 5u * 2 * 3) * sizeof(float));
  EXPECT_EQ(KvRing(2, 4, 3, 5, 5, true).bytes(), 5u * 2 * 4 + 5u * 2 * 3 + 2 * 5u * 2 * sizeof(float));
  EXPECT_EQ(KvRing().bytes(), 0u);
}

}  // namespace
}  // namespace pinnet::models

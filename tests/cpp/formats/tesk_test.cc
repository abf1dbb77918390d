// The .tesk reader: header and directory parse of both versions, every check
// in its order with its exact text, and the typed accessors.
#include "formats/tesk.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pinnet::formats::TeskError;
using pinnet::formats::TeskImage;
using pinnet::formats::TeskVersion;
namespace fmt = pinnet::formats;

constexpr TeskVersion V2 = TeskVersion::V2;
constexpr TeskVersion V3 = TeskVersion::V3;

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  put32(b, at, static_cast<uint32_t>(v));
  put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}
void putf(std::vector<uint8_t>& b, size_t at, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  put32(b, at, u);
}

struct Entry {
  uint8_t dtype = fmt::DTYPE_F32;
  uint8_t ndim = 1;
  std::array<uint32_t, 4> dims{0, 0, 0, 0};
  std::vector<uint8_t> data;
  std::optional<uint64_t> offset;  // default: data placed after the directory
  std::optional<uint64_t> nbytes;  // default: data.size()
  uint32_t group = 0;
  uint8_t bits = 0;
};

// A container: header words by index over a valid small geometry, the 28
// codebook floats and entries whose data follows the directory back to back.
struct Builder {
  TeskVersion version;
  std::vector<uint32_t> words;
  std::array<float, 28> codebook{};
  std::vector<Entry> entries;
  bool count_from_entries = true;

  explicit Builder(TeskVersion v) : version(v) {
    if (v == V2) {
      words.assign(30, 0);
      words[0] = fmt::TESK_MAGIC_V2;
      words[2] = 28;
      // vocab, d_model, heads, kv heads, layers, head_dim, max_seq, hada_n, lanes
      const uint32_t geometry[] = {64, 16, 4, 2, 3, 8, 128, 16, 2};
      for (int i = 0; i < 9; ++i) words[5 + i] = geometry[i];
    } else {
      words.assign(49, 0);
      words[0] = fmt::TESK_MAGIC_V3;
      words[2] = 28;
    }
    for (size_t i = 0; i < 28; ++i) codebook[i] = static_cast<float>(i) * 0.25f - 3.0f;
  }
  size_t header_bytes() const { return words.size() * 4; }
  size_t directory_at() const { return header_bytes() + 112; }

  std::vector<uint8_t> bytes() const {
    size_t data_at = directory_at() + 44 * entries.size();
    size_t end = data_at;
    for (const auto& e : entries)
      if (!e.offset) end += e.data.size();
    std::vector<uint8_t> b(end, 0);
    for (size_t k = 0; k < words.size(); ++k) put32(b, 4 * k, words[k]);
    if (count_from_entries) put32(b, 4, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < 28; ++i) putf(b, header_bytes() + 4 * i, codebook[i]);
    size_t cursor = data_at;
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      size_t at = directory_at() + 44 * i;
      uint64_t off = e.offset.value_or(cursor);
      b[at] = e.dtype;
      b[at + 1] = e.ndim;
      b[at + 2] = 0xAB;  // padding is ignored
      b[at + 3] = 0xCD;
      for (int d = 0; d < 4; ++d) put32(b, at + 4 + 4 * d, e.dims[d]);
      put64(b, at + 20, off);
      put64(b, at + 28, e.nbytes.value_or(e.data.size()));
      put32(b, at + 36, e.group);
      b[at + 40] = e.bits;
      b[at + 41] = 0xEE;
      if (!e.offset) {
        std::copy(e.data.begin(), e.data.end(), b.begin() + static_cast<std::ptrdiff_t>(cursor));
        cursor += e.data.size();
      }
    }
    return b;
  }
};

Entry f32_entry(const std::vector<float>& v) {
  Entry e;
  e.dtype = fmt::DTYPE_F32;
  e.dims = {static_cast<uint32_t>(v.size()), 0, 0, 0};
  e.data.resize(4 * v.size());
  for (size_t i = 0; i < v.size(); ++i) putf(e.data, 4 * i, v[i]);
  return e;
}

Entry raw_entry(uint8_t dtype, std::vector<uint8_t> data) {
  Entry e;
  e.dtype = dtype;
  e.dims = {static_cast<uint32_t>(data.size()), 0, 0, 0};
  e.data = std::move(data);
  return e;
}

std::string error_of(TeskVersion v, const std::vector<uint8_t>& b) {
  auto r = TeskImage::from_bytes(v, b);
  if (r) return "<parsed>";
  return r.error().to_string();
}

TeskImage parsed(const Builder& builder) {
  auto r = TeskImage::from_bytes(builder.version, builder.bytes());
  if (!r) throw std::runtime_error("unexpected parse failure: " + r.error().to_string());
  return std::move(r).value();
}

// ---------------------------------------------------------------- header

TEST(TeskParse, TooShortHeaders) {
  EXPECT_EQ(error_of(V2, std::vector<uint8_t>(119, 0)), "tesk truncated: need at least 120 bytes, got 119");
  EXPECT_EQ(error_of(V3, std::vector<uint8_t>(195, 0)), "tesk truncated: need at least 196 bytes, got 195");
  EXPECT_EQ(error_of(V2, {}), "tesk truncated: need at least 120 bytes, got 0");
  auto r = TeskImage::from_bytes(V3, {});
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is<TeskError::TooShort>());
  EXPECT_EQ(r.error().as<TeskError::TooShort>().need, 196u);
}

TEST(TeskParse, BadTagNamesBothTagsInHex) {
  Builder b(V2);
  b.words[0] = 0xDEADBEEF;
  EXPECT_EQ(error_of(V2, b.bytes()), "not a tesk blob: tag 0xdeadbeef, want 0x05e12a83");
  Builder three(V3);
  EXPECT_EQ(error_of(V2, std::vector<uint8_t>(three.bytes())),
            "not a tesk blob: tag 0x05e12a84, want 0x05e12a83");
  Builder two(V2);
  std::vector<uint8_t> padded = two.bytes();
  padded.resize(400, 0);  // long enough for the generation-3 header
  EXPECT_EQ(error_of(V3, padded), "not a tesk blob: tag 0x05e12a83, want 0x05e12a84");
  b.words[0] = 7;
  EXPECT_EQ(error_of(V2, b.bytes()), "not a tesk blob: tag 0x00000007, want 0x05e12a83");
}

uint32_t float_word(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

TEST(TeskParse, V2HeaderFieldsLandWhereTheyBelong) {
  Builder b(V2);
  b.words[3] = 77;    // kv_window
  b.words[4] = 0xFFFFFFFF;  // reserved, kept as is
  b.words[9] = 6;     // num_layers
  b.words[10] = 12;   // head_dim
  b.words[11] = 300;  // max_seq_len
  b.words[12] = 32;   // hada_n
  b.words[13] = 3;    // mhc_lanes
  for (uint32_t k = 14; k < 19; ++k) b.words[k] = 100 + k;  // engram geometry
  b.words[19] = 9;  // order count clamps to 4
  for (uint32_t k = 20; k < 24; ++k) b.words[k] = 50 + k;
  b.words[24] = 2;  // two sites of four slots
  b.words[25] = 5;
  b.words[26] = 0;
  b.words[27] = 999;  // beyond the site count: ignored
  b.words[29] = float_word(500000.0f);
  TeskImage img = parsed(b);
  const auto& h = img.header_v2();
  EXPECT_EQ(h.tensor_count, 0u);
  EXPECT_EQ(h.codebook_len, 28u);
  EXPECT_EQ(h.kv_window, 77u);
  EXPECT_EQ(h.reserved, 0xFFFFFFFFu);
  EXPECT_EQ(h.vocab, 64u);
  EXPECT_EQ(h.d_model, 16u);
  EXPECT_EQ(h.num_heads, 4u);
  EXPECT_EQ(h.num_kv_heads, 2u);
  EXPECT_EQ(h.num_layers, 6u);
  EXPECT_EQ(h.head_dim, 12u);
  EXPECT_EQ(h.max_seq_len, 300u);
  EXPECT_EQ(h.hada_n, 32u);
  EXPECT_EQ(h.mhc_lanes, 3u);
  EXPECT_EQ(h.table_rows, 114u);
  EXPECT_EQ(h.sub_dim, 115u);
  EXPECT_EQ(h.num_tables, 116u);
  EXPECT_EQ(h.conv_taps, 117u);
  EXPECT_EQ(h.tap_spacing, 118u);
  EXPECT_EQ(h.orders, (std::vector<uint64_t>{70, 71, 72, 73}));
  EXPECT_EQ(h.engram_sites, (std::vector<uint64_t>{5, 0}));
  EXPECT_EQ(h.rope_theta, 500000.0f);
  EXPECT_EQ(img.version(), V2);
  EXPECT_THROW((void)img.header_v3(), std::logic_error);
}

TEST(TeskParse, V3HeaderFieldsAndClamps) {
  Builder b(V3);
  for (uint32_t k = 3; k < 17; ++k) b.words[k] = 1000 + k;
  b.words[17] = 0x00000005;  // mask low
  b.words[18] = 0x80000000;  // mask high
  for (uint32_t k = 19; k < 26; ++k) b.words[k] = 2000 + k;
  b.words[26] = 3;
  b.words[27] = 1;
  b.words[28] = 2;
  b.words[29] = 3;
  b.words[30] = 4;  // beyond the order count
  b.words[31] = 40;  // site count clamps to 16
  for (uint32_t k = 32; k < 48; ++k) b.words[k] = k - 32;
  b.words[48] = float_word(10000.0f);
  TeskImage img = parsed(b);
  const auto& h = img.header_v3();
  EXPECT_EQ(h.reserved3, 1003u);
  EXPECT_EQ(h.reserved4, 1004u);
  EXPECT_EQ(h.vocab_size, 1005u);
  EXPECT_EQ(h.logit_count, 1006u);
  EXPECT_EQ(h.d_model, 1007u);
  EXPECT_EQ(h.num_heads, 1008u);
  EXPECT_EQ(h.num_kv_heads, 1009u);
  EXPECT_EQ(h.num_layers, 1010u);
  EXPECT_EQ(h.head_dim, 1011u);
  EXPECT_EQ(h.v_head_dim, 1012u);
  EXPECT_EQ(h.max_seq_len, 1013u);
  EXPECT_EQ(h.hada_n, 1014u);
  EXPECT_EQ(h.mhc_lanes, 1015u);
  EXPECT_EQ(h.kv_window, 1016u);
  EXPECT_EQ(h.global_layer_mask, 0x8000000000000005ull);
  EXPECT_EQ(h.qkv_conv_taps, 2019u);
  EXPECT_EQ(h.table_rows, 2020u);
  EXPECT_EQ(h.sub_dim, 2021u);
  EXPECT_EQ(h.num_tables, 2022u);
  EXPECT_EQ(h.conv_taps, 2023u);
  EXPECT_EQ(h.tap_spacing, 2024u);
  EXPECT_EQ(h.hash_stride, 2025u);
  EXPECT_EQ(h.orders, (std::vector<uint64_t>{1, 2, 3}));
  ASSERT_EQ(h.engram_sites.size(), 16u);
  EXPECT_EQ(h.engram_sites[15], 15u);
  EXPECT_EQ(h.rope_theta, 10000.0f);
  EXPECT_THROW((void)img.header_v2(), std::logic_error);
}

TEST(TeskParse, V3MakesNoGeometryChecks) {
  Builder b(V3);  // every geometry word 0
  b.words[31] = 1;
  b.words[32] = 77;  // a site beyond every layer
  EXPECT_EQ(error_of(V3, b.bytes()), "<parsed>");
}

TEST(TeskParse, V2NonZeroFieldsInOrder) {
  const std::pair<int, const char*> fields[] = {{5, "vocab"},        {6, "d_model"},
                                                {7, "num_heads"},    {8, "num_kv_heads"},
                                                {9, "num_layers"},   {10, "head_dim"},
                                                {11, "max_seq_len"}, {13, "mhc_lanes"}};
  for (size_t i = 0; i < std::size(fields); ++i) {
    Builder b(V2);
    // Zero this field and every later one: the earliest label wins.
    for (size_t j = i; j < std::size(fields); ++j) b.words[fields[j].first] = 0;
    EXPECT_EQ(error_of(V2, b.bytes()),
              std::string("header field ") + fields[i].second + " must be non-zero");
  }
}

TEST(TeskParse, V2HeadsMustDivide) {
  Builder b(V2);
  b.words[7] = 6;
  b.words[8] = 4;
  EXPECT_EQ(error_of(V2, b.bytes()), "header field num_heads % num_kv_heads must be non-zero");
  b.words[8] = 3;
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");
}

TEST(TeskParse, V2HadaN) {
  const std::string bad = "header field hada_n must be non-zero";
  Builder b(V2);  // d_model 16
  b.words[12] = 16;
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");  // equal to a power-of-two d_model
  b.words[12] = 0;
  EXPECT_EQ(error_of(V2, b.bytes()), bad);
  b.words[12] = 8;
  EXPECT_EQ(error_of(V2, b.bytes()), bad);  // below d_model
  b.words[12] = 24;
  EXPECT_EQ(error_of(V2, b.bytes()), bad);  // not a power of two
  b.words[12] = 0x80000000;
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");
  b.words[6] = 12;  // d_model not a power of two, hada_n 16 above it
  b.words[12] = 16;
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");
}

TEST(TeskParse, V2EngramChecksOnlyWithSites) {
  Builder b(V2);  // table_rows, sub_dim, num_tables all 0; no sites
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");
  b.words[24] = 1;
  b.words[25] = 2;
  for (int zero : {14, 15, 16}) {
    b.words[14] = b.words[15] = b.words[16] = 4;
    b.words[zero] = 0;
    EXPECT_EQ(error_of(V2, b.bytes()), "header field engram geometry must be non-zero");
  }
  b.words[14] = b.words[15] = b.words[16] = 4;
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");
  b.words[24] = 3;  // sites 2, 3 (== num_layers), 0
  b.words[26] = 3;
  EXPECT_EQ(error_of(V2, b.bytes()), "header field engram_sites beyond num_layers must be non-zero");
  b.words[24] = 1;  // the bad site is past the count now
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");
  b.words[24] = 7;  // clamps to 4 sites: 2, 3, 0, 0
  EXPECT_EQ(error_of(V2, b.bytes()), "header field engram_sites beyond num_layers must be non-zero");
}

TEST(TeskParse, CodebookLengthAfterGeometry) {
  Builder b(V2);
  b.words[2] = 27;
  EXPECT_EQ(error_of(V2, b.bytes()), "header codebook is 27 floats, want 28 (cb2|cb3|cb4)");
  b.words[5] = 0;  // geometry is checked first
  EXPECT_EQ(error_of(V2, b.bytes()), "header field vocab must be non-zero");
  Builder c(V3);
  c.words[2] = 4000000000u;
  EXPECT_EQ(error_of(V3, c.bytes()), "header codebook is 4000000000 floats, want 28 (cb2|cb3|cb4)");
}

TEST(TeskParse, CodebookCopied) {
  for (TeskVersion v : {V2, V3}) {
    Builder b(v);
    TeskImage img = parsed(b);
    for (size_t i = 0; i < 28; ++i) EXPECT_EQ(img.codebook()[i], b.codebook[i]);
  }
}

TEST(TeskParse, DirectoryMustFit) {
  for (TeskVersion v : {V2, V3}) {
    Builder b(v);
    b.count_from_entries = false;
    b.words[1] = 3;
    size_t base = v == V2 ? 232 : 308;
    std::vector<uint8_t> bytes = b.bytes();
    ASSERT_EQ(bytes.size(), base);
    EXPECT_EQ(error_of(v, bytes), "tesk truncated: need at least " + std::to_string(base + 132) +
                                      " bytes, got " + std::to_string(base));
    bytes.resize(base + 131);
    EXPECT_NE(error_of(v, bytes).find("need at least " + std::to_string(base + 132)), std::string::npos);
    // A hostile count: the need is computed without wrapping and nothing is reserved.
    b.words[1] = 0xFFFFFFFF;
    EXPECT_EQ(error_of(v, b.bytes()), "tesk truncated: need at least " +
                                          std::to_string(base + 44ull * 0xFFFFFFFFull) +
                                          " bytes, got " + std::to_string(base));
  }
}

TEST(TeskParse, CodebookLengthBeforeDirectorySize) {
  Builder b(V3);
  b.count_from_entries = false;
  b.words[1] = 5;
  b.words[2] = 0;
  EXPECT_EQ(error_of(V3, b.bytes()), "header codebook is 0 floats, want 28 (cb2|cb3|cb4)");
}

// ---------------------------------------------------------------- directory

TEST(TeskDirectory, EntriesParsedInFileOrder) {
  for (TeskVersion v : {V2, V3}) {
    Builder b(v);
    Entry a = f32_entry({1.0f, 2.0f, 3.0f});
    Entry q = raw_entry(fmt::DTYPE_CQ, std::vector<uint8_t>(10, 1));
    q.ndim = 2;
    q.dims = {5, 7, 0xAAAA, 0xBBBB};  // dims past ndim are kept as stored
    q.group = 0xFFFFFFFF;
    q.bits = 200;
    Entry z = raw_entry(fmt::DTYPE_BYTES, {});
    z.ndim = 0;
    b.entries = {a, q, z};
    TeskImage img = parsed(b);
    ASSERT_EQ(img.tensor_count(), 3u);
    size_t data_at = b.directory_at() + 3 * 44;
    const auto& e0 = img.entry(0);
    EXPECT_EQ(e0.dtype, fmt::DTYPE_F32);
    EXPECT_EQ(e0.ndim, 1);
    EXPECT_EQ(e0.dims[0], 3u);
    EXPECT_EQ(e0.offset, data_at);
    EXPECT_EQ(e0.nbytes, 12u);
    const auto& e1 = img.entry(1);
    EXPECT_EQ(e1.dtype, fmt::DTYPE_CQ);
    EXPECT_EQ(e1.dims, (std::array<uint64_t, 4>{5, 7, 0xAAAA, 0xBBBB}));
    EXPECT_EQ(e1.offset, data_at + 12);
    EXPECT_EQ(e1.nbytes, 10u);
    EXPECT_EQ(e1.group, 0xFFFFFFFFu);
    EXPECT_EQ(e1.bits, 200);
    EXPECT_EQ(img.entry(2).ndim, 0);
    EXPECT_EQ(img.entry(2).offset, data_at + 22);  // empty data at the very end of the file
    EXPECT_EQ(img.buffer().size(), data_at + 22);
    EXPECT_THROW((void)img.entry(3), std::out_of_range);
  }
}

TEST(TeskDirectory, BadNdimBeforeRange) {
  Builder b(V2);
  Entry e = f32_entry({1.0f});
  e.ndim = 5;
  e.offset = 1ull << 50;  // also out of range: ndim is tested first
  b.entries = {f32_entry({0.0f}), e};
  EXPECT_EQ(error_of(V2, b.bytes()), "tensor 1 has ndim 5, want 0..=4");
  b.entries[1].ndim = 255;
  EXPECT_EQ(error_of(V2, b.bytes()), "tensor 1 has ndim 255, want 0..=4");
  b.entries[1].ndim = 4;
  std::vector<uint8_t> bytes = b.bytes();
  EXPECT_EQ(error_of(V2, bytes), "tensor 1 spans 1125899906842624..1125899906842628 but the file is " +
                                     std::to_string(bytes.size()) + " bytes");
}

TEST(TeskDirectory, FirstBadEntryWins) {
  Builder b(V3);
  Entry far = f32_entry({1.0f});
  far.offset = 1u << 20;
  Entry bad = f32_entry({1.0f});
  bad.ndim = 6;
  b.entries = {f32_entry({1.0f}), far, bad};
  EXPECT_EQ(error_of(V3, b.bytes()).rfind("tensor 1 spans ", 0), 0u);
  std::swap(b.entries[1], b.entries[2]);
  EXPECT_EQ(error_of(V3, b.bytes()), "tensor 1 has ndim 6, want 0..=4");
}

TEST(TeskDirectory, SpanEndingExactlyAtTheFileEndPasses) {
  Builder b(V2);
  b.entries = {f32_entry({1.0f, 2.0f})};
  std::vector<uint8_t> bytes = b.bytes();
  EXPECT_EQ(error_of(V2, bytes), "<parsed>");
  b.entries[0].nbytes = 9;  // one byte past the end
  bytes = b.bytes();
  size_t off = b.directory_at() + 44;
  EXPECT_EQ(error_of(V2, bytes), "tensor 0 spans " + std::to_string(off) + ".." + std::to_string(off + 9) +
                                     " but the file is " + std::to_string(bytes.size()) + " bytes");
  // An empty tensor at offset == file size is inside; one past is not.
  b.entries[0] = raw_entry(fmt::DTYPE_BYTES, {});
  b.entries[0].offset = b.directory_at() + 44;
  EXPECT_EQ(b.bytes().size(), b.directory_at() + 44);
  EXPECT_EQ(error_of(V2, b.bytes()), "<parsed>");
  b.entries[0].offset = b.directory_at() + 45;
  EXPECT_EQ(error_of(V2, b.bytes()).rfind("tensor 0 spans ", 0), 0u);
}

TEST(TeskDirectory, OverflowingSpanIsOutOfRange) {
  Builder b(V2);
  Entry e = f32_entry({1.0f, 2.0f, 3.0f, 4.0f});
  e.offset = UINT64_MAX - 7;  // + 16 wraps to 8
  e.nbytes = 16;
  b.entries = {e};
  std::vector<uint8_t> bytes = b.bytes();
  // The end is printed as the true sum, past 64 bits.
  EXPECT_EQ(error_of(V2, bytes), "tensor 0 spans 18446744073709551608..18446744073709551624 but the file is " +
                                     std::to_string(bytes.size()) + " bytes");
  b.entries[0].offset = 8;
  b.entries[0].nbytes = UINT64_MAX;
  auto r = TeskImage::from_bytes(V2, b.bytes());
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is<TeskError::BlobOutOfRange>());
  EXPECT_EQ(r.error().as<TeskError::BlobOutOfRange>().nbytes, UINT64_MAX);
}

// ---------------------------------------------------------------- accessors

// binary16 -> binary32 by value arithmetic, independent of the library.
uint32_t reference_half_bits(uint16_t h) {
  uint32_t sign = (h >> 15) & 1, exp = (h >> 10) & 31, man = h & 1023;
  if (exp == 31) return sign << 31 | 0x7F800000u | man << 13;  // inf, NaN with payload
  double mag = exp == 0 ? std::ldexp(static_cast<double>(man), -24)
                        : std::ldexp(1.0 + man / 1024.0, static_cast<int>(exp) - 15);
  float f = static_cast<float>(sign ? -mag : mag);
  return float_word(f);
}

TEST(TeskAccessors, HalfWideningOfEveryValue) {
  // All 65536 patterns, plus an odd leftover count so the vector path's tail
  // is exercised.
  std::vector<uint8_t> data;
  for (uint32_t h = 0; h < 65536; ++h) {
    data.push_back(static_cast<uint8_t>(h));
    data.push_back(static_cast<uint8_t>(h >> 8));
  }
  for (uint16_t extra : {0x3C00, 0x8001, 0x7E01, 0xFC00, 0x03FF, 0x7BFF, 0x0001}) {
    data.push_back(static_cast<uint8_t>(extra));
    data.push_back(static_cast<uint8_t>(extra >> 8));
  }
  Builder b(V2);
  b.entries = {raw_entry(fmt::DTYPE_F16, data)};
  TeskImage img = parsed(b);
  auto r = img.tensor_floats(0);
  ASSERT_TRUE(r);
  ASSERT_EQ(r.value().size(), data.size() / 2);
  for (size_t i = 0; i < r.value().size(); ++i) {
    uint16_t h = static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
    ASSERT_EQ(float_word(r.value()[i]), reference_half_bits(h)) << "half 0x" << std::hex << h;
  }
}

TEST(TeskAccessors, HalfTailsOfEveryLength) {
  std::mt19937 rng(3);
  for (size_t n = 0; n < 40; ++n) {
    std::vector<uint8_t> data(2 * n);
    for (auto& x : data) x = static_cast<uint8_t>(rng());
    Builder b(V3);
    Entry lead = raw_entry(fmt::DTYPE_BYTES, {1});  // misaligns the half data by one byte
    b.entries = {lead, raw_entry(fmt::DTYPE_F16, data)};
    TeskImage img = parsed(b);
    auto r = img.tensor_floats(1);
    ASSERT_TRUE(r);
    ASSERT_EQ(r.value().size(), n);
    for (size_t i = 0; i < n; ++i)
      EXPECT_EQ(float_word(r.value()[i]), reference_half_bits(static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8)));
  }
}

TEST(TeskAccessors, F32CopiedBitForBit) {
  Builder b(V2);
  std::vector<float> v = {0.0f, -0.0f, 1.5f, -3.25e-39f, INFINITY, std::nanf("7")};
  b.entries = {raw_entry(fmt::DTYPE_BYTES, {9, 9, 9}), f32_entry(v)};  // unaligned data
  TeskImage img = parsed(b);
  auto r = img.tensor_floats(1);
  ASSERT_TRUE(r);
  ASSERT_EQ(r.value().size(), v.size());
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(float_word(r.value()[i]), float_word(v[i]));
}

TEST(TeskAccessors, FloatsRaggedAndDtypeErrors) {
  Builder b(V2);
  b.entries = {raw_entry(fmt::DTYPE_F16, std::vector<uint8_t>(7, 0)),
               raw_entry(fmt::DTYPE_F32, std::vector<uint8_t>(6, 0)),
               raw_entry(fmt::DTYPE_BYTES, std::vector<uint8_t>(8, 0)),
               raw_entry(fmt::DTYPE_CQ, std::vector<uint8_t>(8, 0)),
               raw_entry(0, {}), raw_entry(fmt::DTYPE_F32, {}), raw_entry(fmt::DTYPE_F16, {})};
  TeskImage img = parsed(b);
  EXPECT_EQ(img.tensor_floats(0).error().to_string(), "tensor 0 has 7 bytes, not a whole element count");
  EXPECT_EQ(img.tensor_floats(1).error().to_string(), "tensor 1 has 6 bytes, not a whole element count");
  EXPECT_EQ(img.tensor_floats(2).error().to_string(), "tensor 2 has dtype 4, want 1");
  EXPECT_EQ(img.tensor_floats(3).error().to_string(), "tensor 3 has dtype 3, want 1");
  EXPECT_EQ(img.tensor_floats(4).error().to_string(), "tensor 4 has dtype 0, want 1");
  EXPECT_TRUE(img.tensor_floats(5).value().empty());
  EXPECT_TRUE(img.tensor_floats(6).value().empty());
  EXPECT_THROW((void)img.tensor_floats(7), std::out_of_range);
}

TEST(TeskAccessors, BytesBorrowFromTheImage) {
  Builder b(V3);
  b.entries = {f32_entry({1.0f}), raw_entry(fmt::DTYPE_BYTES, {'a', 'b', 'c'})};
  std::vector<uint8_t> source = b.bytes();
  auto r = TeskImage::from_bytes(V3, source);
  ASSERT_TRUE(r);
  std::fill(source.begin(), source.end(), 0);  // from_bytes copied
  const TeskImage& img = r.value();
  auto bytes = img.tensor_bytes(1);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes.value().begin(), bytes.value().end()), "abc");
  EXPECT_EQ(bytes.value().data(), img.buffer().data() + img.entry(1).offset);
  EXPECT_EQ(img.tensor_bytes(0).error().to_string(), "tensor 0 has dtype 2, want 4");
  EXPECT_THROW((void)img.tensor_bytes(2), std::out_of_range);
}

// A dtype-3 entry of `rows` x `cols`: codes then binary16 scales.
Entry cq_entry(uint32_t rows, uint32_t cols, uint32_t group, uint8_t bits_code,
               const std::vector<uint8_t>& codes, const std::vector<uint16_t>& scales) {
  Entry e;
  e.dtype = fmt::DTYPE_CQ;
  e.ndim = 2;
  e.dims = {rows, cols, 0, 0};
  e.group = group;
  e.bits = bits_code;
  e.data = codes;
  for (uint16_t s : scales) {
    e.data.push_back(static_cast<uint8_t>(s));
    e.data.push_back(static_cast<uint8_t>(s >> 8));
  }
  return e;
}

// Dequantised element (r, c) by the definition: levels times scale, then the
// orthonormal Hadamard matrix of the group, in double precision.
double reference_dequant(const std::vector<uint8_t>& codes, const std::vector<float>& scales,
                         const std::vector<float>& levels, size_t row_bytes, size_t bits, size_t group,
                         size_t groups_per_row, size_t r, size_t c) {
  size_t g = c / group, j = c % group;
  double sum = 0.0;
  for (size_t k = 0; k < group; ++k) {
    size_t bit = (g * group + k) * bits;
    unsigned code = 0;
    for (size_t i = 0; i < bits; ++i) {
      size_t at = bit + i;
      code |= ((codes[r * row_bytes + at / 8] >> (at % 8)) & 1u) << i;
    }
    int sign = __builtin_popcountll(j & k) % 2 ? -1 : 1;
    sum += sign * static_cast<double>(levels[code]) * scales[r * groups_per_row + g];
  }
  return sum / std::sqrt(static_cast<double>(group));
}

TEST(TeskAccessors, CqUsesDimsGroupBitsAndTheImageCodebook) {
  // 3 rows x 10 cols, group 8 -> padded 16, 2 groups, 4-bit: 8 bytes per row.
  std::mt19937 rng(11);
  std::vector<uint8_t> codes(3 * 8);
  for (auto& c : codes) c = static_cast<uint8_t>(rng());
  std::vector<uint16_t> scales = {0x3C00, 0x3800, 0x4000, 0xBC00, 0x3555, 0x2E66};  // 1, .5, 2, -1, ~.333, ~.1
  Builder b(V2);
  b.entries = {f32_entry({0.0f}), cq_entry(3, 10, 8, 4, codes, scales)};
  b.entries[1].dims[2] = 99;  // ignored: the shape is dims[0] x dims[1]
  TeskImage img = parsed(b);
  auto r = img.tensor_cq(1);
  ASSERT_TRUE(r) << r.error().to_string();
  const auto& t = r.value();
  EXPECT_EQ(t.rows(), 3u);
  EXPECT_EQ(t.cols(), 10u);
  EXPECT_EQ(t.group(), 8u);
  EXPECT_EQ(t.bits_code(), 4);
  std::vector<float> levels(b.codebook.begin() + 12, b.codebook.end());
  std::vector<float> fscales;
  for (uint16_t s : scales) {
    uint32_t u = reference_half_bits(s);
    float f;
    std::memcpy(&f, &u, 4);
    fscales.push_back(f);
  }
  std::vector<float> row(10);
  for (size_t rr = 0; rr < 3; ++rr) {
    t.dequantize_row(rr, row);
    for (size_t c = 0; c < 10; ++c)
      EXPECT_NEAR(row[c], reference_dequant(codes, fscales, levels, 8, 4, 8, 2, rr, c), 1e-5)
          << "row " << rr << " col " << c;
  }
  EXPECT_EQ(img.tensor_cq(0).error().to_string(), "tensor 0 has dtype 2, want 3");
}

TEST(TeskAccessors, CqTwoAndThreeBitSlicesOfTheCodebook) {
  std::mt19937 rng(5);
  for (uint8_t bits : {2, 3}) {
    size_t row_bytes = bits * 16 / 8;  // 1 row x 16 cols, group 16
    std::vector<uint8_t> codes(row_bytes);
    for (auto& c : codes) c = static_cast<uint8_t>(rng());
    Builder b(V3);
    b.entries = {cq_entry(1, 16, 16, bits, codes, {0x3C00})};
    TeskImage img = parsed(b);
    auto r = img.tensor_cq(0);
    ASSERT_TRUE(r) << r.error().to_string();
    size_t first = bits == 2 ? 0 : 4;
    std::vector<float> levels(b.codebook.begin() + first, b.codebook.begin() + first + (1u << bits));
    std::vector<float> row(16);
    r.value().dequantize_row(0, row);
    for (size_t c = 0; c < 16; ++c)
      EXPECT_NEAR(row[c], reference_dequant(codes, {1.0f}, levels, row_bytes, bits, 16, 1, 0, c), 1e-5);
  }
}

TEST(TeskAccessors, CqErrorsAreWrapped) {
  std::vector<uint8_t> codes(16, 0);
  Builder b(V2);
  b.entries = {cq_entry(2, 16, 16, 4, codes, {0x3C00, 0x3C00}),     // 16 + 4 = 20 bytes: fine
               cq_entry(2, 16, 16, 4, codes, {0x3C00}),             // 18 of 20
               cq_entry(2, 16, 24, 4, codes, {0x3C00, 0x3C00}),
               cq_entry(2, 16, 16, 6, codes, {0x3C00, 0x3C00}),
               cq_entry(0, 16, 16, 4, codes, {0x3C00, 0x3C00}),
               cq_entry(2, 0, 16, 4, codes, {0x3C00, 0x3C00})};
  TeskImage img = parsed(b);
  EXPECT_TRUE(img.tensor_cq(0));
  EXPECT_EQ(img.tensor_cq(1).error().to_string(), "cq: ShortBlob { need: 20, got: 18 }");
  EXPECT_EQ(img.tensor_cq(2).error().to_string(), "cq: BadGroup(24)");
  EXPECT_EQ(img.tensor_cq(3).error().to_string(), "cq: UnsupportedBits(6)");
  EXPECT_EQ(img.tensor_cq(4).error().to_string(), "cq: EmptyShape");
  EXPECT_EQ(img.tensor_cq(5).error().to_string(), "cq: EmptyShape");
  auto r = img.tensor_cq(1);
  ASSERT_TRUE(r.error().is<TeskError::Cq>());
  EXPECT_EQ(r.error().as<TeskError::Cq>().error.kind, pinnet::core::CqError::Kind::ShortBlob);
}

TEST(TeskAccessors, CqShapeFromStoredDimsEvenBelowRankTwo) {
  // ndim 1 but dims[1] holds 16: the accessor takes dims[0] and dims[1] as stored.
  Builder b(V2);
  b.entries = {cq_entry(1, 16, 16, 5, std::vector<uint8_t>(4, 0x55), {0x3C00})};
  b.entries[0].ndim = 1;
  TeskImage img = parsed(b);
  auto r = img.tensor_cq(0);
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(r.value().cols(), 16u);
  EXPECT_EQ(r.value().bits_code(), 5);
}

TEST(TeskAccessors, CheckShape) {
  Builder b(V2);
  Entry m = f32_entry(std::vector<float>(32, 0.0f));
  m.ndim = 2;
  m.dims = {4, 8, 5, 6};  // positions past ndim compare as 0
  Entry scalar = f32_entry({1.0f});
  scalar.ndim = 0;
  scalar.dims = {1, 0, 0, 0};
  b.entries = {m, scalar};
  TeskImage img = parsed(b);
  const uint64_t four_eight[] = {4, 8};
  EXPECT_TRUE(img.check_shape(0, four_eight, "q_proj"));
  const uint64_t eight_four[] = {8, 4};
  EXPECT_EQ(img.check_shape(0, eight_four, "q_proj").error().to_string(),
            "tensor 0 (q_proj): shape [4, 8, 0, 0] does not match geometry [8, 4, 0, 0]");
  const uint64_t rank3[] = {4, 8, 0};
  EXPECT_EQ(img.check_shape(0, rank3, "x").error().to_string(),
            "tensor 0 (x): shape [4, 8, 0, 0] does not match geometry [4, 8, 0, 0]");
  EXPECT_TRUE(img.check_shape(1, {}, "gate"));
  const uint64_t one[] = {1};
  EXPECT_EQ(img.check_shape(1, one, "attn_gate").error().to_string(),
            "tensor 1 (attn_gate): shape [0, 0, 0, 0] does not match geometry [1, 0, 0, 0]");
  const uint64_t five[] = {1, 1, 1, 1, 1};
  EXPECT_THROW((void)img.check_shape(0, five, "x"), std::invalid_argument);
  EXPECT_THROW((void)img.check_shape(2, four_eight, "x"), std::out_of_range);
}

TEST(TeskErrorText, BinderVariants) {
  EXPECT_EQ((TeskError{TeskError::TensorCountTooSmall{40, 39}}).to_string(),
            "the canon for this geometry needs 40 tensors, directory has 39");
  EXPECT_EQ((TeskError{TeskError::BadGeometry{"engram geometry"}}).to_string(),
            "header field engram geometry must be non-zero");
  EXPECT_EQ((TeskError{TeskError::BadHeadManifest{7}}).to_string(),
            "7 trailing tensors is not 1 + 3*heads for any head count");
  EXPECT_EQ((TeskError{TeskError::UnknownHeadCode{3}}).to_string(), "unknown probe-head code 3");
  EXPECT_EQ((TeskError{TeskError::ShapeMismatch{12, "attn_gate", {1, 0, 0, 0}, {2, 0, 0, 0}}}).to_string(),
            "tensor 12 (attn_gate): shape [2, 0, 0, 0] does not match geometry [1, 0, 0, 0]");
}

// ---------------------------------------------------------------- files

class TeskFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tesk_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(TeskFiles, LoadMapsTheWholeFile) {
  Builder b(V3);
  b.entries = {f32_entry(std::vector<float>(100000, 0.5f))};  // larger than one read
  std::vector<uint8_t> bytes = b.bytes();
  auto path = dir_ / "model.tesk";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  auto r = TeskImage::load(V3, path.string());
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(r.value().buffer().size(), bytes.size());
  EXPECT_EQ(r.value().tensor_floats(0).value().back(), 0.5f);
  auto wrong = TeskImage::load(V2, path.string());
  ASSERT_FALSE(wrong);
  EXPECT_FALSE(wrong.error().is_file_error());
  EXPECT_EQ(wrong.error().to_string(), "not a tesk blob: tag 0x05e12a84, want 0x05e12a83");
}

// Quantised codes are read in place from the mapping, which each tensor keeps
// alive; a blob without room for the kernels' wide loads after its codes is
// copied instead.
TEST_F(TeskFiles, QuantisedCodesBorrowTheMapping) {
  Builder b(V3);
  const std::vector<uint8_t> codes(64 * 8, 0x1B);  // 64 rows of 32 2-bit codes
  b.entries = {cq_entry(64, 32, 32, 2, codes, std::vector<uint16_t>(64, 0x3C00)),
               cq_entry(1, 32, 32, 2, std::vector<uint8_t>(8, 0x1B), {0x3C00})};
  std::vector<uint8_t> bytes = b.bytes();
  auto path = dir_ / "model.tesk";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  std::optional<TeskImage> image;
  image.emplace(std::move(TeskImage::load(V3, path.string())).value());
  auto big = image->tensor_cq(0);
  auto small = image->tensor_cq(1);
  ASSERT_TRUE(big && small);
  EXPECT_TRUE(big.value().borrows_codes());
  EXPECT_EQ(big.value().codes().data(), image->buffer().data() + image->entry(0).offset);
  EXPECT_FALSE(small.value().borrows_codes());
  const std::vector<float> before = big.value().expand();
  image.reset();  // the tensor still holds the mapping
  EXPECT_EQ(big.value().expand(), before);
  EXPECT_EQ(std::vector<uint8_t>(big.value().codes().begin(), big.value().codes().end()), codes);
}

TEST_F(TeskFiles, UnreadableFilesGiveTheSystemMessage) {
  auto missing = TeskImage::load(V2, (dir_ / "absent.tesk").string());
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_file_error());
  EXPECT_EQ(missing.error().to_string(), std::strerror(ENOENT));
  EXPECT_EQ(std::get<fmt::FileError>(missing.error().v).error_number, ENOENT);
  auto directory = TeskImage::load(V2, dir_.string());
  ASSERT_FALSE(directory);
  EXPECT_TRUE(directory.error().is_file_error());
  EXPECT_EQ(directory.error().to_string(), std::strerror(EISDIR));
}

TEST_F(TeskFiles, EmptyFileIsTruncated) {
  auto path = dir_ / "empty.tesk";
  std::ofstream(path, std::ios::binary).close();
  auto r = TeskImage::load(V3, path.string());
  ASSERT_FALSE(r);
  EXPECT_FALSE(r.error().is_file_error());
  EXPECT_EQ(r.error().to_string(), "tesk truncated: need at least 196 bytes, got 0");
}

}  // namespace

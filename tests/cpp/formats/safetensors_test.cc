// The safetensors reader: every parse check in its order with its exact text,
// the header scanner's leniencies, and the float accessor per dtype.
#include "formats/safetensors.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "core/half.h"

namespace {

using pinnet::formats::SafetensorsFile;
using pinnet::formats::StDtype;

std::vector<uint8_t> file_bytes(const std::string& header, const std::vector<uint8_t>& data = {},
                                uint64_t declared = UINT64_MAX) {
  const uint64_t n = declared == UINT64_MAX ? header.size() : declared;
  std::vector<uint8_t> b;
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
  b.insert(b.end(), header.begin(), header.end());
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

std::string entry(const std::string& name, const std::string& body) {
  return "{\"" + name + "\":{" + body + "}}";
}

TEST(Safetensors, ParseFailuresInOrder) {
  const std::string ok = "\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[0,4]";
  struct Case {
    std::vector<uint8_t> bytes;
    const char* error;
  } cases[] = {
      {std::vector<uint8_t>(7, 0), "buffer too short"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, "truncated header"},
      {file_bytes("{}", {}, UINT64_MAX - 3), "truncated header"},  // 8 + n wraps
      {file_bytes("{\xFF}"), "invalid UTF-8 header"},
      {file_bytes("[1]"), "expected JSON object"},
      {file_bytes(" \xE3\x80\x80 "), "expected JSON object"},  // only White_Space
      {file_bytes("{"), "expected JSON object"},
      {file_bytes(entry("t", "\"shape\":[1],\"data_offsets\":[0,4]")), "missing dtype for t"},
      {file_bytes(entry("t", "\"dtype\": F32,\"shape\":[1],\"data_offsets\":[0,4]")), "missing dtype for t"},
      {file_bytes(entry("t", "\"dtype\":\"F32\",\"shape\":[2,,3],\"data_offsets\":[0,4]")), "missing shape for t"},
      {file_bytes(entry("t", "\"dtype\":\"F32\",\"shape\":[-1],\"data_offsets\":[0,4]")), "missing shape for t"},
      {file_bytes(entry("t", "\"dtype\":\"F32\",\"shape\":[18446744073709551616],\"data_offsets\":[0,4]")),
       "missing shape for t"},
      {file_bytes(entry("t", "\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[0,4")), "missing data_offsets for t"},
      {file_bytes(entry("t", "\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[0,4,8]")),
       "data_offsets must have 2 elements"},
      {file_bytes(entry("t", "\"dtype\":\"U8\",\"shape\":[1],\"data_offsets\":[0,4]")), "unknown dtype U8"},
      // Checks inside one entry run in order; the first bad pair wins.
      {file_bytes(entry("t", "\"dtype\":\"U8\",\"shape\":[,]")), "missing shape for t"},
      {file_bytes("{\"a\":{" + ok + "},\"b\":{},\"c\":{\"dtype\":\"X\"}}"), "missing dtype for b"},
  };
  for (const Case& c : cases) {
    const auto r = SafetensorsFile::parse(c.bytes);
    ASSERT_FALSE(r.ok()) << c.error;
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(Safetensors, HeaderScanner) {
  const std::string f32 = "\"dtype\":\"F32\",";
  struct Case {
    std::string header;
    std::vector<std::pair<std::string, std::vector<uint64_t>>> shapes;  // sorted by name
    std::vector<std::pair<std::string_view, std::string_view>> metadata;
  } cases[] = {
      {"  {}  ", {}, {}},
      {"\n{ , ,\"k\" }", {}, {}},  // a key without ':' ends the scan
      {entry("t", f32 + "\"shape\":[],\"data_offsets\":[0,0]"), {{"t", {}}}, {}},
      {entry("t", "\"data_offsets\":[0,0],\"shape\": [ 2 , +3 ]," + f32), {{"t", {2, 3}}}, {}},
      {entry("a\\\"b", f32 + "\"shape\":[1],\"data_offsets\":[0,4]"), {{"a\\\"b", {1}}}, {}},
      // A later entry of the same name replaces the earlier one.
      {"{\"t\":{" + f32 + "\"shape\":[1],\"data_offsets\":[0,4]},\"t\":{" + f32 +
           "\"shape\":[7],\"data_offsets\":[0,4]}}",
       {{"t", {7}}}, {}},
      {"{\"__metadata__\":{\"k\":\"v\",\"n\": 5 ,\"o\":{\"x\":1},\"q\":\"a\\\"b\",\"e\":\"\"}}",
       {},
       {{"e", ""}, {"k", "v"}, {"n", "5 "}, {"o", "{\"x\":1}"}, {"q", "a\\\"b"}}},
      {"{\"__metadata__\":{\"k\":\"v\"},\"__metadata__\":{\"j\":\"w\"}}", {}, {{"j", "w"}}},
      {"{\"__metadata__\":{\"k\":\"v\"},\"__metadata__\":\"text\"}", {}, {}},
      // Past the first thing that is not a key, the rest of the header is ignored.
      {"{\"__metadata__\":{\"k\":\"v\"} x \"t\":{}}", {}, {{"k", "v"}}},
  };
  for (const Case& c : cases) {
    const auto r = SafetensorsFile::parse(file_bytes(c.header));
    ASSERT_TRUE(r.ok()) << c.header << ": " << r.error();
    const SafetensorsFile& f = r.value();
    ASSERT_EQ(f.tensor_count(), c.shapes.size()) << c.header;
    const auto names = f.tensor_names();
    for (size_t i = 0; i < c.shapes.size(); ++i) {
      EXPECT_EQ(names[i], c.shapes[i].first);
      EXPECT_EQ(f.tensor(names[i])->shape, c.shapes[i].second) << c.header;
    }
    EXPECT_EQ(f.metadata_entries(), c.metadata) << c.header;
  }
}

TEST(Safetensors, FloatsByDtype) {
  const uint16_t half_bits[] = {0x3C00, 0x0001, 0xFC00, 0x7E01};
  std::vector<float> halves;
  for (uint16_t h : half_bits) halves.push_back(pinnet::core::half_to_float(h));
  struct Case {
    std::string dtype, shape;
    std::vector<uint8_t> data;
    std::optional<std::vector<float>> want;
    std::string warning;
  } cases[] = {
      {"F32", "[1]", {0, 0, 0x80, 0x3F, 0xAA, 0xBB, 0xCC}, std::vector<float>{1.0f}, ""},
      {"BF16", "[2]", {0x80, 0x3F, 0x40, 0xC0, 0x11}, std::vector<float>{1.0f, -3.0f}, ""},
      {"F16", "[4]", {0x00, 0x3C, 0x01, 0x00, 0x00, 0xFC, 0x01, 0x7E}, halves, ""},
      {"I8", "[3]", {0x7F, 0x80, 0xFF}, std::vector<float>{127, -128, -1}, ""},
      {"I4", "[6]", {0xF7, 0x08, 0x10}, std::vector<float>{7, -1, -8, 0, 0, 1}, ""},
      {"I4", "[2, 3]", {0xF7, 0x08, 0x10}, std::vector<float>{7, -1, -8, 0, 0, 1}, ""},
      {"I4", "[5]", {0xF7, 0x08, 0x10}, std::nullopt,
       "[pinnet] I4 tensor shape mismatch: bytes*2=6 but shape=[5] (vol=5); returning empty\n"},
      {"I4", "[]", {0xF7}, std::nullopt,
       "[pinnet] I4 tensor shape mismatch: bytes*2=2 but shape=[] (vol=1); returning empty\n"},
      {"I4", "[4294967296, 4294967296]", {0xF7}, std::nullopt,
       "[pinnet] I4 tensor shape mismatch: bytes*2=2 but shape=[4294967296, 4294967296] "
       "(vol=overflow); returning empty\n"},
  };
  for (const Case& c : cases) {
    const std::string offsets = "[0," + std::to_string(c.data.size()) + "]";
    const auto r = SafetensorsFile::parse(file_bytes(
        entry("t", "\"dtype\":\"" + c.dtype + "\",\"shape\":" + c.shape + ",\"data_offsets\":" + offsets),
        c.data));
    ASSERT_TRUE(r.ok()) << r.error();
    testing::internal::CaptureStderr();
    const auto got = r.value().tensor_f32("t");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warning);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.dtype << c.shape;
    if (!got) continue;
    ASSERT_EQ(got->size(), c.want->size()) << c.dtype;
    for (size_t i = 0; i < got->size(); ++i) {
      // Bit patterns, so NaN payloads count.
      EXPECT_EQ(std::bit_cast<uint32_t>((*got)[i]), std::bit_cast<uint32_t>((*c.want)[i]))
          << c.dtype << " value " << i;
    }
  }
}

TEST(Safetensors, OffsetsAreCheckedWhenRead) {
  const auto r = SafetensorsFile::parse(file_bytes(
      "{\"in\":{\"dtype\":\"I8\",\"shape\":[2],\"data_offsets\":[1,3]},"
      "\"rev\":{\"dtype\":\"I8\",\"shape\":[1],\"data_offsets\":[2,1]},"
      "\"past\":{\"dtype\":\"I8\",\"shape\":[1],\"data_offsets\":[3,4]},"
      "\"huge\":{\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[18446744073709551615,18446744073709551615]}}",
      {1, 2, 3}));
  ASSERT_TRUE(r.ok()) << r.error();
  const SafetensorsFile& f = r.value();
  EXPECT_EQ(f.tensor_f32("in"), (std::vector<float>{2, 3}));
  EXPECT_EQ(f.tensor_bytes("in")->size(), 2u);
  for (const char* bad : {"rev", "past", "huge", "absent"}) {
    EXPECT_FALSE(f.tensor_bytes(bad)) << bad;
    EXPECT_FALSE(f.tensor_f32(bad)) << bad;
  }
  EXPECT_EQ(f.tensor("rev")->begin, 2u);
  EXPECT_EQ(f.tensor("huge")->dtype, StDtype::kF32);
  EXPECT_EQ(f.tensor("absent"), nullptr);
}

TEST(Safetensors, LoadReportsTheSystemText) {
  const auto r = SafetensorsFile::load("/nonexistent/dir/model.safetensors");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "No such file or directory");
}

}  // namespace

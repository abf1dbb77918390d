// Test-only driver of the .tesk reader for the Python tests: parses a file and
// prints one JSON object on stdout.
//
//   tesk_cli <2|3> <path> [--floats I] [--cq I] [--bytes I] [--shape I LABEL D...]
//
// A load failure prints {"error": "<text>", "file_error": true|false}. Otherwise
// the header, codebook and directory are printed, followed by the result of
// every requested accessor in order under "accessors". Floats are printed as
// their 32-bit patterns (unsigned integers) so that comparisons are exact and
// NaN payloads survive; dequantised matrices likewise, row-major.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "formats/tesk.h"

namespace {

using pinnet::formats::TeskImage;
using pinnet::formats::TeskVersion;

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

uint32_t bits_of(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

template <class Seq>
std::string float_bits(const Seq& values) {
  std::string out = "[";
  bool first = true;
  for (float f : values) {
    if (!first) out += ',';
    first = false;
    out += std::to_string(bits_of(f));
  }
  return out + "]";
}

std::string u64_list(const std::vector<uint64_t>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ',';
    out += std::to_string(v[i]);
  }
  out += ']';
  return out;
}

// The members of one JSON object, comma-separated.
struct Fields {
  std::string s;
  void raw(const char* name, const std::string& v) {
    if (!s.empty()) s += ',';
    s += json_string(name);
    s += ':';
    s += v;
  }
  void add(const char* name, uint64_t v) { raw(name, std::to_string(v)); }
};

std::string header_json(const TeskImage& img) {
  Fields f;
  if (img.version() == TeskVersion::V2) {
    const auto& h = img.header_v2();
    f.add("tensor_count", h.tensor_count); f.add("codebook_len", h.codebook_len);
    f.add("kv_window", h.kv_window); f.add("reserved", h.reserved); f.add("vocab", h.vocab);
    f.add("d_model", h.d_model); f.add("num_heads", h.num_heads); f.add("num_kv_heads", h.num_kv_heads);
    f.add("num_layers", h.num_layers); f.add("head_dim", h.head_dim); f.add("max_seq_len", h.max_seq_len);
    f.add("hada_n", h.hada_n); f.add("mhc_lanes", h.mhc_lanes); f.add("table_rows", h.table_rows);
    f.add("sub_dim", h.sub_dim); f.add("num_tables", h.num_tables); f.add("conv_taps", h.conv_taps);
    f.add("tap_spacing", h.tap_spacing); f.raw("orders", u64_list(h.orders));
    f.raw("engram_sites", u64_list(h.engram_sites)); f.add("rope_theta_bits", bits_of(h.rope_theta));
  } else {
    const auto& h = img.header_v3();
    f.add("tensor_count", h.tensor_count); f.add("codebook_len", h.codebook_len);
    f.add("reserved3", h.reserved3); f.add("reserved4", h.reserved4); f.add("vocab_size", h.vocab_size);
    f.add("logit_count", h.logit_count); f.add("d_model", h.d_model); f.add("num_heads", h.num_heads);
    f.add("num_kv_heads", h.num_kv_heads); f.add("num_layers", h.num_layers); f.add("head_dim", h.head_dim);
    f.add("v_head_dim", h.v_head_dim); f.add("max_seq_len", h.max_seq_len); f.add("hada_n", h.hada_n);
    f.add("mhc_lanes", h.mhc_lanes); f.add("kv_window", h.kv_window);
    f.add("global_layer_mask", h.global_layer_mask); f.add("qkv_conv_taps", h.qkv_conv_taps);
    f.add("table_rows", h.table_rows); f.add("sub_dim", h.sub_dim); f.add("num_tables", h.num_tables);
    f.add("conv_taps", h.conv_taps); f.add("tap_spacing", h.tap_spacing); f.add("hash_stride", h.hash_stride);
    f.raw("orders", u64_list(h.orders)); f.raw("engram_sites", u64_list(h.engram_sites));
    f.add("rope_theta_bits", bits_of(h.rope_theta));
  }
  return "{" + f.s + "}";
}

std::string directory_json(const TeskImage& img) {
  std::string out = "[";
  for (size_t i = 0; i < img.tensor_count(); ++i) {
    const auto& e = img.entries()[i];
    Fields f;
    f.add("dtype", e.dtype); f.add("ndim", e.ndim);
    f.raw("dims", u64_list({e.dims.begin(), e.dims.end()}));
    f.add("offset", e.offset); f.add("nbytes", e.nbytes); f.add("group", e.group); f.add("bits", e.bits);
    out += i ? ",{" : "{";
    out += f.s;
    out += '}';
  }
  return out + "]";
}

int usage() {
  std::fprintf(stderr, "usage: tesk_cli <2|3> <path> [--floats I] [--cq I] [--bytes I] [--shape I LABEL D...]\n");
  return 2;
}

}  // namespace

static int run(int argc, char** argv) {
  if (argc < 3) return usage();
  TeskVersion version;
  if (std::strcmp(argv[1], "2") == 0) version = TeskVersion::V2;
  else if (std::strcmp(argv[1], "3") == 0) version = TeskVersion::V3;
  else return usage();

  auto loaded = TeskImage::load(version, argv[2]);
  if (!loaded) {
    std::printf("{\"error\":%s,\"file_error\":%s}\n", json_string(loaded.error().to_string()).c_str(),
                loaded.error().is_file_error() ? "true" : "false");
    return 0;
  }
  const TeskImage& img = loaded.value();

  std::string accessors;
  for (int i = 3; i < argc;) {
    std::string op = argv[i];
    if (i + 1 >= argc) return usage();
    size_t index = std::stoul(argv[i + 1]);
    if (index >= img.tensor_count()) return usage();
    Fields f;
    f.raw("op", json_string(op.substr(2)));
    f.add("index", index);
    if (op == "--floats") {
      auto r = img.tensor_floats(index);
      if (r) f.raw("bits", float_bits(r.value()));
      else f.raw("error", json_string(r.error().to_string()));
      i += 2;
    } else if (op == "--cq") {
      auto r = img.tensor_cq(index);
      if (r) {
        const auto& t = r.value();
        f.add("rows", t.rows()); f.add("cols", t.cols()); f.add("group", t.group());
        f.add("bits_code", t.bits_code()); f.add("padded_cols", t.padded_cols());
        f.raw("bits", float_bits(t.expand()));
      } else {
        f.raw("error", json_string(r.error().to_string()));
      }
      i += 2;
    } else if (op == "--bytes") {
      auto r = img.tensor_bytes(index);
      if (r) {
        std::string hex;
        char buf[4];
        for (uint8_t b : r.value()) {
          std::snprintf(buf, sizeof buf, "%02x", b);
          hex += buf;
        }
        f.raw("hex", json_string(hex));
        f.add("offset", static_cast<uint64_t>(r.value().data() - img.buffer().data()));
      } else {
        f.raw("error", json_string(r.error().to_string()));
      }
      i += 2;
    } else if (op == "--shape") {
      if (i + 2 >= argc) return usage();
      std::string label = argv[i + 2];
      std::vector<uint64_t> dims;
      int j = i + 3;
      for (; j < argc && std::strncmp(argv[j], "--", 2) != 0; ++j) dims.push_back(std::stoull(argv[j]));
      if (dims.size() > 4) return usage();
      auto r = img.check_shape(index, dims, label);
      if (r) f.raw("ok", "true");
      else f.raw("error", json_string(r.error().to_string()));
      i = j;
    } else {
      return usage();
    }
    accessors += accessors.empty() ? "{" : ",{";
    accessors += f.s;
    accessors += '}';
  }

  std::string codebook = float_bits(img.codebook());
  std::printf("{\"version\":%d,\"file_size\":%zu,\"header\":%s,\"codebook\":%s,\"tensors\":%s,\"accessors\":[%s]}\n",
              img.version() == TeskVersion::V2 ? 2 : 3, img.buffer().size(), header_json(img).c_str(),
              codebook.c_str(), directory_json(img).c_str(), accessors.c_str());
  return 0;
}

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {  // malformed arguments (std::stoul)
    std::fprintf(stderr, "tesk_cli: %s\n", e.what());
    return usage();
  }
}

// Drives the generation-3 model from scripts (tests/python/test_gen3_model.py):
//
//   gen3_cli load FILE [--depth K]
//   gen3_cli run FILE --ids 1,2,3 [--depth K] [--prefill N] [--int8] [--all]
//                     [--no-cache] [--cache R] [--raw] [--compute float|int8]
//   gen3_cli confidence FILE --ids 1,2,3 [--depth K]
//   gen3_cli kv-bytes FILE --seq N [--int8]
//
// `run` prefills the first N ids (default: all) and steps the rest; it prints
// {"rows": [[logits]...]}: the prefill's last row (every row with --all),
// then one row per step. --no-cache prefills without a cache (every row).
// --raw writes the rows as little-endian float32 instead. Load failures print
// {"error": "<display text>"} and exit with status 2. --compute sets the
// precision of the quantised products (default: PINNET_COMPUTE, else float);
// --int8 is the key/value cache's.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "models/cli_output.h"
#include "models/gen3/load.h"

namespace {

using pinnet::gen3::V3Bundle;
using pinnet::testing::parse_ids;
using pinnet::testing::print_json_string;
using pinnet::testing::print_rows;

struct Args {
  std::string command, file;
  std::optional<uint64_t> depth;
  std::vector<uint32_t> ids;
  std::optional<size_t> prefill;
  bool int8 = false, all = false, no_cache = false, raw = false;
  uint64_t cache = 0, seq = 0;
  pinnet::core::Compute compute = pinnet::core::default_compute();
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gen3_cli load|run|confidence|kv-bytes FILE [options]\n");
    return 64;
  }
  Args a;
  a.command = argv[1];
  a.file = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (opt == "--depth") a.depth = std::strtoull(value(), nullptr, 10);
    else if (opt == "--ids") a.ids = parse_ids(value());
    else if (opt == "--prefill") a.prefill = std::strtoull(value(), nullptr, 10);
    else if (opt == "--cache") a.cache = std::strtoull(value(), nullptr, 10);
    else if (opt == "--seq") a.seq = std::strtoull(value(), nullptr, 10);
    else if (opt == "--int8") a.int8 = true;
    else if (opt == "--all") a.all = true;
    else if (opt == "--no-cache") a.no_cache = true;
    else if (opt == "--raw") a.raw = true;
    else if (opt == "--compute" && i + 1 < argc && pinnet::core::parse_compute(argv[i + 1]))
      a.compute = *pinnet::core::parse_compute(value());
    else {
      std::fprintf(stderr, "gen3_cli: unknown option %s\n", opt.c_str());
      return 64;
    }
  }

  auto loaded = pinnet::gen3::load_v3_file(a.file, a.depth);
  if (!loaded) {
    std::printf("{\"error\": ");
    print_json_string(loaded.error().message());
    std::printf("}\n");
    return 2;
  }
  loaded.value().model.set_compute(a.compute);
  const V3Bundle& b = loaded.value();
  const pinnet::gen3::V3Model& model = b.model;
  const auto& g = model.geometry();
  const size_t width = model.logit_width();

  if (a.command == "load") {
    std::printf("{\"num_layers\": %" PRIu64 ", \"logit_width\": %zu, \"has_head\": %s, "
                "\"global_layers\": [",
                g.num_layers, width, b.head ? "true" : "false");
    for (size_t i = 0; i < g.global_layers.size(); ++i)
      std::printf(i ? ", %" PRIu64 : "%" PRIu64, g.global_layers[i]);
    std::printf("], \"engram_sites\": [");
    for (size_t i = 0; i < g.engram_sites.size(); ++i)
      std::printf(i ? ", %" PRIu64 : "%" PRIu64, g.engram_sites[i]);
    std::printf("]}\n");
    return 0;
  }
  if (a.command == "kv-bytes") {
    std::printf("{\"kv_bytes\": %" PRIu64 "}\n", model.kv_bytes(a.seq, a.int8));
    return 0;
  }
  if (a.command == "confidence") {
    if (!b.head) {
      std::printf("{\"probability\": null}\n");
      return 0;
    }
    const auto [logit, p] = b.head->score(model, a.ids);
    std::printf("{\"logit\": %.9g, \"probability\": %.9g}\n", logit, p);
    return 0;
  }
  if (a.command != "run") {
    std::fprintf(stderr, "gen3_cli: unknown command %s\n", a.command.c_str());
    return 64;
  }

  std::vector<std::vector<float>> rows;
  const size_t n = a.ids.size();
  if (a.no_cache) {
    std::vector<float> all(n * width);
    model.prefill_all(a.ids, nullptr, all);
    for (size_t i = 0; i < n; ++i) rows.emplace_back(all.begin() + i * width, all.begin() + (i + 1) * width);
    print_rows(rows, a.raw);
    return 0;
  }
  const size_t pre = std::min(a.prefill.value_or(n), n);
  pinnet::gen3::KvCache cache = model.new_cache(a.cache != 0 ? a.cache : n, a.int8);
  if (pre > 0) {
    const std::span<const uint32_t> head(a.ids.data(), pre);
    if (a.all) {
      std::vector<float> all(pre * width);
      model.prefill_all(head, &cache, all);
      for (size_t i = 0; i < pre; ++i)
        rows.emplace_back(all.begin() + i * width, all.begin() + (i + 1) * width);
    } else {
      std::vector<float> last(width);
      model.prefill(head, &cache, last);
      rows.push_back(std::move(last));
    }
  }
  for (size_t i = pre; i < n; ++i) {
    std::vector<float> logits(width);
    model.step(a.ids[i], cache, logits);
    rows.push_back(std::move(logits));
  }
  print_rows(rows, a.raw);
  return 0;
}

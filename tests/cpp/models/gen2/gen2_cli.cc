// Drives the generation-2 model from scripts (tests/python/test_gen2_model.py):
//
//   gen2_cli load FILE
//   gen2_cli run FILE --ids 1,2,3 [--prefill N] [--capacity C] [--window W]
//                     [--compute float|int8]
//   gen2_cli head FILE --code K --ids 1,2,3
//
// `load` prints the heads and whether a tokenizer is present. `run` prefills
// the first N ids (default: all) and steps the rest over a state of C ring
// slots (default: the context) and window W; it prints {"rows": [...]}, the
// prefill's last row then one row per step, and "error" with the model's
// message when a call fails (the rows before it stand). `head` prints the
// head's output for the ids (null when absent). Load failures print
// {"error": "<display text>"} and exit with status 2. --compute sets the
// precision of the quantised products (default: PINNET_COMPUTE, else float).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "models/cli_output.h"
#include "models/gen2/load.h"

namespace {

using pinnet::testing::parse_ids;
using pinnet::testing::print_floats;
using pinnet::testing::print_json_string;
using pinnet::testing::print_rows;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gen2_cli load|run|head FILE [options]\n");
    return 64;
  }
  const std::string command = argv[1];
  std::vector<uint32_t> ids;
  std::optional<size_t> prefill;
  std::optional<uint64_t> capacity;
  uint64_t window = 0, code = 0;
  pinnet::core::Compute compute = pinnet::core::default_compute();
  for (int i = 3; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (opt == "--ids") ids = parse_ids(value());
    else if (opt == "--prefill") prefill = std::strtoull(value(), nullptr, 10);
    else if (opt == "--capacity") capacity = std::strtoull(value(), nullptr, 10);
    else if (opt == "--window") window = std::strtoull(value(), nullptr, 10);
    else if (opt == "--code") code = std::strtoull(value(), nullptr, 10);
    else if (opt == "--compute" && i + 1 < argc && pinnet::core::parse_compute(argv[i + 1]))
      compute = *pinnet::core::parse_compute(value());
    else {
      std::fprintf(stderr, "gen2_cli: unknown option %s\n", opt.c_str());
      return 64;
    }
  }

  auto loaded = pinnet::gen2::load_v2_file(argv[2]);
  if (!loaded) {
    std::printf("{\"error\": ");
    print_json_string(loaded.error());
    std::printf("}\n");
    return 2;
  }
  loaded.value().model.set_compute(compute);
  const pinnet::gen2::V2Bundle& b = loaded.value();
  const pinnet::gen2::V2Model& model = b.model;
  const auto& g = model.geometry();

  if (command == "load") {
    std::printf("{\"tokenizer\": %s, \"heads\": [", b.tokenizer ? "true" : "false");
    for (size_t i = 0; i < b.heads.size(); ++i)
      std::printf(i ? ", [%u, %" PRIu64 "]" : "[%u, %" PRIu64 "]", b.heads[i].code(), b.heads[i].out_dim());
    std::printf("]}\n");
    return 0;
  }
  pinnet::gen2::V2SequenceState state = model.new_state(capacity.value_or(g.max_seq_len), window);
  if (command == "head") {
    const pinnet::gen2::ProbeHead* head = b.head(static_cast<uint8_t>(code));
    const uint32_t pad = b.tokenizer ? b.tokenizer->pad_id() : 0;
    const auto out = head ? head->run(model, ids, pad, state) : std::nullopt;
    std::printf("{\"output\": ");
    if (out) print_floats(*out); else std::printf("null");
    std::printf("}\n");
    return 0;
  }
  if (command != "run") {
    std::fprintf(stderr, "gen2_cli: unknown command %s\n", command.c_str());
    return 64;
  }
  std::vector<std::vector<float>> rows;
  const char* error = nullptr;
  const size_t pre = std::min(prefill.value_or(ids.size()), ids.size());
  if (pre > 0) {
    std::vector<float> last(g.vocab_size);
    error = model.prefill(std::span<const uint32_t>(ids.data(), pre), state, last);
    if (error == nullptr) rows.push_back(std::move(last));
  }
  for (size_t i = pre; i < ids.size() && error == nullptr; ++i) {
    std::vector<float> logits(g.vocab_size);
    error = model.step(ids[i], state, logits);
    if (error == nullptr) rows.push_back(std::move(logits));
  }
  print_rows(rows, false, true);
  if (error != nullptr) {
    std::printf(", \"error\": ");
    print_json_string(error);
  }
  std::printf(", \"position\": %" PRIu64 "}\n", state.position);
  return 0;
}

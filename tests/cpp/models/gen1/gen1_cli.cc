// Drives the generation-1 model from scripts (tests/python/test_gen1_model.py):
//
//   gen1_cli load FILE
//   gen1_cli decode FILE --ids 4,9,5,7 [--steps 12,30] [--last N]
//   gen1_cli contrastive FILE --ids 4,9
//
// `decode` runs the encoder over --ids, the decoder's step on the start id 1,
// then one step per --steps id, and prints {"encoder": [[...]...], "rows":
// [[logits]...]} (only the last N rows of logits with --last). `contrastive` prints {"output": [...]} (null without the
// head). Load failures print {"error": "<display text>"} and exit with 2.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/safetensors.h"
#include "models/cli_output.h"
#include "models/gen1/model.h"

using pinnet::testing::parse_ids;
using pinnet::testing::print_floats;
using pinnet::testing::print_json_string;
using pinnet::testing::print_rows;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gen1_cli load|decode|contrastive FILE [options]\n");
    return 64;
  }
  const std::string command = argv[1];
  std::vector<uint32_t> ids, steps;
  size_t last = SIZE_MAX;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--ids") ids = parse_ids(argv[i + 1]);
    else if (opt == "--steps") steps = parse_ids(argv[i + 1]);
    else if (opt == "--last") last = std::stoul(argv[i + 1]);
  }
  auto file = pinnet::formats::SafetensorsFile::load(argv[2]);
  auto fail = [](const std::string& e) {
    std::printf("{\"error\": ");
    print_json_string(e);
    std::printf("}\n");
    return 2;
  };
  if (!file) return fail(file.error());
  auto loaded = pinnet::gen1::Gen1Model::load(file.value());
  if (!loaded) return fail(loaded.error());
  const pinnet::gen1::Gen1Model& model = loaded.value();
  const auto& c = model.config();
  if (command == "load") {
    std::printf("{\"d_model\": %llu, \"contrastive_dim\": %llu}\n",
                static_cast<unsigned long long>(c.d_model),
                static_cast<unsigned long long>(model.contrastive_dim()));
    return 0;
  }
  if (command == "contrastive") {
    const auto out = model.encode_contrastive(ids);
    std::printf("{\"output\": ");
    if (out) print_floats(*out); else std::printf("null");
    std::printf("}\n");
    return 0;
  }
  pinnet::gen1::DecoderState state = model.new_state();
  std::vector<float> enc;
  model.encode(ids, state, &enc);
  std::vector<std::vector<float>> encoder;
  for (size_t t = 0; t < ids.size(); ++t)
    encoder.emplace_back(enc.begin() + t * c.d_model, enc.begin() + (t + 1) * c.d_model);
  std::vector<std::vector<float>> rows;
  std::vector<float> logits(c.vocab_size);
  model.decode_step(1, state, logits);
  rows.push_back(logits);
  for (uint32_t t : steps) {
    model.decode_step(t, state, logits);
    rows.push_back(logits);
  }
  if (rows.size() > last) rows.erase(rows.begin(), rows.end() - static_cast<std::ptrdiff_t>(last));
  std::printf("{\"encoder\": ");
  print_rows(encoder, false, true);
  std::printf("}, \"logits\": ");
  print_rows(rows, false, true);
  std::printf("}}\n");
  return 0;
}

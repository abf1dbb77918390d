// Cost of the constrained-decoding bias per token inside a tool call, on a
// real 16k subword vocabulary.
//
//   bench_constrained [filter] BLOB TOOLS [CALLS]
//
// Writes CALLS (default 400) realistic tool calls for the 5 tools of the
// JSON file TOOLS (bench/five_tools.json)
// (varied names, 3 to 6 keys each, keys in varying order, values with
// spaces, digits and non-ASCII text), tokenizes each with the tokenizer of
// BLOB, and replays it as the decode loop does: a fresh decoder per call
// with the remaining-keys rule, then per id one bias() over the whole
// vocabulary followed by feeding the id's bytes. Every bias() call is timed.
// Prints one JSON line for benchmark "constrained_bias": median, 99th
// percentile and mean over all bias calls inside the calls, the same over
// the calls made while a name or key is being written ("capture_*"), the
// decoder build time per call and the one-off piece-trie build. For the
// decode loop's view: "bias_add_*" is bias() plus adding the vector to the
// logits, "apply_*" the in-place apply() the loop uses instead.
//
// bench/run starts every bench program with the filter alone: without BLOB
// and TOOLS this prints nothing (bench/bench_constrained.py writes the blob of the
// bench-gen3 vocabulary and calls back).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_common.h"
#include "engine/constrained.h"
#include "formats/subword_tokenizer.h"

namespace {

using pinnet::bench::Clock;
using pinnet::engine::ConstrainedDecoder;

using pinnet::bench::kWords;

std::string value_for(const std::string& key, std::mt19937& rng) {
  auto word = [&] { return std::string(kWords[rng() % std::size(kWords)]); };
  if (key == "days" || key == "passengers") return std::to_string(1 + rng() % 9);
  if (key == "amount") return std::to_string(rng() % 5000) + "." + std::to_string(rng() % 100);
  std::string s;
  if (key == "attendees") {
    for (const char* part : {"[\"", "", "@example.com\",\"", "", "@example.com\"]"}) {
      s.append(*part ? std::string(part) : word());
    }
    return s;
  }
  s.append("\"").append(word());
  for (unsigned n = rng() % 4; n > 0; --n) s.append(" ").append(word());
  return s.append("\"");
}

// A compact call as the model writes it between the markers, with a line
// feed on either side.
std::string tool_call(const std::vector<pinnet::engine::ToolSpec>& tools, std::mt19937& rng) {
  const auto& tool = tools[rng() % tools.size()];
  std::vector<std::string> keys = tool.params;
  std::shuffle(keys.begin(), keys.end(), rng);
  keys.resize(std::max<size_t>(std::min<size_t>(keys.size(), 3), keys.size() - rng() % 2));
  std::string s = "\n{\"name\":\"" + tool.snake_name + "\",\"arguments\":{";
  for (size_t i = 0; i < keys.size(); ++i) {
    s += (i ? ",\"" : "\"") + keys[i] + "\":" + value_for(keys[i], rng);
  }
  return s + "}}\n";
}

using Samples = std::vector<double>;
using namespace pinnet::bench;  // NOLINT: timing helpers

}  // namespace

int main(int argc, char** argv) {
  const std::string filter = argc > 1 ? argv[1] : "";
  if (argc < 4 || std::string_view("constrained_bias").find(filter) == std::string_view::npos) {
    return 0;
  }
  const size_t n_calls = argc > 4 ? std::max(1, std::stoi(argv[4])) : 400;
  const std::string blob_text = pinnet::bench::read_file(argv[2]);
  const std::vector<uint8_t> blob(blob_text.begin(), blob_text.end());
  const std::string tools_json = pinnet::bench::read_file(argv[3]);
  auto parsed = pinnet::formats::SubwordTokenizer::parse(blob);
  if (!parsed.ok()) {
    std::fprintf(stderr, "bench_constrained: %s\n", parsed.error().message().c_str());
    return 1;
  }
  const auto& tok = parsed.value();

  const auto trie_start = Clock::now();
  std::vector<std::string> texts;
  for (uint32_t i = 0; i < tok.piece_count(); ++i) texts.emplace_back(tok.piece_bytes(i));
  const pinnet::engine::PieceTrie pieces(texts);
  const double trie_ms = us_since(trie_start) / 1000.0;

  const auto tools = pinnet::engine::parse_tools(tools_json);
  if (tools.empty()) {
    std::fprintf(stderr, "bench_constrained: no tools in %s\n", argv[3]);
    return 1;
  }
  std::mt19937 rng(20250314);
  std::vector<std::vector<uint32_t>> calls;
  for (size_t c = 0; c < n_calls; ++c) calls.push_back(tok.encode(tool_call(tools, rng)));

  std::vector<float> bias(tok.piece_count());
  std::vector<float> logits(tok.piece_count());
  std::mt19937 lrng(7);
  std::uniform_real_distribution<float> u(-10.0f, 10.0f);
  for (float& x : logits) x = u(lrng);
  Samples plain, capture, add, add_capture, apply, apply_capture;
  std::vector<double> build;
  uint64_t allowed_sum = 0;
  for (int pass = 0; pass < 2; ++pass) {  // the first pass warms caches and scratch
    for (Samples* s : {&plain, &capture, &add, &add_capture, &apply, &apply_capture}) s->clear();
    build.clear();
    allowed_sum = 0;
    for (const auto& ids : calls) {
      auto start = Clock::now();
      ConstrainedDecoder decoder(tools, pieces);
      decoder.set_remaining_keys_only(true);
      build.push_back(us_since(start));
      for (const uint32_t id : ids) {
        const bool capturing = decoder.capture_mode() != 0;
        start = Clock::now();
        decoder.bias(bias);
        const double bias_us = us_since(start);
        // The bias vector added to the logits (what the loop would do with
        // bias()), then the in-place form the loop uses.
        start = Clock::now();
        decoder.bias(bias);
        for (size_t i = 0; i < logits.size(); ++i) logits[i] += bias[i];
        const double add_us = us_since(start);
        start = Clock::now();
        decoder.apply(logits);
        const double apply_us = us_since(start);
        plain.push_back(bias_us);
        add.push_back(add_us);
        apply.push_back(apply_us);
        if (capturing) {
          capture.push_back(bias_us);
          add_capture.push_back(add_us);
          apply_capture.push_back(apply_us);
          allowed_sum += static_cast<uint64_t>(std::count(bias.begin(), bias.end(), 0.0f));
          // Keep the logits in range: undo the two additions of -1e9.
          for (float& x : logits) x = x < -1e8f ? u(lrng) : x;
        }
        decoder.feed(tok.piece_bytes(id));
      }
    }
  }
  std::printf(
      "{\"name\":\"constrained_bias\",\"vocab\":%u,\"calls\":%zu,\"tokens\":%zu,"
      "\"median_us\":%.3f,\"p99_us\":%.3f,\"mean_us\":%.3f,\"capture_tokens\":%zu,"
      "\"capture_median_us\":%.3f,\"capture_p99_us\":%.3f,\"capture_mean_allowed\":%.1f,"
      "\"bias_add_median_us\":%.3f,\"bias_add_capture_median_us\":%.3f,"
      "\"apply_median_us\":%.3f,\"apply_p99_us\":%.3f,"
      "\"apply_capture_median_us\":%.3f,\"apply_capture_p99_us\":%.3f,"
      "\"decoder_build_us\":%.3f,\"piece_trie_ms\":%.2f}\n",
      tok.piece_count(), calls.size(), plain.size(), percentile(plain, 0.5),
      percentile(plain, 0.99), mean(plain), capture.size(), percentile(capture, 0.5),
      percentile(capture, 0.99),
      capture.empty() ? 0.0 : static_cast<double>(allowed_sum) / static_cast<double>(capture.size()),
      percentile(add, 0.5), percentile(add_capture, 0.5), percentile(apply, 0.5),
      percentile(apply, 0.99), percentile(apply_capture, 0.5), percentile(apply_capture, 0.99),
      percentile(build, 0.5), trie_ms);
  return 0;
}

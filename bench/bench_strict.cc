// Cost of strict tool calls on a real 16k subword vocabulary: the token mask
// per id inside a call, and compiling a tool list into its grammar.
//
//   bench_strict [filter] BLOB TOOLS [CALLS]
//
// Writes CALLS (default 300) calls to the tools of TOOLS
// (bench/five_tools.json) that follow their schemas (every required key, a
// random part of the others, in random order; words with non-ASCII text in
// strings, enum values, digits), tokenizes each
// "<tool_call>\n{...}\n</tool_call>" with the tokenizer of BLOB and replays
// it as the decode loop does with tool_choice "auto": after the open
// marker, per id one apply() over the
// logits (the mask from the grammar state and the piece trie, then the
// logits changed), then the id's bytes fed. Prints one JSON line for
// benchmark "strict_mask": median, 99th percentile and mean of apply() per
// id, the same for ids inside a string and elsewhere, the ids the mask
// refused (must be 0), the median of the first call alone (before the
// shared mask memo knows the tools' states), and the compile time of the
// tool list.
//
// Then benchmark "strict_call" (see strict_call below).
//
// bench/bench_constrained.py writes the blob of the bench-gen3 vocabulary
// and calls this program too.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_common.h"
#include "core/worker_pool.h"
#include "engine/strict_decoder.h"
#include "engine/tool_grammar.h"
#include "formats/json.h"
#include "formats/subword_tokenizer.h"
#include "runners/gen3_runner.h"

namespace {

using pinnet::bench::Clock;
using pinnet::formats::JsonValue;

using pinnet::bench::kWords;

std::string value_for(const JsonValue* s, std::mt19937& rng) {
  auto word = [&] { return std::string(kWords[rng() % std::size(kWords)]); };
  if (const JsonValue* e = s ? s->get("enum") : nullptr) {
    return pinnet::formats::to_json(e->items[rng() % e->items.size()]);
  }
  const JsonValue* t = s ? s->get("type") : nullptr;
  const std::string type = t ? t->text : "string";
  if (type == "integer") return std::to_string(1 + rng() % 9);
  if (type == "number") return std::to_string(rng() % 5000) + "." + std::to_string(rng() % 100);
  if (type == "array") return "[\"" + word() + "@example.com\",\"" + word() + "@example.com\"]";
  std::string out = word();
  for (unsigned n = rng() % 4; n > 0; --n) out.append(" ").append(word());
  return pinnet::formats::json_quote(out);
}

std::string tool_call(const JsonValue& tools, std::mt19937& rng) {
  const JsonValue& item = tools.items[rng() % tools.items.size()];
  const JsonValue& fn = item.get("function") ? *item.get("function") : item;
  const JsonValue& params = *fn.get("parameters");
  std::vector<std::string> keys;
  const JsonValue* required = params.get("required");
  for (const auto& [key, unused] : params.get("properties")->members) {
    const bool needed = required && std::any_of(required->items.begin(), required->items.end(),
                                                [&](const JsonValue& r) { return r.text == key; });
    if (needed || rng() % 2) keys.push_back(key);
  }
  std::shuffle(keys.begin(), keys.end(), rng);
  std::string s = "<tool_call>\n{\"name\":" + pinnet::formats::json_quote(fn.get("name")->text) + ",\"arguments\":{";
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i) s += ",";
    s += pinnet::formats::json_quote(keys[i]) + ":" + value_for(params.get("properties")->get(keys[i]), rng);
  }
  return s + "}}\n</tool_call>";
}

using namespace pinnet::bench;  // NOLINT: timing helpers

}  // namespace

// Benchmark "strict_call": a decode step of bench-gen3 under a forced strict
// call against the same step unconstrained and under the written
// constraint, on the five tools; strict_added_pct is against unconstrained. A step's cost is (time of a 64-id budget - time of a 1-id budget) /
// (ids of the first - 1), so the shared prompt pass cancels out; medians of
// alternating runs. Needs build/cache/bench-gen3.tesk (bench_gen3 writes it).
void strict_call(const std::string& tools_json) {
  constexpr const char* kModel = "build/cache/bench-gen3.tesk";
  if (!pinnet::bench::ensure_model(kModel, "gen3 --preset bench-gen3", "bench_strict")) return;
  auto loaded = pinnet::runners::V3Runner::load_file(kModel);
  if (!loaded) {
    std::fprintf(stderr, "bench_strict: %s\n", loaded.error().message.c_str());
    return;
  }
  const auto& runner = *loaded.value();
  const std::string query = "What's the weather in Lisbon tomorrow, in celsius?";
  pinnet::engine::GenerateOptions free;
  pinnet::engine::GenerateOptions constrained;
  constrained.constrain = true;
  pinnet::engine::GenerateOptions strict;
  strict.strict_tools =
      runner.tool_grammar(tools_json, pinnet::engine::ToolChoice::from_text("required")).value();
  struct Mode {
    pinnet::engine::GenerateOptions options;
    std::vector<double> step_ms;
    size_t ids = 0;
  } modes[] = {{free, {}, 0}, {constrained, {}, 0}, {strict, {}, 0}};
  for (int rep = 0; rep < 9; ++rep) {
    for (Mode& m : modes) {
      double ms[2];
      size_t ids = 0;
      for (const uint64_t budget : {uint64_t{1}, uint64_t{64}}) {
        m.options.max_new_tokens = budget;
        const auto start = Clock::now();
        ids = runner.generate(query, tools_json, m.options).token_ids.size();
        ms[budget == 1 ? 0 : 1] = us_since(start) / 1000.0;
      }
      if (ids > 1 && rep > 0) m.step_ms.push_back((ms[1] - ms[0]) / static_cast<double>(ids - 1));
      m.ids = ids;
    }
  }
  const double free_ms = percentile(modes[0].step_ms, 0.5);
  const double constrained_ms = percentile(modes[1].step_ms, 0.5);
  const double strict_ms = percentile(modes[2].step_ms, 0.5);
  std::printf(
      "{\"name\":\"strict_call\",\"threads\":%zu,\"free_ids\":%zu,\"constrained_ids\":%zu,"
      "\"strict_ids\":%zu,\"free_step_ms\":%.4f,\"constrained_step_ms\":%.4f,"
      "\"strict_step_ms\":%.4f,\"strict_added_pct\":%.1f}\n",
      pinnet::core::WorkerPool::instance().threads(), modes[0].ids, modes[1].ids, modes[2].ids,
      free_ms, constrained_ms, strict_ms, 100.0 * (strict_ms - free_ms) / free_ms);
}

int main(int argc, char** argv) {
  const std::string filter = argc > 1 ? argv[1] : "";
  if (argc < 4) return 0;
  if (std::string_view("strict_call").find(filter) != std::string_view::npos) {
    strict_call(pinnet::bench::read_file(argv[3]));
  }
  if (std::string_view("strict_mask").find(filter) == std::string_view::npos) return 0;
  const size_t n_calls = argc > 4 ? std::max(1, std::stoi(argv[4])) : 300;
  const std::string blob_text = pinnet::bench::read_file(argv[2]);
  const std::vector<uint8_t> blob(blob_text.begin(), blob_text.end());
  const std::string tools_json = pinnet::bench::read_file(argv[3]);
  auto parsed = pinnet::formats::SubwordTokenizer::parse(blob);
  auto tools = pinnet::formats::parse_json(tools_json);
  if (!parsed.ok() || !tools.ok()) {
    std::fprintf(stderr, "bench_strict: the tokenizer blob or the tools JSON did not parse\n");
    return 1;
  }
  const auto& tok = parsed.value();

  std::vector<double> compile_us;
  for (int i = 0; i < 200; ++i) {
    const auto start = Clock::now();
    auto g = pinnet::engine::ToolGrammar::compile(tools_json, pinnet::engine::ToolChoice{});
    compile_us.push_back(us_since(start));
    if (!g.ok()) {
      std::fprintf(stderr, "bench_strict: %s\n", g.error().c_str());
      return 1;
    }
  }
  const auto grammar = pinnet::engine::ToolGrammar::compile(tools_json, pinnet::engine::ToolChoice{}).value();

  std::vector<std::string> texts;
  for (uint32_t i = 0; i < tok.piece_count(); ++i) texts.emplace_back(tok.piece_bytes(i));
  auto start = Clock::now();
  const pinnet::engine::PieceTrie all(texts);
  const pinnet::engine::StrictVocab vocab(all, texts);
  const double vocab_ms = us_since(start) / 1000.0;

  std::mt19937 rng(20250314);
  std::vector<std::vector<uint32_t>> calls;
  for (size_t c = 0; c < n_calls; ++c) calls.push_back(tok.encode(tool_call(tools.value(), rng)));

  std::vector<float> logits(tok.piece_count());
  std::mt19937 lrng(7);
  std::uniform_real_distribution<float> u(-10.0f, 10.0f);
  std::vector<double> all_us, string_us, other_us;
  size_t refused = 0;
  std::vector<double> first_us;  // the first call: nothing in the shared mask memo yet
  for (int pass = 0; pass < 2; ++pass) {  // the first pass warms caches and scratch
    all_us.clear();
    string_us.clear();
    other_us.clear();
    refused = 0;
    for (const auto& ids : calls) {
      pinnet::engine::StrictDecoder decoder(grammar, vocab, std::nullopt, {1});
      for (const uint32_t id : ids) {
        if (!decoder.in_call()) {  // the text up to the open marker
          decoder.feed(tok.piece_bytes(id));
          continue;
        }
        for (float& x : logits) x = x < -1e8f ? u(lrng) : x;  // undo the last mask
        const bool in_string = decoder.state().context() == pinnet::engine::GrammarState::Context::kStringBody;
        start = Clock::now();
        decoder.apply(logits, std::numeric_limits<uint64_t>::max());
        const double us = us_since(start);
        all_us.push_back(us);
        if (pass == 0 && &ids == &calls.front()) first_us.push_back(us);
        (in_string ? string_us : other_us).push_back(us);
        if (!decoder.mask().test(id)) ++refused;
        decoder.feed(tok.piece_bytes(id));
      }
    }
  }
  std::printf(
      "{\"name\":\"strict_mask\",\"vocab\":%u,\"calls\":%zu,\"tokens\":%zu,"
      "\"median_us\":%.3f,\"p99_us\":%.3f,\"mean_us\":%.3f,"
      "\"string_tokens\":%zu,\"string_median_us\":%.3f,\"string_p99_us\":%.3f,"
      "\"other_median_us\":%.3f,\"other_p99_us\":%.3f,\"refused\":%zu,"
      "\"first_call_median_us\":%.3f,\"compile_median_us\":%.2f,\"compile_p99_us\":%.2f,"
      "\"vocab_classes_ms\":%.2f}\n",
      tok.piece_count(), calls.size(), all_us.size(), percentile(all_us, 0.5), percentile(all_us, 0.99),
      mean(all_us), string_us.size(), percentile(string_us, 0.5), percentile(string_us, 0.99),
      percentile(other_us, 0.5), percentile(other_us, 0.99), refused, percentile(first_us, 0.5),
      percentile(compile_us, 0.5),
      percentile(compile_us, 0.99), vocab_ms);
  return refused == 0 ? 0 : 1;
}

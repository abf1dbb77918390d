// Whether forced and drafted ids keep the ids of step-by-step greedy
// decoding on a real generation-3 model, and where not, how close the call
// was. Reads pairs of lines (a query, then its tools JSON) from stdin; runs
// each as a strict call (tool choice "auto") both ways and prints a JSON line
// per query: the ids, whether they agree, and at the first difference the
// two ids' logits at that position of the step path (model steps from the
// prompt pass) with their gap, absolute and relative to the larger logit.
// A last line sums up.
//
// Usage: bench_speculation_agreement MODEL [float|int8] [kv_int8] < pairs
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "engine/completion_text.h"
#include "engine/decode_loop.h"
#include "models/gen3/load.h"
#include "runners/gen3_runner.h"

using namespace pinnet;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s MODEL [float|int8] [kv_int8] < pairs\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const core::Compute compute =
      argc > 2 && std::string(argv[2]) == "int8" ? core::Compute::kInt8 : core::Compute::kFloat;
  const bool kv_int8 = argc > 3 && std::string(argv[3]) == "kv_int8";
  auto runner = runners::V3Runner::load_file(path, std::nullopt, compute);
  auto bundle = gen3::load_v3_file(path, std::nullopt);
  if (!runner.ok() || !bundle.ok()) {
    std::fprintf(stderr, "cannot load %s\n", path.c_str());
    return 1;
  }
  const runners::V3Runner& r = *runner.value();
  gen3::V3Model& model = bundle.value().model;
  model.set_compute(compute);
  const uint64_t budget = 256;
  std::vector<float> logits(model.logit_width());
  size_t queries = 0, same = 0, near_ties = 0, ids_total = 0;
  double worst_rel = 0;
  std::string query, tools;
  while (std::getline(std::cin, query) && std::getline(std::cin, tools)) {
    auto grammar = r.tool_grammar(tools, engine::ToolChoice::from_text("auto"));
    if (!grammar.ok()) continue;
    engine::GenerateOptions o;
    o.max_new_tokens = budget;
    o.kv_int8 = kv_int8;
    o.strict_tools = grammar.value();
    r.set_speculation(false, false);
    const engine::GenerateOutput step = r.generate(query, tools, o);
    r.set_speculation(true, true);
    const engine::GenerateOutput fast = r.generate(query, tools, o);
    ++queries;
    ids_total += step.token_ids.size();
    const bool agree = step.token_ids == fast.token_ids && step.stop == fast.stop;
    same += agree;
    std::printf("{\"query\": %zu, \"ids\": %zu, \"same\": %s", queries, step.token_ids.size(),
                agree ? "true" : "false");
    if (!agree) {
      const auto at = std::mismatch(step.token_ids.begin(), step.token_ids.end(),
                                    fast.token_ids.begin(), fast.token_ids.end());
      const size_t j = static_cast<size_t>(at.first - step.token_ids.begin());
      // An end id where the other path went on shows as the end of its ids.
      const uint32_t a = j < step.token_ids.size() ? step.token_ids[j] : engine::kGen3Policy.eos;
      const uint32_t b = j < fast.token_ids.size() ? fast.token_ids[j] : engine::kGen3Policy.eos;
      const std::string prompt = engine::build_prompt(query, tools, std::nullopt);
      const engine::PromptIds ids = engine::prompt_ids(engine::kGen3Policy, bundle.value().tokenizer,
                                                       prompt, model.geometry().max_seq_len, budget);
      gen3::KvCache cache = model.new_cache(ids.ids.size() + j + 1, kv_int8);
      model.prefill(ids.ids, &cache, logits);
      for (size_t i = 0; i < j; ++i) model.step(step.token_ids[i], cache, logits);
      const double la = logits[a], lb = logits[b];
      const double gap = la - lb;
      const double rel = std::fabs(gap) / std::max({std::fabs(la), std::fabs(lb), 1e-30});
      worst_rel = std::max(worst_rel, rel);
      near_ties += rel < 1e-3;
      std::printf(", \"at\": %zu, \"step_id\": %u, \"fast_id\": %u, \"step_logit\": %.7g, "
                  "\"fast_logit\": %.7g, \"gap\": %.3g, \"relative_gap\": %.3g",
                  j, a, b, la, lb, gap, rel);
    }
    std::printf("}\n");
    std::fflush(stdout);
  }
  std::printf("{\"summary\": true, \"compute\": \"%s\", \"kv_int8\": %s, \"queries\": %zu, "
              "\"same\": %zu, \"changed\": %zu, \"near_ties\": %zu, \"worst_relative_gap\": %.3g, "
              "\"ids\": %zu}\n",
              compute == core::Compute::kInt8 ? "int8" : "float", kv_int8 ? "true" : "false",
              queries, same, queries - same, near_ties, worst_rel, ids_total);
  return 0;
}

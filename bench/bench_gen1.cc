// Generation-1 model speed on the bench-gen1 configuration (the defaults
// with feed-forward on and "swiglu": 12 encoder and 8 decoder blocks of 512,
// 8/4 heads, ffn 2048, vocabulary 8192): encoder tokens/s on a 256-token
// prompt, decoder tokens/s (steps after that prompt), and the 4-bit and
// output-head products of one decoder step alone, to give the step's
// non-product share; at 1 and 2 threads (the program re-executes itself per
// thread count; the children print the JSON lines). Medians of 7 runs.
// The model file is written once with
//   python3 -m pinnet_tools.gen1 --preset bench-gen1 --out build/cache/bench-gen1.safetensors
// when missing (run from the repository root, as bench/run does).
//
// Usage: bench_gen1 [filter]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/int4.h"
#include "core/worker_pool.h"
#include "formats/safetensors.h"
#include "core/vec.h"
#include "models/gen1/model.h"

namespace {

using namespace pinnet::bench;  // NOLINT: the benchmark helpers

constexpr const char* kChildVar = "PINNET_BENCH_GEN1_CHILD";
constexpr int kReps = 7;
constexpr const char* kModelPath = "build/cache/bench-gen1.safetensors";

// The products of one decoder step on fixed inputs: every block's 4-bit
// layers (self and cross attention, feed-forward) and the tied output head.
double step_products_seconds(const pinnet::gen1::Gen1Model& model) {
  const auto& c = model.config();
  std::vector<float> x(std::max(c.d_model, c.ffn_dim), 0.25f), y(std::max(c.d_model, c.ffn_dim));
  std::vector<float> logits(c.vocab_size);
  auto linear = [&](const pinnet::core::Int4Linear& l) {
    pinnet::core::int4_matvec(l, std::span<const float>(x.data(), l.in_features),
                              std::span<float>(y.data(), l.out_features));
  };
  return median_seconds([&] {
    for (const auto& b : model.decoder_blocks()) {
      for (const auto* a : {&b.self_attn, &b.cross_attn})
        for (const auto* l : {&a->wq, &a->wk, &a->wv, &a->wo}) linear(*l);
      if (b.ffn)
        for (const auto* l : {&b.ffn->gate_proj, &b.ffn->up_proj, &b.ffn->down_proj}) linear(*l);
    }
    for (size_t v = 0; v < c.vocab_size; ++v)
      logits[v] = pinnet::models::dot(model.embedding().data() + v * c.d_model, x.data(), c.d_model);
  });
}

int run_benchmarks(const char* filter) {
  const unsigned threads = static_cast<unsigned>(pinnet::core::WorkerPool::instance().threads());
  auto file = pinnet::formats::SafetensorsFile::load(kModelPath);
  if (!file) {
    std::fprintf(stderr, "bench_gen1: %s\n", file.error().c_str());
    return 1;
  }
  auto loaded = pinnet::gen1::Gen1Model::load(file.value());
  if (!loaded) {
    std::fprintf(stderr, "bench_gen1: %s\n", loaded.error().c_str());
    return 1;
  }
  const pinnet::gen1::Gen1Model& model = loaded.value();
  const auto& c = model.config();
  std::vector<float> logits(c.vocab_size);
  const std::vector<uint32_t> prompt = random_ids(256, c.vocab_size, 1);
  const std::vector<uint32_t> next = random_ids(32, c.vocab_size, 2);
  if (wanted("gen1_encoder", filter)) {
    std::vector<double> secs;
    for (int rep = 0; rep < kReps; ++rep) {
      pinnet::gen1::DecoderState s = model.new_state();
      const auto t0 = Clock::now();
      model.encode(prompt, s);
      secs.push_back(seconds_since(t0));
    }
    print_line("gen1_encoder", threads, prompt.size(), median(secs));
  }
  if (wanted("gen1_decoder", filter)) {
    std::vector<double> secs;
    for (int rep = 0; rep < kReps; ++rep) {
      pinnet::gen1::DecoderState s = model.new_state();
      model.encode(prompt, s);
      model.decode_step(1, s, logits);
      const auto t0 = Clock::now();
      for (uint32_t t : next) model.decode_step(t, s, logits);
      secs.push_back(seconds_since(t0));
    }
    const double step = median(secs) / static_cast<double>(next.size());
    const double products = step_products_seconds(model);
    char extra[96];
    std::snprintf(extra, sizeof extra, ", \"products_seconds\": %.6g, \"non_product_share\": %.3f",
                  products, 1.0 - products / step);
    print_line("gen1_decoder", threads, next.size(), median(secs), extra);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* filter = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
  if (!wanted("gen1_encoder", filter) && !wanted("gen1_decoder", filter)) return 0;
  if (std::getenv(kChildVar) != nullptr) return run_benchmarks(filter);
  if (!ensure_model(kModelPath, "gen1 --preset bench-gen1 --vocab-out build/cache/bench-gen1.vocab",
                    "bench_gen1"))
    return 1;
  return run_per_thread_count(argv, {1, 2}, kChildVar, "bench_gen1");
}

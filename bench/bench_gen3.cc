// Generation-3 model speed on the bench-gen3 geometry (12 blocks of 512,
// vocabulary 16384): decode tokens/s after a 128-token prompt, prefill
// tokens/s for 128- and 512-token prompts, and the quantised products of one
// decode step alone (what the rest of the step is measured against), and the
// batched products of a prefill alone with the GFLOP/s of each shape. Every
// figure is measured for both compute precisions of the products (the
// "compute" field: "float", then "int8").
//
// The worker pool reads its size from the environment once per process, so
// the program re-executes itself with PINNET_NUM_THREADS = 1 and 2; the
// children print the JSON lines. The model file is written once with
//   python3 -m pinnet_tools.gen3 --preset bench-gen3 --out build/cache/bench-gen3.tesk
// when missing (run from the repository root, as bench/run does).
//
// Usage: bench_gen3 [filter]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/hadamard.h"
#include "core/worker_pool.h"
#include "models/gen3/load.h"
#include "models/common/rotations.h"

namespace {

using namespace pinnet::bench;  // NOLINT: the benchmark helpers

constexpr const char* kChildVar = "PINNET_BENCH_GEN3_CHILD";
// Sessions timed per decode and prefill figure; the median is reported (each
// session is new, so its cache pages are touched for the first time).
constexpr int kReps = 7;
constexpr const char* kModelPath = "build/cache/bench-gen3.tesk";

// The quantised products of one decode step: per block
// the three lane matrices and q, k, v, gate, out; per site key and value; the
// tied output.
double step_products_seconds(const pinnet::gen3::V3Model& model) {
  using pinnet::core::CqTensor;
  std::vector<const CqTensor*> tensors;
  for (size_t l = 0; l < model.blocks().size(); ++l) {
    const auto& lw = model.lanes()[l];
    const auto& b = model.blocks()[l];
    for (const CqTensor* t : {&lw.phi_pre, &lw.phi_post, &lw.phi_res, &b.attn.q_proj, &b.attn.k_proj,
                              &b.attn.v_proj, &b.gate_proj, &b.out_proj})
      tensors.push_back(t);
  }
  for (const auto& s : model.sites()) {
    tensors.push_back(&s.key_proj);
    tensors.push_back(&s.value_proj);
  }
  tensors.push_back(&model.embedding());
  // The kernels the step uses: the single-vector ones, every input rotated
  // once (here by the product itself).
  std::vector<std::vector<float>> raw, ys;
  for (const CqTensor* t : tensors) {
    raw.emplace_back(t->cols(), 0.25f);
    ys.emplace_back(t->rows());
  }
  auto once = [&] {
    for (size_t i = 0; i < tensors.size(); ++i) tensors[i]->matvec(raw[i], ys[i]);
  };
  once();
  std::vector<double> samples;
  for (int s = 0; s < 7; ++s) {
    int n = 0;
    const auto t0 = Clock::now();
    do {
      once();
      ++n;
    } while (seconds_since(t0) < 0.2);
    samples.push_back(seconds_since(t0) / n);
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// The batched products of a prefill of m positions on pre-rotated inputs:
// each distinct tensor shape of block 0 (and of the first engram site) timed
// alone, weighted by how often a prefill runs it. Prints the total and the
// GFLOP/s of every shape (2·rows·padded_cols·m flops per product).
void prefill_products(const pinnet::gen3::V3Model& model, unsigned threads, size_t m,
                      const std::string& compute_field) {
  using pinnet::core::CqTensor;
  const auto& lw = model.lanes()[0];
  const auto& b = model.blocks()[0];
  const size_t L = model.blocks().size(), S = model.sites().size();
  struct Shape {
    const char* name;
    const CqTensor* t;
    size_t count;  // products of this shape in one prefill
  };
  std::vector<Shape> shapes = {{"phi_pre_post", &lw.phi_pre, 2 * L}, {"phi_res", &lw.phi_res, L},
                               {"q_gate_out", &b.attn.q_proj, 3 * L}, {"k_v", &b.attn.k_proj, 2 * L}};
  if (S > 0) shapes.push_back({"engram_key_value", &model.sites()[0].key_proj, 2 * S});
  std::mt19937 rng(5);
  std::normal_distribution<float> d(0.0f, 1.0f);
  double total = 0;
  std::string extra = compute_field + ", \"shapes\": {";
  for (size_t k = 0; k < shapes.size(); ++k) {
    const CqTensor& t = *shapes[k].t;
    std::vector<float> x(m * t.padded_cols()), y(m * t.rows());
    for (float& v : x) v = d(rng);
    t.matmul(x, m, y);
    std::vector<double> samples;
    for (int s = 0; s < 5; ++s) {
      int n = 0;
      const auto t0 = Clock::now();
      do {
        t.matmul(x, m, y);
        ++n;
      } while (seconds_since(t0) < 0.05);
      samples.push_back(seconds_since(t0) / n);
    }
    std::sort(samples.begin(), samples.end());
    const double sec = samples[samples.size() / 2];
    total += sec * static_cast<double>(shapes[k].count);
    const double gflops = 2.0 * static_cast<double>(t.rows() * t.padded_cols() * m) / sec * 1e-9;
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s\"%s %llux%llu\": %.1f", k ? ", " : "", shapes[k].name,
                  static_cast<unsigned long long>(t.rows()),
                  static_cast<unsigned long long>(t.padded_cols()), gflops);
    extra += buf;
  }
  extra += "}";
  print_line("gen3_batch_products", threads, m, total, extra.c_str());
}

// Every figure of one compute precision; `field` is its JSON field.
void run_figures(const pinnet::gen3::V3Model& model, unsigned threads, const char* filter,
                 const std::string& field) {
  const uint64_t vocab = model.geometry().vocab_size;
  std::vector<float> logits(model.logit_width());
  if (wanted("gen3_decode", filter)) {
    const std::vector<uint32_t> prompt = random_ids(128, vocab, 1);
    const std::vector<uint32_t> next = random_ids(64, vocab, 2);
    std::vector<double> rates;
    for (int rep = 0; rep < kReps; ++rep) {
      pinnet::gen3::KvCache cache = model.new_cache(prompt.size() + next.size(), false);
      model.prefill(prompt, &cache, logits);
      const auto t0 = Clock::now();
      for (uint32_t t : next) model.step(t, cache, logits);
      rates.push_back(seconds_since(t0));
    }
    std::sort(rates.begin(), rates.end());
    print_line("gen3_decode", threads, next.size(), rates[kReps / 2], field.c_str());
  }
  if (wanted("gen3_prefill", filter)) {
    for (size_t n : {size_t(128), size_t(512)}) {
      const std::vector<uint32_t> prompt = random_ids(n, vocab, 3);
      std::vector<double> secs;
      for (int rep = 0; rep < kReps; ++rep) {
        pinnet::gen3::KvCache cache = model.new_cache(n, false);
        const auto t0 = Clock::now();
        model.prefill(prompt, &cache, logits);
        secs.push_back(seconds_since(t0));
      }
      std::sort(secs.begin(), secs.end());
      print_line("gen3_prefill", threads, n, secs[kReps / 2], field.c_str());
    }
  }
  if (wanted("gen3_step_products", filter)) {
    print_line("gen3_step_products", threads, 1, step_products_seconds(model), field.c_str());
  }
  if (wanted("gen3_batch_products", filter)) {
    for (size_t m : {size_t(128), size_t(512)}) prefill_products(model, threads, m, field);
  }
}

int run_benchmarks(const char* filter) {
  const unsigned threads = static_cast<unsigned>(pinnet::core::WorkerPool::instance().threads());
  auto loaded = pinnet::gen3::load_v3_file(kModelPath, std::nullopt);
  if (!loaded) {
    std::fprintf(stderr, "bench_gen3: %s\n", loaded.error().message().c_str());
    return 1;
  }
  pinnet::gen3::V3Model& model = loaded.value().model;
  // PINNET_BENCH_COMPUTE=float|int8 keeps one precision (for profiling).
  const char* only = std::getenv("PINNET_BENCH_COMPUTE");
  for (pinnet::core::Compute compute : {pinnet::core::Compute::kFloat, pinnet::core::Compute::kInt8}) {
    if (only != nullptr && std::string(only) != pinnet::core::compute_name(compute)) continue;
    model.set_compute(compute);
    const std::string field = std::string(", \"compute\": \"") + pinnet::core::compute_name(compute) + "\"";
    run_figures(model, threads, filter, field);
  }
  return 0;
}


}  // namespace

int main(int argc, char** argv) {
  const char* filter = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
  if (!wanted("gen3_decode", filter) && !wanted("gen3_prefill", filter) &&
      !wanted("gen3_step_products", filter) && !wanted("gen3_batch_products", filter))
    return 0;  // nothing of ours matches
  if (std::getenv(kChildVar) != nullptr) return run_benchmarks(filter);
  if (!pinnet::bench::ensure_model(kModelPath, "gen3 --preset bench-gen3", "bench_gen3"))
    return 1;
  return pinnet::bench::run_per_thread_count(argv, {1, 2}, kChildVar, "bench_gen3");
}

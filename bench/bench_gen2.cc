// Generation-2 model speed on the bench-gen2 geometry (the bench-gen3 widths,
// depth and vocabulary: 12 blocks of 512, 8/2 heads of 64, 4 lanes, engram at
// blocks 1 and 6, vocabulary 16384): decode tokens/s after a 128-token
// prompt and prefill tokens/s for 128- and 512-token prompts, at 1 and 2
// threads (the program re-executes itself per thread count; the children
// print the JSON lines), for both compute precisions of the products (the
// "compute" field: "float", then "int8"). Each figure is the median of 7
// fresh sequences.
// The model file is written once with
//   python3 -m pinnet_tools.gen2 --preset bench-gen2 --out build/cache/bench-gen2.tesk
// when missing (run from the repository root, as bench/run does).
//
// Usage: bench_gen2 [filter]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/worker_pool.h"
#include "models/gen2/load.h"

namespace {

using namespace pinnet::bench;  // NOLINT: the benchmark helpers


constexpr const char* kChildVar = "PINNET_BENCH_GEN2_CHILD";
constexpr int kReps = 7;
constexpr const char* kModelPath = "build/cache/bench-gen2.tesk";

int run_benchmarks(const char* filter) {
  const unsigned threads = static_cast<unsigned>(pinnet::core::WorkerPool::instance().threads());
  auto loaded = pinnet::gen2::load_v2_file(kModelPath);
  if (!loaded) {
    std::fprintf(stderr, "bench_gen2: %s\n", loaded.error().c_str());
    return 1;
  }
  pinnet::gen2::V2Model& model = loaded.value().model;
  const auto& g = model.geometry();
  std::vector<float> logits(g.vocab_size);
  for (pinnet::core::Compute compute :
       {pinnet::core::Compute::kFloat, pinnet::core::Compute::kInt8}) {
    model.set_compute(compute);
    const std::string field =
        std::string(", \"compute\": \"") + pinnet::core::compute_name(compute) + "\"";

    if (wanted("gen2_decode", filter)) {
      const std::vector<uint32_t> prompt = random_ids(128, g.vocab_size, 1);
      const std::vector<uint32_t> next = random_ids(64, g.vocab_size, 2);
      std::vector<double> secs;
      for (int rep = 0; rep < kReps; ++rep) {
        pinnet::gen2::V2SequenceState s = model.new_state(g.generation_capacity(), g.kv_window);
        model.reserve(s, prompt.size() + next.size());
        model.prefill(prompt, s, logits);
        const auto t0 = Clock::now();
        for (uint32_t t : next) model.step(t, s, logits);
        secs.push_back(seconds_since(t0));
      }
      print_line("gen2_decode", threads, next.size(), median(secs), field.c_str());
    }
    if (wanted("gen2_prefill", filter)) {
      for (size_t n : {size_t(128), size_t(512)}) {
        const std::vector<uint32_t> prompt = random_ids(n, g.vocab_size, 3);
        std::vector<double> secs;
        for (int rep = 0; rep < kReps; ++rep) {
          pinnet::gen2::V2SequenceState s = model.new_state(g.generation_capacity(), g.kv_window);
          const auto t0 = Clock::now();
          model.prefill(prompt, s, logits);
          secs.push_back(seconds_since(t0));
        }
        print_line("gen2_prefill", threads, n, median(secs), field.c_str());
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* filter = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
  if (!wanted("gen2_decode", filter) && !wanted("gen2_prefill", filter)) return 0;
  if (std::getenv(kChildVar) != nullptr) return run_benchmarks(filter);
  if (!pinnet::bench::ensure_model(kModelPath, "gen2 --preset bench-gen2 --heads both",
                                   "bench_gen2"))
    return 1;
  return pinnet::bench::run_per_thread_count(argv, {1, 2}, kChildVar, "bench_gen2");
}

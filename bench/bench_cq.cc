// Codebook-quantised products and a memory-bandwidth triad.
//
// The worker pool reads its size from the environment once per process, so
// the program re-executes itself once per thread count with
// PINNET_NUM_THREADS set; the children print the JSON lines.
//
// Usage: bench_cq [filter]   (only benchmarks whose name contains filter)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "bench/bench_common.h"
#include "core/cpu.h"
#include "core/cq.h"
#include "core/hadamard.h"
#include "core/worker_pool.h"

namespace {

using pinnet::core::CqTensor;
using pinnet::core::WorkerPool;

constexpr const char* kChildVar = "PINNET_BENCH_CQ_CHILD";

struct Shape {
  uint64_t rows, cols;
};
const Shape kShapes[] = {{128, 512}, {512, 512}, {2048, 512}, {512, 2048}, {16384, 512}, {4096, 4096}};
const uint8_t kBitsCodes[] = {2, 3, 4, 5};
constexpr uint64_t kGroup = 64;

using pinnet::bench::median_seconds;

CqTensor random_tensor(uint64_t rows, uint64_t cols, uint8_t bits_code, std::mt19937& rng) {
  const uint64_t groups = (cols + kGroup - 1) / kGroup;
  const unsigned bits = bits_code == 5 ? 2 : bits_code;
  const uint64_t code_bytes = rows * groups * kGroup * bits / 8;
  std::vector<uint8_t> blob(code_bytes + 2 * rows * groups);
  std::uniform_int_distribution<int> byte(0, 255), mantissa(0, 1023);
  for (uint64_t i = 0; i < code_bytes; ++i) blob[i] = static_cast<uint8_t>(byte(rng));
  for (uint64_t i = 0; i < rows * groups; ++i) {
    const uint16_t h = static_cast<uint16_t>((8 << 10) | mantissa(rng));  // about 0.01
    blob[code_bytes + 2 * i] = static_cast<uint8_t>(h & 0xFF);
    blob[code_bytes + 2 * i + 1] = static_cast<uint8_t>(h >> 8);
  }
  std::vector<float> codebook(28);
  std::uniform_real_distribution<float> level(-1.0f, 1.0f);
  for (float& v : codebook) v = level(rng);
  auto t = CqTensor::create(rows, cols, kGroup, bits_code, blob, codebook);
  if (!t.ok()) {
    std::fprintf(stderr, "bench_cq: %s\n", t.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(t).value();
}

std::vector<float> random_floats(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

void print_line(const std::string& name, const char* isa, const Shape* shape, const uint64_t* m,
                const uint8_t* bits, unsigned threads, double seconds, double flops, double bytes,
                const char* compute = "float") {
  auto num = [](const uint64_t* v) { return v ? std::to_string(*v) : std::string("null"); };
  const uint64_t rows = shape ? shape->rows : 0, cols = shape ? shape->cols : 0;
  const uint64_t bits_v = bits ? *bits : 0, group = kGroup;
  std::string flops_text = "null";
  if (flops > 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", flops / seconds * 1e-9);
    flops_text = buf;
  }
  std::printf(
      "{\"name\": \"%s\", \"isa\": \"%s\", \"rows\": %s, \"cols\": %s, \"m\": %s, \"bits\": %s, "
      "\"group\": %s, \"compute\": \"%s\", \"threads\": %u, \"seconds\": %.6g, \"gflops\": %s, "
      "\"gbps\": %.3f}\n",
      name.c_str(), isa, num(shape ? &rows : nullptr).c_str(), num(shape ? &cols : nullptr).c_str(),
      num(m).c_str(), num(bits ? &bits_v : nullptr).c_str(), num(bits ? &group : nullptr).c_str(),
      compute, threads, seconds, flops_text.c_str(), bytes / seconds * 1e-9);
  std::fflush(stdout);
}

bool wanted(const std::string& name, const char* filter) {
  return filter == nullptr || name.find(filter) != std::string::npos;
}

void run_benchmarks(const char* filter) {
  const unsigned threads = static_cast<unsigned>(WorkerPool::instance().threads());
  const pinnet::core::Isa isa = pinnet::core::best_isa();
  const char* isa_text = pinnet::core::isa_name(isa);
  std::mt19937 rng(1234);

  for (uint8_t bits : kBitsCodes) {
    for (const Shape& s : kShapes) {
      const std::string suffix = "_b" + std::to_string(bits) + "_" + std::to_string(s.rows) + "x" +
                                 std::to_string(s.cols);
      const std::string mv_name = "cq_matvec" + suffix;
      const bool any_mm = wanted("cq_matmul_m16" + suffix, filter) ||
                          wanted("cq_matmul_m128" + suffix, filter) ||
                          wanted("cq_matmul_m512" + suffix, filter);
      if (!wanted(mv_name, filter) && !any_mm) continue;
      CqTensor t = random_tensor(s.rows, s.cols, bits, rng);
      std::vector<float> x = random_floats(s.cols, rng);
      std::vector<float> x_rot(512 * t.padded_cols());
      for (uint64_t i = 0; i < 512; ++i) {
        const std::vector<float> xi = random_floats(s.cols, rng);
        pinnet::core::pad_and_rotate(
            xi, t.group(), std::span<float>(x_rot.data() + i * t.padded_cols(), t.padded_cols()));
      }
      // Each figure for both precisions, side by side.
      for (pinnet::core::Compute compute : {pinnet::core::Compute::kFloat, pinnet::core::Compute::kInt8}) {
        t.set_compute(compute);
        const char* compute_text = pinnet::core::compute_name(compute);
        // Bytes the kernels stream: the codes (one nibble per weight in the int8
        // form) and the binary16 scales.
        const bool int8 = compute == pinnet::core::Compute::kInt8;
        const double code_bytes =
            int8 ? double(s.rows) * double(t.padded_cols()) / 2 : double(t.codes().size());
        const double weight_bytes = code_bytes + 2.0 * double(s.rows) * double(t.groups_per_row());

        if (wanted(mv_name, filter)) {
          std::vector<float> y(s.rows);
          const double sec = median_seconds([&] { t.matvec(x, y); });
          const uint64_t m = 1;
          print_line(mv_name, isa_text, &s, &m, &bits, threads, sec, 2.0 * s.rows * s.cols,
                     weight_bytes + 4.0 * s.cols, compute_text);
        }
        for (uint64_t m : {uint64_t(16), uint64_t(128), uint64_t(512)}) {
          const std::string name = "cq_matmul_m" + std::to_string(m) + suffix;
          if (!wanted(name, filter)) continue;
          std::vector<float> y(m * s.rows);
          const double sec = median_seconds([&] { t.matmul(x_rot, m, y); }, 5);
          print_line(name, isa_text, &s, &m, &bits, threads, sec, 2.0 * s.rows * s.cols * m,
                     weight_bytes + 4.0 * m * t.padded_cols(), compute_text);
        }
      }
    }
  }

  // STREAM-style triad a = b + 3·c over arrays far larger than the caches,
  // split over the pool like the products. Bytes: read b and c, write a.
  const std::string triad_name = "cq_stream_triad";
  if (wanted(triad_name, filter)) {
    const size_t n = size_t(1) << 26;  // 256 MiB per array
    std::vector<float> a(n, 0.0f), b(n, 1.0f), c(n, 2.0f);
    const size_t chunk = (n + threads - 1) / threads;
    auto triad = [&] {
      WorkerPool::instance().parallel_for(threads, [&](size_t i) {
        const size_t begin = i * chunk, end = std::min(n, begin + chunk);
        float* pa = a.data();
        const float* pb = b.data();
        const float* pc = c.data();
        for (size_t k = begin; k < end; ++k) pa[k] = pb[k] + 3.0f * pc[k];
      });
    };
    const double sec = median_seconds(triad, 5, 0.0);
    print_line(triad_name, isa_text, nullptr, nullptr, nullptr, threads, sec, 0.0, 12.0 * n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* filter = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
  if (std::getenv(kChildVar) != nullptr) {
    run_benchmarks(filter);
    return 0;
  }
  return pinnet::bench::run_per_thread_count(argv, {1, 2}, kChildVar, "bench_cq");
}

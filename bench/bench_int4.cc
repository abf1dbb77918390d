// 4-bit linear layers of generation 1 against a float32 product of the same
// shape and layout (in rows x out columns, y[o] = Σ_i W[i][o]·x[i]).
//
// The float product is the axpy form over columns, four input rows per pass
// so each output vector is loaded and stored once per four rows, compiled for
// AVX2+FMA: the fair baseline a float layer would run on this machine. It
// splits its columns over the pool when the pool has two threads; the int4
// products run on the calling thread and are measured once.
//
// The "_model" variants cycle through kLayers layers of the shape, as a
// model's forward pass does: 24 float layers (96 MiB) do not stay in the
// 32 MiB last-level cache here, 24 int4 layers (12 MiB) do.
//
// The worker pool reads its size from the environment once per process, so
// the program re-executes itself with PINNET_NUM_THREADS = 1 and 2.
//
// Usage: bench_int4 [filter]   (only benchmarks whose name contains filter)
#include <immintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/cpu.h"
#include "core/int4.h"
#include "core/worker_pool.h"

namespace {

using pinnet::bench::median_seconds;
using pinnet::core::Int4Linear;
using pinnet::core::WorkerPool;

constexpr const char* kChildVar = "PINNET_BENCH_INT4_CHILD";

struct Shape {
  uint64_t in, out;
};
const Shape kShapes[] = {{2048, 512}, {512, 2048}};
constexpr size_t kRows = 256;
constexpr size_t kLayers = 24;

std::vector<float> random_floats(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& f : v) f = d(rng);
  return v;
}

// y[c0, c1) = Σ_i x[i]·w[i][c0, c1), 8 columns per instruction.
__attribute__((target("avx2,fma"))) void float_matvec_cols(const float* w, const float* x,
                                                          uint64_t in, uint64_t out, uint64_t c0,
                                                          uint64_t c1, float* y) {
  std::fill(y + c0, y + c1, 0.0f);
  uint64_t i = 0;
  for (; i + 4 <= in; i += 4) {
    const __m256 x0 = _mm256_set1_ps(x[i]), x1 = _mm256_set1_ps(x[i + 1]);
    const __m256 x2 = _mm256_set1_ps(x[i + 2]), x3 = _mm256_set1_ps(x[i + 3]);
    const float* w0 = w + i * out;
    uint64_t o = c0;
    for (; o + 8 <= c1; o += 8) {
      __m256 acc = _mm256_loadu_ps(y + o);
      acc = _mm256_fmadd_ps(_mm256_loadu_ps(w0 + o), x0, acc);
      acc = _mm256_fmadd_ps(_mm256_loadu_ps(w0 + out + o), x1, acc);
      acc = _mm256_fmadd_ps(_mm256_loadu_ps(w0 + 2 * out + o), x2, acc);
      acc = _mm256_fmadd_ps(_mm256_loadu_ps(w0 + 3 * out + o), x3, acc);
      _mm256_storeu_ps(y + o, acc);
    }
    for (; o < c1; ++o) {
      y[o] += w0[o] * x[i] + w0[out + o] * x[i + 1] + w0[2 * out + o] * x[i + 2] +
              w0[3 * out + o] * x[i + 3];
    }
  }
  for (; i < in; ++i)
    for (uint64_t o = c0; o < c1; ++o) y[o] += w[i * out + o] * x[i];
}

void float_matvec(const std::vector<float>& w, const float* x, uint64_t in, uint64_t out,
                  float* y) {
  WorkerPool& pool = WorkerPool::instance();
  const size_t parts = pool.threads();
  if (parts < 2) return float_matvec_cols(w.data(), x, in, out, 0, out, y);
  const uint64_t chunk = (out / parts + 63) / 64 * 64;
  pool.parallel_for((out + chunk - 1) / chunk, [&](size_t p) {
    float_matvec_cols(w.data(), x, in, out, p * chunk, std::min(out, (p + 1) * chunk), y);
  });
}

void print_line(const std::string& name, const Shape& s, size_t n, unsigned threads, double seconds,
                double weight_bytes) {
  const double flops = 2.0 * double(s.in) * double(s.out) * double(n);
  std::printf("{\"name\": \"%s\", \"isa\": \"%s\", \"in\": %llu, \"out\": %llu, \"n\": %zu, "
              "\"threads\": %u, \"seconds\": %.6g, \"us_per_row\": %.3f, \"gflops\": %.3f, "
              "\"gbps\": %.3f}\n",
              name.c_str(), pinnet::core::isa_name(pinnet::core::best_isa()),
              static_cast<unsigned long long>(s.in), static_cast<unsigned long long>(s.out), n,
              threads, seconds, seconds / double(n) * 1e6, flops / seconds * 1e-9,
              weight_bytes / seconds * 1e-9);
  std::fflush(stdout);
}

void run_benchmarks(const char* filter) {
  using pinnet::bench::wanted;
  const unsigned threads = static_cast<unsigned>(WorkerPool::instance().threads());
  std::mt19937 rng(4321);
  for (const Shape& s : kShapes) {
    const std::string suffix = "_" + std::to_string(s.in) + "x" + std::to_string(s.out);
    const std::vector<float> w = random_floats(s.in * s.out, rng);
    auto q = pinnet::core::quantize_int4(w, s.in, s.out);
    if (!q.ok()) {
      std::fprintf(stderr, "bench_int4: %s\n", q.error().c_str());
      std::exit(1);
    }
    const Int4Linear& layer = q.value();
    const double int4_bytes = double(layer.packed.size()) + 4.0 * double(layer.scales.size());
    const double float_bytes = 4.0 * double(w.size());
    const std::vector<float> x = random_floats(s.in, rng);
    std::vector<float> y(s.out);

    if (wanted("float32_matvec" + suffix, filter)) {
      const double sec = median_seconds([&] { float_matvec(w, x.data(), s.in, s.out, y.data()); }, 11);
      print_line("float32_matvec" + suffix, s, 1, threads, sec, float_bytes);
    }
    if (threads == 1 && wanted("int4_matvec" + suffix, filter)) {
      const double sec = median_seconds([&] { pinnet::core::int4_matvec(layer, x, y); }, 11);
      print_line("int4_matvec" + suffix, s, 1, threads, sec, int4_bytes);
    }
    if (wanted("matvec_model" + suffix, filter)) {
      std::vector<std::vector<float>> floats(kLayers, w);
      std::vector<Int4Linear> layers(kLayers, layer);
      size_t at = 0;
      if (wanted("float32_matvec_model" + suffix, filter)) {
        const double sec = median_seconds([&] {
          float_matvec(floats[at], x.data(), s.in, s.out, y.data());
          at = (at + 1) % kLayers;
        }, 11);
        print_line("float32_matvec_model" + suffix, s, 1, threads, sec, float_bytes);
      }
      if (threads == 1 && wanted("int4_matvec_model" + suffix, filter)) {
        const double sec = median_seconds([&] {
          pinnet::core::int4_matvec(layers[at], x, y);
          at = (at + 1) % kLayers;
        }, 11);
        print_line("int4_matvec_model" + suffix, s, 1, threads, sec, int4_bytes);
      }
    }
    const std::vector<float> xs = random_floats(kRows * s.in, rng);
    std::vector<float> ys(kRows * s.out);
    if (threads == 1 && wanted("int4_matmul_rows" + suffix, filter)) {
      const double sec = median_seconds([&] { pinnet::core::int4_matmul_rows(layer, xs, kRows, ys); }, 7);
      print_line("int4_matmul_rows" + suffix, s, kRows, threads, sec, int4_bytes);
    }
    if (threads == 1 && wanted("int4_matvec_x256" + suffix, filter)) {
      const double sec = median_seconds([&] {
        for (size_t r = 0; r < kRows; ++r) {
          pinnet::core::int4_matvec(layer, std::span<const float>(xs).subspan(r * s.in, s.in),
                                    std::span<float>(ys).subspan(r * s.out, s.out));
        }
      }, 7);
      print_line("int4_matvec_x256" + suffix, s, kRows, threads, sec, int4_bytes);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* filter = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
  if (std::getenv(kChildVar) != nullptr) {
    run_benchmarks(filter);
    return 0;
  }
  return pinnet::bench::run_per_thread_count(argv, {1, 2}, kChildVar, "bench_int4");
}

#include "models/gen3/rotations.h"

#include "models/gen3/vec.h"
#include "core/worker_pool.h"

namespace pinnet::gen3 {

void Rotations::reserve(const core::CqTensor& t, size_t m) {
  for (Slot& s : slots_) {
    if (s.group == t.group() && s.padded == t.padded_cols()) {
      if (s.data.size() < m * s.padded) s.data.resize(m * s.padded);
      return;
    }
  }
  Slot s;
  s.group = t.group();
  s.padded = t.padded_cols();
  s.data.resize(m * s.padded);
  slots_.push_back(std::move(s));
}

std::span<const float> Rotations::get(const core::CqTensor& t, const float* src, size_t stride,
                                      size_t m) {
  for (Slot& s : slots_) {
    if (s.group != t.group() || s.padded != t.padded_cols()) continue;
    if (s.data.size() < m * s.padded) s.data.resize(m * s.padded);  // only if not reserved
    if (!s.valid) {
      const size_t cols = t.cols();
      auto one = [&](size_t i) {
        vec_pad_and_rotate(src + i * stride, cols, s.group, s.data.data() + i * s.padded, s.padded);
      };
      if (m >= 16) {
        core::WorkerPool::instance().parallel_for(m, [&](size_t i) { one(i); });
      } else {
        for (size_t i = 0; i < m; ++i) one(i);
      }
      s.valid = true;
    }
    return {s.data.data(), m * s.padded};
  }
  // Not reserved: make room once, then rotate.
  reserve(t, m);
  return get(t, src, stride, m);
}

void product(const core::CqTensor& t, Rotations& rot, const float* src, size_t stride, size_t m,
             float* y) {
  // One vector through a tall matrix: the single-vector kernel is faster
  // than the batched one on one vector by more than the cost of rotating the
  // input again (about 1.5x on a 512 x 512, 4-bit tensor).
  if (m == 1 && t.rows() >= kMatvecRows) {
    t.matvec(std::span<const float>(src, t.cols()), std::span<float>(y, t.rows()));
    return;
  }
  const std::span<const float> x = rot.get(t, src, stride, m);
  t.matmul(x, m, std::span<float>(y, m * t.rows()));
}

void products(Rotations& rot, const float* src, size_t stride, size_t m,
              std::initializer_list<ProductJob> jobs) {
  core::WorkerPool& pool = core::WorkerPool::instance();
  if (m != 1 || jobs.size() < 2 || pool.threads() < 2) {
    for (const ProductJob& j : jobs) product(*j.t, rot, src, stride, m, j.y);
    return;
  }
  // Rotations are filled here, on this thread, so the jobs only read them.
  for (const ProductJob& j : jobs)
    if (j.t->rows() < kMatvecRows) (void)rot.get(*j.t, src, stride, m);
  const ProductJob* list = jobs.begin();
  pool.parallel_for(jobs.size(), [&](size_t i) { product(*list[i].t, rot, src, stride, m, list[i].y); });
}

}  // namespace pinnet::gen3

#include "models/common/rotations.h"

#include "models/common/vec.h"
#include "core/worker_pool.h"

namespace pinnet::models {

void Rotations::reserve(const core::CqTensor& t, size_t m) {
  const uint32_t order = t.input_order(core::best_isa());
  for (Slot& s : slots_) {
    if (s.group == t.group() && s.padded == t.padded_cols() && s.order == order) {
      if (s.data.size() < m * s.padded) s.data.resize(m * s.padded);
      if (s.rotated.size() < m * s.padded) s.rotated.resize(m * s.padded);
      return;
    }
  }
  Slot s;
  s.group = t.group();
  s.padded = t.padded_cols();
  s.order = order;
  s.data.resize(m * s.padded);
  s.rotated.resize(m * s.padded);
  slots_.push_back(std::move(s));
}

std::span<const float> Rotations::get(const core::CqTensor& t, const float* src, size_t stride,
                                      size_t m) {
  const core::Isa isa = core::best_isa();
  const uint32_t order = t.input_order(isa);
  for (Slot& s : slots_) {
    if (s.group != t.group() || s.padded != t.padded_cols() || s.order != order) continue;
    const size_t floats = m * s.padded;
    if (s.data.size() < floats) s.data.resize(floats);  // only if not reserved
    if (!s.valid) {
      const size_t cols = t.cols();
      if (s.rotated.size() < floats) s.rotated.resize(floats);  // only if not reserved
      auto one = [&](size_t i) {
        float* rotated = s.rotated.data() + i * s.padded;
        vec_pad_and_rotate(src + i * stride, cols, s.group, rotated, s.padded);
        t.reorder_inputs(isa, std::span<const float>(rotated, s.padded), 1,
                         std::span<float>(s.data.data() + i * s.padded, s.padded));
      };
      if (m >= 16) {
        core::WorkerPool::instance().parallel_for(m, [&](size_t i) { one(i); });
      } else {
        for (size_t i = 0; i < m; ++i) one(i);
      }
      s.valid = true;
    }
    return {s.data.data(), floats};
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
  t.matmul_reordered(core::best_isa(), &core::WorkerPool::instance(), x, m,
                     std::span<float>(y, m * t.rows()));
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

}  // namespace pinnet::models

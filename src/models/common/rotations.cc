#include "models/common/rotations.h"

#include "core/vec.h"
#include "core/worker_pool.h"

namespace pinnet::models {

bool int8_product(const core::CqTensor& t) { return t.compute() == core::Compute::kInt8; }

uint32_t Rotations::order_of(const core::CqTensor& t) {
  return int8_product(t) ? kInt8Order : t.input_order(core::best_isa());
}

Rotations::Slot& Rotations::slot(const core::CqTensor& t, size_t m) {
  const uint32_t order = order_of(t);
  Slot* found = nullptr;
  for (Slot& s : slots_) {
    if (s.group == t.group() && s.padded == t.padded_cols() && s.order == order) found = &s;
  }
  if (found == nullptr) {
    slots_.emplace_back();
    found = &slots_.back();
    found->group = t.group();
    found->padded = t.padded_cols();
    found->order = order;
  }
  // Grows only when not reserved for m.
  Slot& s = *found;
  const size_t floats = m * s.padded;
  if (s.rotated.size() < floats) s.rotated.resize(floats);
  if (order == kInt8Order) {
    if (s.q.size() < floats) s.q.resize(floats);
    if (s.data.size() < m * t.groups_per_row()) s.data.resize(m * t.groups_per_row());
  } else if (s.data.size() < floats) {
    s.data.resize(floats);
  }
  return s;
}

void Rotations::reserve(const core::CqTensor& t, size_t m) { (void)slot(t, m); }

template <class Finish>
void Rotations::rotate(Slot& s, const core::CqTensor& t, const float* src, size_t stride,
                       size_t m, Finish&& finish) {
  const size_t cols = t.cols();
  auto one = [&](size_t i) {
    float* rotated = s.rotated.data() + i * s.padded;
    vec_pad_and_rotate(src + i * stride, cols, s.group, rotated, s.padded);
    finish(i, rotated);
  };
  if (m >= 16) {
    core::WorkerPool::instance().parallel_for(m, [&](size_t i) { one(i); });
  } else {
    for (size_t i = 0; i < m; ++i) one(i);
  }
  s.valid = true;
}

std::span<const float> Rotations::get(const core::CqTensor& t, const float* src, size_t stride,
                                      size_t m) {
  const core::Isa isa = core::best_isa();
  Slot& s = slot(t, m);
  if (!s.valid) {
    rotate(s, t, src, stride, m, [&](size_t i, const float* rotated) {
      t.reorder_inputs(isa, std::span<const float>(rotated, s.padded), 1,
                       std::span<float>(s.data.data() + i * s.padded, s.padded));
    });
  }
  return {s.data.data(), m * s.padded};
}

Rotations::Int8Inputs Rotations::get_int8(const core::CqTensor& t, const float* src,
                                          size_t stride, size_t m) {
  Slot& s = slot(t, m);
  const size_t groups = t.groups_per_row();
  if (!s.valid) {
    rotate(s, t, src, stride, m, [&](size_t i, const float* rotated) {
      core::CqTensor::quantize_input(std::span<const float>(rotated, s.padded), s.group,
                                     std::span<int8_t>(s.q.data() + i * s.padded, s.padded),
                                     std::span<float>(s.data.data() + i * groups, groups));
    });
  }
  return {{s.q.data(), m * s.padded}, {s.data.data(), m * groups}};
}

void Rotations::fill(const core::CqTensor& t, const float* src, size_t stride, size_t m) {
  if (int8_product(t)) {
    (void)get_int8(t, src, stride, m);
  } else {
    (void)get(t, src, stride, m);
  }
}

void product(const core::CqTensor& t, Rotations& rot, const float* src, size_t stride, size_t m,
             float* y) {
  // The int8 products read the shared quantised copy even for one vector:
  // the product itself picks its single-vector kernel, and q, k, v and gate
  // then rotate and quantise xn once between them.
  if (int8_product(t)) {
    const Rotations::Int8Inputs x = rot.get_int8(t, src, stride, m);
    t.matmul_int8_with(core::best_isa(), &core::WorkerPool::instance(), x.q, x.scales, m,
                       std::span<float>(y, m * t.rows()));
    return;
  }
  const std::span<const float> x = rot.get(t, src, stride, m);
  // One vector takes the single-vector kernel, several times faster than the
  // batched one on one vector (16 x 2048, 4-bit: 2.0 against 6.6 us).
  if (m == 1) {
    t.matvec_reordered(core::best_isa(), &core::WorkerPool::instance(), x,
                       std::span<float>(y, t.rows()));
    return;
  }
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
  for (const ProductJob& j : jobs) rot.fill(*j.t, src, stride, m);
  const ProductJob* list = jobs.begin();
  pool.parallel_for(jobs.size(), [&](size_t i) { product(*list[i].t, rot, src, stride, m, list[i].y); });
}

}  // namespace pinnet::models

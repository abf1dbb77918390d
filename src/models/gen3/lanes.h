// A generation-3 block's lane-mixing parameters; the mixes themselves are
// the shared ones (models/common/lanes.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/cq.h"
#include "models/common/lanes.h"

namespace pinnet::gen3 {

// One block's slice of the lane-mixing parameters (n = mhc_lanes, d = d_model).
struct LaneWeights {
  float a_pre = 0, a_post = 0, a_res = 0;
  std::vector<float> b_pre, b_post;  // n each
  std::vector<float> b_res;          // n·n, row-major
  core::CqTensor phi_pre;            // (n, n·d)
  core::CqTensor phi_post;           // (n, n·d)
  core::CqTensor phi_res;            // (n·n, n·d)

  models::LaneGains gains() const {
    return {a_pre, a_post, a_res, b_pre.data(), b_post.data(), b_res.data()};
  }
};

}  // namespace pinnet::gen3

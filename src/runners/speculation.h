// The engine-wide switches of forced and drafted ids (see GenerateOptions):
// set from Python at any time, read by every call as it starts.
#pragma once

#include <atomic>

#include "engine/generation.h"

namespace pinnet::runners {

class Speculation {
 public:
  void set(bool forced_runs, bool drafts) {
    forced_.store(forced_runs, std::memory_order_relaxed);
    drafts_.store(drafts, std::memory_order_relaxed);
  }
  bool forced_runs() const { return forced_.load(std::memory_order_relaxed); }
  bool drafts() const { return drafts_.load(std::memory_order_relaxed); }
  // `options` with the switches as they stand.
  engine::GenerateOptions applied(const engine::GenerateOptions& options) const {
    engine::GenerateOptions o = options;
    o.forced_runs = forced_runs();
    o.drafts = drafts();
    return o;
  }

 private:
  std::atomic<bool> forced_{engine::speculation_default().first};
  std::atomic<bool> drafts_{engine::speculation_default().second};
};

}  // namespace pinnet::runners

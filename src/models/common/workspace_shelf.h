// WorkspaceShelf<W>, a small pool of one model's scratch workspaces. W is a
// generation's workspace type: default-constructible, with a member `m`
// counting the positions its buffers hold.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace pinnet::models {

// The prefill workspaces a model keeps between calls. An engine may be
// driven from several threads at once: each call takes a workspace of its
// own (a new one if none is free) and gives it back afterwards. Only
// workspaces of at most kKeptPositions positions are kept (about 64 KiB per
// position on the larger generation-3 geometries), and at most kKept of them.
template <typename W>
class WorkspaceShelf {
 public:
  static constexpr size_t kKeptPositions = 1024;
  static constexpr size_t kKept = 1;  // bounds what an idle engine holds

  std::unique_ptr<W> take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<W> ws = std::move(free_.back());
        free_.pop_back();
        return ws;
      }
    }
    return std::make_unique<W>();
  }

  void give_back(std::unique_ptr<W> ws) {
    if (ws == nullptr || ws->m > kKeptPositions) return;  // freed here
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(ws));
  }

  size_t kept() {
    std::lock_guard<std::mutex> lock(mutex_);
    return free_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<W>> free_;
};

}  // namespace pinnet::models

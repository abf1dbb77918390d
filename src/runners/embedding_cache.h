// Recently computed text embeddings, so that ranking the same tool
// descriptions for query after query embeds each description once. An
// embedding is a pure function of the text for a loaded model, so a hit
// returns exactly what a new computation would. Bounded by the bytes it
// holds (texts and vectors); the least recently used entries go first.
// Safe to use from several threads at once.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pinnet::runners {

class EmbeddingCache {
 public:
  explicit EmbeddingCache(size_t max_bytes) : max_bytes_(max_bytes) {}

  std::optional<std::vector<float>> find(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(text);
    if (it == index_.end()) return std::nullopt;
    entries_.splice(entries_.begin(), entries_, it->second);  // now most recent
    return it->second->second;
  }

  void put(std::string_view text, const std::vector<float>& embedding) {
    const size_t bytes = cost(text, embedding);
    if (bytes > max_bytes_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (index_.count(text) != 0) return;
    while (bytes_ + bytes > max_bytes_ && !entries_.empty()) {
      index_.erase(entries_.back().first);
      bytes_ -= cost(entries_.back().first, entries_.back().second);
      entries_.pop_back();
    }
    entries_.emplace_front(std::string(text), embedding);
    index_.emplace(entries_.front().first, entries_.begin());
    bytes_ += bytes;
  }

 private:
  using Entry = std::pair<std::string, std::vector<float>>;
  static size_t cost(std::string_view text, const std::vector<float>& v) {
    return text.size() + v.size() * sizeof(float) + 64;  // 64: list and map overhead
  }

  std::mutex mutex_;
  size_t max_bytes_;
  size_t bytes_ = 0;
  std::list<Entry> entries_;  // most recent first
  // Keys view the texts held by entries_ (list nodes never move).
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

}  // namespace pinnet::runners

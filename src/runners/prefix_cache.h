// Model states after prompt prefixes, so that calls repeating a long prompt
// head (a system turn and a tool list) with a new short query prefill only
// what follows it. Keyed by a mode (the form of the state: a cache form, a
// kind of state) and the prefix's ids (a hash, then a full compare); bounded
// by the bytes the entries hold, the least recently used dropped first.
// Entries never change once kept: a lookup hands out a shared reference and
// the caller copies the state out with no lock held. Safe to use from
// several threads at once.
//
// A prefill cut in pieces gives every position the floats of one uncut pass
// only if each piece runs its products on the same kernels as the uncut pass
// would. What that needs is the model's SplitRule: generation 3 runs every
// product of a pass over all its rows at once, and the float batched kernels
// change their order of summation at a batch width (core/simd/cq_kernels.h,
// kWideBatch), any of them for a single row, so every piece holds that many
// ids (two with int8 products); generation 2 runs a pass in tiles of 128
// positions from the pass's first, so cuts fall on multiples of 128.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace pinnet::runners {

// The counters of one engine's prefix cache, as prefix_cache_info() reports
// them.
struct PrefixCacheInfo {
  uint64_t bytes = 0;     // held by the entries now
  uint64_t capacity = 0;  // the bound (0: disabled)
  uint64_t entries = 0;
  uint64_t hits = 0;      // prompts that started from a kept prefix
  uint64_t misses = 0;    // prompts long enough to cut that found none
};

// The default bound: PINNET_PREFIX_CACHE_BYTES when it is a decimal number
// (0 disables), else 64 MiB: four tool lists of five tools on the 12-block
// benchmark model of width 512 with float key/value caches (13.5 MB a list,
// its two entries), seventeen with int8 ones (3.8 MB).
inline uint64_t default_prefix_cache_bytes() {
  constexpr uint64_t kDefault = uint64_t{64} << 20;
  const char* env = std::getenv("PINNET_PREFIX_CACHE_BYTES");
  if (env == nullptr || *env == '\0') return kDefault;
  uint64_t v = 0;
  for (const char* c = env; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || v > (UINT64_MAX - 9) / 10) return kDefault;
    v = v * 10 + static_cast<uint64_t>(*c - '0');
  }
  return v;
}

// Where a model's prefill may be cut (see the file comment).
struct SplitRule {
  uint64_t align = 1;      // cut points are multiples of this
  uint64_t min_piece = 1;  // ids in every piece
};

// The cuts after which a call keeps its state, ascending, past `from`
// (where the call starts: 0 or a restored prefix) and a whole piece apart:
// the last cut before the prompt's fixed part (`fixed` ids; 0 when unknown:
// all but the last id) that leaves a whole piece before its end, which every
// prompt extending that part can start from; and the end of the fixed part
// itself when the rest of this prompt is a whole piece, for calls whose
// rest is as long. Both on the rule's alignment.
inline std::vector<uint64_t> keep_points(const SplitRule& rule, uint64_t length, uint64_t fixed,
                                         uint64_t from) {
  std::vector<uint64_t> cuts;
  if (length < 2 * rule.min_piece) return cuts;
  const uint64_t head = fixed == 0 ? length - 1 : std::min(fixed, length - 1);
  auto add = [&](uint64_t cut) {
    cut -= cut % rule.align;
    const uint64_t last = cuts.empty() ? from : cuts.back();
    if (cut >= rule.min_piece && cut >= last + rule.min_piece && cut + rule.min_piece <= length)
      cuts.push_back(cut);
  };
  if (head >= rule.min_piece) add(head - rule.min_piece);
  add(head);
  return cuts;
}

template <class State>
class PrefixCache {
 public:
  struct Hit {
    uint64_t length = 0;  // ids the state has run (0: no hit)
    std::shared_ptr<const State> state;
  };

  explicit PrefixCache(uint64_t capacity) : capacity_(capacity) {}

  bool enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_ > 0;
  }

  // The longest kept prefix of `ids` in `mode` no longer than `longest`
  // ids, counted as a hit or a miss.
  Hit find(uint32_t mode, std::span<const uint32_t> ids, uint64_t longest) {
    longest = std::min<uint64_t>(longest, ids.size());
    std::vector<uint64_t> hashes(longest + 1);  // hashes[n]: of the first n ids
    hashes[0] = kSeed;
    for (uint64_t n = 0; n < longest; ++n) hashes[n + 1] = mix(hashes[n], ids[n]);
    std::lock_guard<std::mutex> lock(mutex_);
    auto best = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      const uint64_t n = it->ids.size();
      if (it->mode != mode || n > longest || (best != entries_.end() && n <= best->ids.size()))
        continue;
      if (it->hash == hashes[n] && std::equal(it->ids.begin(), it->ids.end(), ids.begin())) best = it;
    }
    if (best == entries_.end()) {
      ++misses_;
      return {};
    }
    ++hits_;
    entries_.splice(entries_.begin(), entries_, best);  // now the most recent
    return {entries_.front().ids.size(), entries_.front().state};
  }

  // Keeps `state`, the state after the ids `prefix` in `mode` (`bytes` its
  // size), unless that prefix is kept already or the entry alone exceeds
  // the capacity.
  void put(uint32_t mode, std::span<const uint32_t> prefix, std::shared_ptr<const State> state,
           uint64_t bytes) {
    uint64_t hash = kSeed;
    for (uint32_t id : prefix) hash = mix(hash, id);
    const uint64_t cost = bytes + prefix.size() * sizeof(uint32_t) + kEntryOverhead;
    std::lock_guard<std::mutex> lock(mutex_);
    if (cost > capacity_) return;
    for (const Entry& e : entries_) {
      if (e.mode == mode && e.hash == hash && e.ids.size() == prefix.size() &&
          std::equal(e.ids.begin(), e.ids.end(), prefix.begin()))
        return;
    }
    evict_to(capacity_ - cost);
    entries_.push_front(Entry{mode, hash, std::vector<uint32_t>(prefix.begin(), prefix.end()),
                              std::move(state), cost});
    bytes_ += cost;
  }

  // A new bound, the least recently used entries dropped to meet it (0
  // drops all and disables the cache).
  void set_capacity(uint64_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = capacity;
    evict_to(capacity_);
  }

  // Drops every entry (the counters stay).
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    evict_to(0);
  }

  PrefixCacheInfo info() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return PrefixCacheInfo{bytes_, capacity_, entries_.size(), hits_, misses_};
  }

 private:
  // What an entry costs beyond its state and ids: list node, vectors,
  // shared pointer block.
  static constexpr uint64_t kEntryOverhead = 128;
  static constexpr uint64_t kSeed = 0xCBF29CE484222325ull;  // FNV-1a over the ids' 4 bytes
  static uint64_t mix(uint64_t h, uint32_t id) {
    for (int b = 0; b < 4; ++b) {
      h ^= (id >> (8 * b)) & 0xFF;
      h *= 0x100000001B3ull;
    }
    return h;
  }

  struct Entry {
    uint32_t mode;
    uint64_t hash;
    std::vector<uint32_t> ids;
    std::shared_ptr<const State> state;  // immutable; a call may still hold it after eviction
    uint64_t bytes;
  };

  void evict_to(uint64_t limit) {
    while (bytes_ > limit && !entries_.empty()) {
      bytes_ -= entries_.back().bytes;
      entries_.pop_back();
    }
  }

  mutable std::mutex mutex_;
  uint64_t capacity_;
  uint64_t bytes_ = 0;
  uint64_t hits_ = 0, misses_ = 0;
  std::list<Entry> entries_;  // most recent first
};

// Runs `prompt` from the longest prefix `cache` keeps for `mode` (cut by
// `rule`; `fixed` ids are the prompt's fixed part), keeping the state at the
// cuts on the way. The caller's steps: restore(const State&) takes a kept
// state; run(ids, last) runs the next piece (`last`: the prompt's end),
// returning an error or nullptr; keep() returns the state now as
// {shared_ptr<const State>, bytes}. Returns the first error.
template <class State, class Restore, class Run, class Keep>
const char* prefill_through(PrefixCache<State>& cache, uint32_t mode, const SplitRule& rule,
                            std::span<const uint32_t> prompt, uint64_t fixed, Restore&& restore,
                            Run&& run, Keep&& keep) {
  const uint64_t length = prompt.size();
  uint64_t from = 0;
  if (length >= 2 * rule.min_piece && cache.enabled()) {
    const auto hit = cache.find(mode, prompt, length - rule.min_piece);
    if (hit.state) {
      restore(*hit.state);
      from = hit.length;
    }
    for (const uint64_t cut : keep_points(rule, length, fixed, from)) {
      if (const char* error = run(prompt.subspan(from, cut - from), false)) return error;
      auto [state, bytes] = keep();
      cache.put(mode, prompt.first(cut), std::move(state), bytes);
      from = cut;
    }
  }
  return run(prompt.subspan(from), true);
}

}  // namespace pinnet::runners

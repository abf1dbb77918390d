#include <algorithm>

#include "models/gen2/model.h"

namespace pinnet::gen2 {

V2SequenceState V2SequenceState::snapshot() const {
  V2SequenceState s;
  s.position = position;
  s.capacity = capacity;
  s.window = window;
  s.history.assign(history.begin(),
                   history.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(position, history.size())));
  s.kv.reserve(kv.size());
  for (const models::KvRing& ring : kv) s.kv.push_back(ring.resized_copy(position, position));
  s.engram_ring = engram_ring;
  return s;
}

void V2SequenceState::restore(const V2SequenceState& snapshot, uint64_t positions) {
  position = snapshot.position;
  capacity = snapshot.capacity;
  window = snapshot.window;
  history.assign(snapshot.history.begin(), snapshot.history.end());
  history.resize(std::max<uint64_t>(positions, history.size()), 0);
  kv.clear();
  for (const models::KvRing& ring : snapshot.kv)
    kv.push_back(ring.resized_copy(position, std::max(position, positions)));
  engram_ring = snapshot.engram_ring;
}

size_t V2SequenceState::state_bytes() const {
  size_t bytes = history.size() * sizeof(uint32_t);
  for (const models::KvRing& ring : kv) bytes += ring.bytes();
  for (const std::vector<float>& ring : engram_ring) bytes += ring.size() * sizeof(float);
  return bytes;
}

}  // namespace pinnet::gen2

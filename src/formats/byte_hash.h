// The seeded byte-string hash behind the tokenizers' piece maps and the
// safetensors tables. The seed comes from the operating system's randomness
// once per process, so table layouts cannot be predicted from outside;
// results never depend on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pinnet::formats {

inline constexpr uint64_t kHashMul0 = 0xa0761d6478bd642full;
inline constexpr uint64_t kHashMul1 = 0xe7037ed1a0b428dbull;

// The 128-bit product of a and b folded to 64 bits (high half xor low half).
inline uint64_t hash_mum(uint64_t a, uint64_t b) {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

uint64_t hash_seed();

// Tuned for short strings (pieces are mostly under 16 bytes).
uint64_t hash_bytes(const char* p, std::size_t n, uint64_t seed);

// For std::unordered_map/set with string keys; transparent, so a
// std::string_view finds a std::string key without a copy (with
// std::equal_to<> as the key equality).
struct SeededStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const {
    return static_cast<std::size_t>(hash_bytes(s.data(), s.size(), hash_seed()));
  }
};

}  // namespace pinnet::formats

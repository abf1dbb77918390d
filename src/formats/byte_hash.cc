#include "formats/byte_hash.h"

#include <cstring>
#include <random>

namespace pinnet::formats {
namespace {

uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
uint64_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

uint64_t hash_seed() {
  static const uint64_t seed = [] {
    uint64_t s = reinterpret_cast<uintptr_t>(&hash_seed) * 0x9E3779B97F4A7C15ull;
    try {
      std::random_device rd;
      s ^= (uint64_t{rd()} << 32) ^ rd();
    } catch (...) {
      // No random source: the address-derived seed still works; results
      // never depend on the seed.
    }
    return s;
  }();
  return seed;
}

uint64_t hash_bytes(const char* p, std::size_t n, uint64_t seed) {
  uint64_t h = seed ^ kHashMul0;
  uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      const auto* u = reinterpret_cast<const unsigned char*>(p);
      a = uint64_t{u[0]} << 16 | uint64_t{u[n >> 1]} << 8 | u[n - 1];
    }
  } else {
    std::size_t rest = n;
    while (rest > 16) {
      h = hash_mum(load64(p) ^ kHashMul1, load64(p + 8) ^ h);
      p += 16;
      rest -= 16;
    }
    a = load64(p + rest - 16);
    b = load64(p + rest - 8);
  }
  return hash_mum(kHashMul1 ^ n, hash_mum(a ^ kHashMul1, b ^ h));
}

}  // namespace pinnet::formats

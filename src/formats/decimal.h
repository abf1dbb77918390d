// Unsigned decimal numbers in file headers and metadata.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pinnet::formats {

// An optional "+", then one or more decimal digits whose value fits 64 bits;
// anything else (a sign alone, a "-", any other character) is nothing.
inline std::optional<uint64_t> parse_decimal_u64(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace pinnet::formats

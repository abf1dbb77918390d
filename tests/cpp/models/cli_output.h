// What the model programs driven by the Python tests share: id lists on the
// command line and JSON (or raw float32) on standard output.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace pinnet::testing {

inline void print_json_string(const std::string& s) {
  std::putchar('"');
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      std::printf("\\%c", c);
    } else if (c < 0x20) {
      std::printf("\\u%04x", c);
    } else {
      std::putchar(c);
    }
  }
  std::putchar('"');
}

// "1,2,3" -> {1, 2, 3}.
inline std::vector<uint32_t> parse_ids(const char* text) {
  std::vector<uint32_t> ids;
  const char* p = text;
  while (*p != '\0') {
    char* end = nullptr;
    ids.push_back(static_cast<uint32_t>(std::strtoull(p, &end, 10)));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p != '\0') break;
  }
  return ids;
}

inline void print_floats(const std::vector<float>& v) {
  std::printf("[");
  for (size_t j = 0; j < v.size(); ++j) std::printf(j ? ", %.9g" : "%.9g", v[j]);
  std::printf("]");
}

// {"rows": [[...], ...]} (no closing brace or newline when `open` is set, so
// the caller can add keys), or the rows as little-endian float32.
inline void print_rows(const std::vector<std::vector<float>>& rows, bool raw, bool open = false) {
  if (raw) {
    for (const auto& r : rows) std::fwrite(r.data(), sizeof(float), r.size(), stdout);
    return;
  }
  std::printf("{\"rows\": [");
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i) std::printf(", ");
    print_floats(rows[i]);
  }
  std::printf(open ? "]" : "]}\n");
}

}  // namespace pinnet::testing

// The line protocol of the tokenizer programs: texts travel as hexadecimal
// so any byte survives the pipe; ids go out space-separated.
#pragma once

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

namespace pinnet::testing {

inline std::string from_hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string to_hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline void print_id_line(const std::vector<uint32_t>& ids) {
  std::string line;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i) line.push_back(' ');
    line += std::to_string(ids[i]);
  }
  std::cout << line << '\n';
}

}  // namespace pinnet::testing

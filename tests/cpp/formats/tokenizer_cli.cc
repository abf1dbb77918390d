// tokenizer_cli BLOB_FILE: reads commands from standard input, one a line,
// and answers each with one line. Texts travel as hexadecimal UTF-8 so any
// byte survives the pipe.
//   E <hex text>        -> the ids of encode, separated by spaces
//   R <hex text>        -> the ids of encode_reference
//   D <id> <id> ...     -> hex of decode
//   L <hex text>        -> the id of lookup, or -1
// Exit status 2 when the blob does not parse (its message on stderr).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "formats/subword_tokenizer.h"

namespace {

std::string from_hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string to_hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

void print_ids(const std::vector<uint32_t>& ids) {
  std::string line;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i) line.push_back(' ');
    line += std::to_string(ids[i]);
  }
  std::cout << line << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tokenizer_cli BLOB_FILE < commands\n";
    return 1;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<uint8_t> blob((std::istreambuf_iterator<char>(file)), {});
  auto parsed = pinnet::formats::SubwordTokenizer::parse(blob);
  if (!parsed.ok()) {
    std::cerr << parsed.error().message() << '\n';
    return 2;
  }
  const auto& tok = parsed.value();
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    const char cmd = line[0];
    const std::string arg = line.size() > 2 ? line.substr(2) : "";
    if (cmd == 'E') {
      print_ids(tok.encode(from_hex(arg)));
    } else if (cmd == 'R') {
      print_ids(tok.encode_reference(from_hex(arg)));
    } else if (cmd == 'D') {
      std::vector<uint32_t> ids;
      std::istringstream in(arg);
      for (unsigned long id; in >> id;) ids.push_back(static_cast<uint32_t>(id));
      std::cout << to_hex(tok.decode(ids)) << '\n';
    } else if (cmd == 'L') {
      const auto id = tok.lookup(from_hex(arg));
      std::cout << (id ? static_cast<long long>(*id) : -1LL) << '\n';
    } else {
      std::cout << "?\n";
    }
  }
  return 0;
}

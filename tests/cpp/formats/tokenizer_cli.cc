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
#include "hex_text.h"

namespace {

using pinnet::testing::from_hex;
using pinnet::testing::to_hex;
using pinnet::testing::print_id_line;

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
      print_id_line(tok.encode(from_hex(arg)));
    } else if (cmd == 'R') {
      print_id_line(tok.encode_reference(from_hex(arg)));
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
